// Descriptors and locks of a host process that forks, execs and dies: none of
// them may end up held by the wrong process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "port/CXChildProcess.h"
#include "port/CXDirectory.h"
#include "port/CXFileLock.h"
#include "port/CXLockedMarkerFile.h"
#include "support/Seccomp.h"
#include "support/TestSupport.h"

using testsupport::forkChild;
using testsupport::runInChild;
using testsupport::waitChild;

namespace {

// 1 when another process gets the exclusive lock at once, 0 when it is held.
int lockableElsewhere(const std::string& path) {
    return runInChild([&] {
        CXFile probe;
        return probe.open(path.c_str(), sfOpenReadWrite) == 0 ? probe.lock(sfLockExclusive, 0) : 9;
    });
}

// The locked objects of a job: a State file with bytes still buffered, a
// lock file and a restore marker.
struct Held {
    std::unique_ptr<CXFile> file{new CXFile};
    std::unique_ptr<CXFileLock> lock{new CXFileLock};
    std::unique_ptr<CXLockedMarkerFile> marker;
};

struct ForkExecTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string dir = home.sub("cache", true);
    std::string state = dir + "/State", lockFile = dir + "/lockFile";
    std::string marker = dir + "/restoreInProgress";
    bool take(Held& h) {
        h.marker.reset(new CXLockedMarkerFile(dir, 0));
        return h.file->open(state.c_str(), sfOpenCreate) == 0 &&
               h.file->lock(sfLockExclusive, 0) == 1 && h.file->truncate() == 0 &&
               h.file->bufWrite("abc", 3) == 3 &&
               h.lock->open(lockFile.c_str(), sfOpenCreate) == 0 &&
               h.lock->lock(sfLockExclusive, 0) == 1 && h.marker->openLocked("x") == 0;
    }
};

// The job starts a program and dies holding everything (no destructor runs);
// the program lists the descriptors it inherited and outlives the job.
TEST_F(ForkExecTest, AProgramStartedByAJobThatDiesHoldsNoneOfItsFilesOrLocks) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t job = forkChild([&] {
        Held h;
        CXDirectory listing;
        if (!take(h) || listing.open(dir.c_str()) != 0)
            return 1;
        if (::fork() == 0) {
            ::dup2(report[1], 1);
            ::execl("/bin/sh", "sh", "-c",
                    "echo $$; readlink /proc/$$/fd/*; echo end; exec sleep 60", nullptr);
            ::_exit(127);
        }
        ::_exit(0);
    });
    ASSERT_EQ(waitChild(job), 0);
    std::string listed;
    char buf[512];
    ssize_t n;
    while (listed.find("end\n") == std::string::npos &&
           (n = ::read(report[0], buf, sizeof buf)) > 0)
        listed.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(listed.find(dir), std::string::npos) << listed;
    for (const std::string& path : {state, lockFile, marker})
        EXPECT_EQ(lockableElsewhere(path), 1) << path;
    ::kill(std::atoi(listed.c_str()), SIGKILL);
    ::close(report[0]);
    ::close(report[1]);
}

// A forked child (no exec) that closes, unlocks or destroys its copies of the
// parent's locked objects leaves the parent's locks, marker and buffered bytes.
TEST_F(ForkExecTest, AForkedCopyNeverReleasesItsParentsLock) {
    const std::vector<std::pair<const char*, std::function<void(Held&)>>> drops = {
        {"close", [](Held& h) { h.file->close(), h.lock->close(), h.marker->unLockAndRemove(); }},
        {"unlock", [](Held& h) { h.file->unlock(), h.lock->unlock(), h.marker->unLock(); }},
        {"destroy", [](Held& h) { h.file.reset(), h.lock.reset(), h.marker.reset(); }},
    };
    for (const auto& drop : drops) {
        SCOPED_TRACE(drop.first);
        EXPECT_EQ(runInChild([&] {
                      Held h;
                      if (!take(h))
                          return 1;
                      if (runInChild([&] {
                              drop.second(h);
                              return 0;
                          }) != 0)
                          return 2;
                      for (const std::string& path : {state, lockFile, marker}) {
                          if (lockableElsewhere(path) != 0)
                              return 3;
                      }
                      if (!h.file->isLocked() || h.file->close() != 0)
                          return 4;
                      return testsupport::readFile(state) == "abc" ? 0 : 5;
                  }),
                  0);
    }
}

TEST_F(ForkExecTest, AFailedCloseForgetsItsDescriptor) {
    auto f = std::make_unique<CXFile>();
    ASSERT_EQ(f->open(state.c_str(), sfOpenCreate), 0);
    const int fd = f->getMainDescriptor();
    ::close(fd); // gone behind the object's back
    EXPECT_EQ(f->close(), -1);
    EXPECT_EQ(f->getLastError(), EBADF);
    EXPECT_FALSE(f->isOpened());
    // The number now names another file of the process.
    const int other = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(other, fd);
    EXPECT_EQ(f->close(), 0);
    EXPECT_EQ(f->write("x", 1), -1);
    f.reset();
    EXPECT_EQ(::fcntl(other, F_GETFD), FD_CLOEXEC) << "the other file is still open";
    ::close(other);
}

TEST_F(ForkExecTest, FallingBackToClassicRecordLocksIsReportedOnce) {
    const int rc = runInChild([&] {
        if (!testsupport::failSyscall(SYS_fcntl, 1, F_OFD_SETLK, EINVAL))
            return 77;
        platform::TestSink sink;
        CXFile a, b;
        if (a.open(state.c_str(), sfOpenCreate) != 0 || b.open(state.c_str(), sfOpenCreate) != 0 ||
            a.lock(sfLockExclusive, 0) != 1 || b.lock(sfLockExclusive, 0) != 1)
            return 1;
        const bool once = sink.countEvents(CXFile::kRecordLockFallbackEvent) == 1 &&
                          testsupport::countContaining(sink, "locks refused") == 1;
        return once ? 0 : 2;
    });
    if (rc == 77)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(rc, 0);
}

// A pipe end that already is the child's standard output or error (the
// parent had that stream closed) still reaches the program.
TEST_F(ForkExecTest, AChildKeepsAStandardStreamThatIsAlreadyAPipeEnd) {
    for (int stream : {1, 2}) {
        EXPECT_EQ(
            runInChild([&] {
                ::close(0);
                ::close(stream); // the output pipe becomes {0, stream}
                std::vector<std::string> words = {"sh", "-c", "echo out; echo err >&2"};
                char* argv[] = {&words[0][0], &words[1][0], &words[2][0], nullptr};
                CXChildProcess child;
                if (child.spawnConnected("/bin/sh", argv, true, false) != 0)
                    return 1;
                std::vector<std::string> got;
                char line[64];
                while (child.getLine(line, sizeof line) == 1)
                    got.emplace_back(line);
                return child.wait() == 0 && got == std::vector<std::string>{"out", "err"} ? 0 : 2;
            }),
            0)
            << "standard stream " << stream;
    }
}

} // namespace
