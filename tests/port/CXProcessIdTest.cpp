// Process identity: parsing, formatting and whether a process still runs.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/EvEvent.h"
#include "port/CXProcessId.h"
#include "support/TestSupport.h"

namespace {

// Makes kill () fail with EPERM for the calling process from now on; false
// when the kernel does not allow the filter.
bool denyKill() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_kill, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                              filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

std::vector<std::string> texts(const platform::TestSink& sink) {
    std::vector<std::string> out;
    for (const platform::CapturedLine& l : sink.lines())
        out.push_back(l.text);
    return out;
}

} // namespace

TEST(CXProcessId, SetIdStringParsesOneLeadingNumber) {
    struct Case {
        const char* text;
        int rc;
        const char* id; // getIdString afterwards, null when uninitialised
    };
    const Case cases[] = {
        {"12a", 0, "12"},       {"12", 0, "12"},
        {" 7", 0, "7"},         {"4294967295", -1, nullptr},
        {"0", -1, nullptr},     {"1", -1, nullptr},
        {"a12", -1, nullptr},   {"", -1, nullptr},
        {nullptr, -1, nullptr},
    };
    for (const Case& c : cases) {
        platform::TestSink sink;
        CXProcessId p;
        p.thisProcess();
        EXPECT_EQ(p.setIdString(c.text), c.rc) << (c.text ? c.text : "null");
        const char* id = p.getIdString();
        if (c.id) {
            ASSERT_NE(id, nullptr);
            EXPECT_STREQ(id, c.id);
            EXPECT_TRUE(sink.lines().empty());
        } else {
            EXPECT_EQ(id, nullptr) << "a rejected text leaves the object uninitialised";
            EXPECT_EQ(texts(sink), (std::vector<std::string>{
                                       std::string("PROCESSID: setIdString: invalid id string ") +
                                           (c.text ? c.text : "(null)"),
                                       "PROCESSID: getIdString: not initialized"}));
        }
    }
}

TEST(CXProcessId, UninitialisedObjectAnswersNothing) {
    platform::TestSink sink;
    CXProcessId p;
    EXPECT_EQ(p.getIdString(), nullptr);
    EXPECT_EQ(p.isRunning(), -1);
    EXPECT_EQ(texts(sink), (std::vector<std::string>{"PROCESSID: getIdString: not initialized",
                                                     "PROCESSID: getIdString: not initialized"}));
    for (const platform::CapturedLine& l : sink.lines())
        EXPECT_EQ(l.level, 1);
}

TEST(CXProcessId, ThisProcessIsItsPidInDecimal) {
    CXProcessId p;
    p.thisProcess();
    EXPECT_EQ(p.getPid(), ::getpid());
    EXPECT_EQ(std::string(p.getIdString()), std::to_string(::getpid()));
}

// With kill () denied, the own process is still reported running (no system
// call is made for it), while the same pid given as text needs kill () and
// so reports the failure.
TEST(CXProcessId, OwnProcessIsRunningWithoutKill) {
    const int rc = testsupport::runInChild([] {
        if (!denyKill())
            return 77;
        platform::TestSink sink;
        CXProcessId own;
        own.thisProcess();
        if (own.isRunning() != 1)
            return 1;
        if (!sink.lines().empty())
            return 2;
        CXProcessId byText;
        const std::string pid = std::to_string(::getpid());
        if (byText.setIdString(pid.c_str()) != 0 || byText.isRunning() != -1)
            return 3;
        const std::string expected = "PROCESSID: isRunning: kill " + pid + " failed, errno 1";
        return texts(sink) == std::vector<std::string>{expected} ? 0 : 4;
    });
    if (rc == 77)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(rc, 0);
}

TEST(CXProcessId, OtherProcessRunningAndGone) {
    testsupport::ProcessSignal release;
    pid_t live = testsupport::forkChild([&] { return release.wait() ? 0 : 1; });
    CXProcessId p;
    ASSERT_EQ(p.setIdString(std::to_string(live).c_str()), 0);
    EXPECT_EQ(p.isRunning(), 1);
    release.post();
    ASSERT_EQ(testsupport::waitChild(live), 0);
    EXPECT_EQ(p.isRunning(), 0) << "reaped, so the pid no longer exists";
}
