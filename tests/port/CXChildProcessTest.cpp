// Child processes with and without pipes, and receiving from a socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "port/CXChildProcess.h"
#include "port/SockRecv.h"
#include "support/TestSupport.h"

namespace {

// argv for /bin/sh -c script.
struct Shell {
    explicit Shell(const std::string& script) : words{"sh", "-c", script} {
        for (auto& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
    }
    char* const* get() { return argv.data(); }
    std::vector<std::string> words;
    std::vector<char*> argv;
};

std::vector<std::string> readLines(CXFile& file) {
    std::vector<std::string> lines;
    char buf[256];
    int n;
    while ((n = file.getLine(buf, sizeof buf)) > 0)
        lines.emplace_back(buf);
    return lines;
}

std::string strip(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

TEST(CXChildProcessTest, WaitWithoutSpawn) {
    CXChildProcess child;
    EXPECT_STREQ("unknown failure", child.getFailureMessage());
    EXPECT_EQ(-1, child.wait());
    EXPECT_STREQ("nothing spawned", child.getFailureMessage());
    EXPECT_EQ(-1, child.getLastError());
}

TEST(CXChildProcessTest, EndingsAreTurnedIntoResultAndText) {
    struct Case {
        const char* name;
        std::string path;
        std::string script;
        int result;
        int lastError;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"success", "/bin/sh", "exit 0", 0, 0, "unknown failure"},
        {"exit 3", "/bin/sh", "exit 3", -1, 3, "child exited with error"},
        {"missing program", "/nonexistent/program", "", -1, -1, "exec failed"},
        {"killed", "/bin/sh", "kill -9 $$", -1, 0, "child died after receiving signal 9"},
        {"own exit 77", "/bin/sh", "exit 77", -1, -1, "dup failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CXChildProcess child;
        Shell sh(c.script);
        ASSERT_EQ(0, child.spawnDisconnected(c.path.c_str(), sh.get()));
        EXPECT_TRUE(child.isSpawned());
        EXPECT_GT(child.getPid(), 0);
        EXPECT_EQ(c.result, child.wait());
        EXPECT_STREQ(c.text, child.getFailureMessage());
        if (c.result != 0 && std::strcmp(c.name, "killed") != 0) {
            EXPECT_EQ(c.lastError, child.getLastError());
        }
        EXPECT_FALSE(child.isSpawned());
        EXPECT_EQ(-1, child.wait()) << "waiting twice";
        EXPECT_STREQ("nothing spawned", child.getFailureMessage());
    }
}

TEST(CXChildProcessTest, SecondSpawnWhileSpawnedIsRefused) {
    CXChildProcess child;
    Shell sh("exit 0");
    ASSERT_EQ(0, child.spawnDisconnected("/bin/sh", sh.get()));
    EXPECT_EQ(-1, child.spawnDisconnected("/bin/sh", sh.get()));
    EXPECT_EQ(-1, child.getLastError());
    EXPECT_EQ(-1, child.spawnConnected("/bin/sh", sh.get(), true, true));
    EXPECT_EQ(0, child.wait());
    ASSERT_EQ(0, child.spawnDisconnected("/bin/sh", sh.get())) << "usable again after wait";
    EXPECT_EQ(0, child.wait());
}

TEST(CXChildProcessTest, SpawnIgnoresSigpipeForTheProcess) {
    EXPECT_EQ(0, testsupport::runInChild([] {
                  ::signal(SIGPIPE, SIG_DFL);
                  CXChildProcess child;
                  Shell sh("exit 0");
                  if (child.spawnDisconnected("/bin/sh", sh.get()) != 0 || child.wait() != 0)
                      return 1;
                  struct sigaction sa;
                  ::sigaction(SIGPIPE, nullptr, &sa);
                  return sa.sa_handler == SIG_IGN ? 0 : 2;
              }));
}

TEST(CXChildProcessTest, ChildDoesNotInheritOtherDescriptors) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds)); // without close-on-exec
    CXChildProcess child;
    Shell sh("ls /proc/self/fd");
    ASSERT_EQ(0, child.spawnConnected("/bin/sh", sh.get(), false, false));
    auto lines = readLines(child);
    EXPECT_EQ(0, child.wait());
    ::close(fds[0]);
    ::close(fds[1]);
    for (auto& l : lines) {
        const int fd = std::atoi(strip(l).c_str());
        EXPECT_LT(fd, 4) << "descriptor " << fd << " leaked into the child"; // 3: ls's own dir
    }
}

TEST(CXChildProcessTest, StandardErrorRouting) {
    const std::string script = "echo out1; echo err1 >&2; echo out2; echo err2 >&2";
    {
        SCOPED_TRACE("separate");
        CXChildProcess child;
        Shell sh(script);
        ASSERT_EQ(0, child.spawnConnected("/bin/sh", sh.get(), true, true));
        auto out = readLines(child);
        auto err = readLines(child.getErrorReader());
        EXPECT_EQ(0, child.wait());
        ASSERT_EQ(2u, out.size());
        EXPECT_EQ("out1", strip(out[0]));
        EXPECT_EQ("out2", strip(out[1]));
        ASSERT_EQ(2u, err.size());
        EXPECT_EQ("err1", strip(err[0]));
        EXPECT_EQ("err2", strip(err[1]));
        EXPECT_FALSE(child.isOpened()) << "wait closes both readers";
        EXPECT_FALSE(child.getErrorReader().isOpened());
    }
    {
        SCOPED_TRACE("mixed");
        CXChildProcess child;
        Shell sh(script);
        ASSERT_EQ(0, child.spawnConnected("/bin/sh", sh.get(), true, false));
        auto out = readLines(child);
        EXPECT_EQ(0, child.wait());
        std::vector<std::string> got;
        for (auto& l : out)
            got.push_back(strip(l));
        EXPECT_EQ((std::vector<std::string>{"out1", "err1", "out2", "err2"}), got);
        EXPECT_FALSE(child.getErrorReader().isOpened());
    }
    {
        SCOPED_TRACE("not captured");
        CXChildProcess child;
        Shell sh("[ /proc/self/fd/2 -ef /proc/self/fd/1 ] && echo same || echo apart");
        ASSERT_EQ(0, child.spawnConnected("/bin/sh", sh.get(), false, false));
        auto out = readLines(child);
        EXPECT_EQ(0, child.wait());
        ASSERT_EQ(1u, out.size());
        EXPECT_EQ("apart", strip(out[0])) << "standard error stays the caller's";
    }
}

TEST(CXChildProcessTest, ConnectedStandardInputIsThePipeItself) {
    // Reading standard input fails in the child: it is the write end.
    CXChildProcess child;
    Shell sh("if read line; then echo read; else echo noread; fi");
    ASSERT_EQ(0, child.spawnConnected("/bin/sh", sh.get(), false, false));
    auto out = readLines(child);
    EXPECT_EQ(0, child.wait());
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ("noread", strip(out[0]));
}

TEST(CXChildProcessTest, ConnectedChildThatCannotExec) {
    CXChildProcess child;
    Shell sh("");
    ASSERT_EQ(0, child.spawnConnected("/nonexistent/program", sh.get(), true, true));
    EXPECT_TRUE(readLines(child).empty());
    EXPECT_EQ(-1, child.wait());
    EXPECT_STREQ("exec failed", child.getFailureMessage());
}

// --- sockRecv ------------------------------------------------------------------------

class SockRecvTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds)); }
    void TearDown() override {
        if (fds[0] >= 0)
            ::close(fds[0]);
        if (fds[1] >= 0)
            ::close(fds[1]);
    }
    void closePeer() {
        ::close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

TEST_F(SockRecvTest, ShortStreamReturnsWhatArrived) {
    for (unsigned timeout : {0u, 5u}) {
        SCOPED_TRACE(timeout);
        TearDown();
        SetUp();
        const std::string data(40, 'q');
        ASSERT_EQ(40, ::send(fds[1], data.data(), data.size(), 0));
        closePeer();
        char buf[100];
        EXPECT_EQ(40, sockRecv(fds[0], buf, 100, 0, timeout));
        EXPECT_EQ(data, std::string(buf, 40));
    }
}

TEST_F(SockRecvTest, GathersPiecesUntilLengthFromAnotherProcess) {
    testsupport::ProcessSignal go;
    const pid_t writer = testsupport::forkChild([&] {
        for (int i = 0; i < 5; ++i) {
            char piece[20];
            std::memset(piece, 'a' + i, sizeof piece);
            if (::send(fds[1], piece, sizeof piece, 0) != 20)
                return 1;
            if (i == 0)
                go.wait();
        }
        return 0;
    });
    char buf[100];
    // Pieces may arrive before or while the receive runs; it gathers them all.
    go.post();
    EXPECT_EQ(100, sockRecv(fds[0], buf, 100, 0, 0));
    EXPECT_EQ(0, testsupport::waitChild(writer));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(std::string(20, static_cast<char>('a' + i)), std::string(buf + 20 * i, 20));
    EXPECT_EQ(0, sockRecv(fds[0], buf, 0, 0, 0)) << "nothing wanted";
}

TEST_F(SockRecvTest, PeerClosedAtOnceGivesZeroAndFlagsArePassed) {
    ASSERT_EQ(3, ::send(fds[1], "xyz", 3, 0));
    char buf[10];
    EXPECT_EQ(3, sockRecv(fds[0], buf, 3, MSG_PEEK, 0)) << "peek leaves the bytes";
    EXPECT_EQ(3, sockRecv(fds[0], buf, 3, 0, 1));
    closePeer();
    EXPECT_EQ(0, sockRecv(fds[0], buf, 10, 0, 0));
}

TEST_F(SockRecvTest, Errors) {
    platform::TestSink sink;
    char buf[4];
    EXPECT_EQ(-1, sockRecv(-1, buf, 4, 0, 0)) << "recv on a bad descriptor";
    EXPECT_EQ(-1, sockRecv(-1, buf, 4, 0, 3));
    EXPECT_TRUE(sink.hasLine("sockRecv: set fd failed, error=Bad file descriptor"));
    EXPECT_EQ(-1, sockRecv(FD_SETSIZE + 5, buf, 4, 0, 3));
    ASSERT_EQ(0, ::shutdown(fds[0], SHUT_RD));
    EXPECT_EQ(0, sockRecv(fds[0], buf, 4, 0, 3)) << "readable at end of stream: no time-out";
}

TEST_F(SockRecvTest, SilentPeerTimesOut) {
    // The one real wait of this suite: select's own one-second time-out.
    char buf[4];
    EXPECT_EQ(-2, sockRecv(fds[0], buf, 4, 0, 1));
}

} // namespace
