// Child processes with and without pipes, and receiving from a socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "port/CXChildProcess.h"
#include "port/SockRecv.h"
#include "support/TestSupport.h"

namespace {

TEST(CXChildProcessTest, EndingsAreTurnedIntoResultAndText) {
    const std::vector<std::tuple<std::string, std::string, int, const char*>> cases = {
        {"/bin/sh", "exit 0", 0, "unknown failure"},
        {"/bin/sh", "exit 3", -1, "child exited with error"},
        {"/nonexistent/program", "", -1, "exec failed"},
        {"/bin/sh", "kill -9 $$", -1, "child died after receiving signal 9"},
        {"/bin/sh", "exit 77", -1, "dup failed"},
    };
    for (const auto& [path, script, result, text] : cases) {
        SCOPED_TRACE(script);
        CXChildProcess child;
        std::string words[] = {"sh", "-c", script};
        char* argv[] = {&words[0][0], &words[1][0], &words[2][0], nullptr};
        ASSERT_EQ(0, child.spawnDisconnected(path.c_str(), argv));
        EXPECT_EQ(-1, child.spawnDisconnected(path.c_str(), argv)); // still spawned
        EXPECT_EQ(-1, child.spawnConnected(path.c_str(), argv, true, true));
        EXPECT_EQ(result, child.wait());
        EXPECT_STREQ(text, child.getFailureMessage());
        EXPECT_EQ(-1, child.wait()); // waiting twice
        EXPECT_STREQ("nothing spawned", child.getFailureMessage());
    }
    CXChildProcess child;
    std::string words[] = {"sh", "-c", "echo out; echo err >&2"};
    char* argv[] = {&words[0][0], &words[1][0], &words[2][0], nullptr};
    ASSERT_EQ(0, child.spawnConnected("/bin/sh", argv, true, false));
    char buf[64];
    for (const char* line : {"out", "err"}) {
        EXPECT_EQ(child.getLine(buf, sizeof buf), 1);
        EXPECT_STREQ(buf, line);
    }
    EXPECT_EQ(0, child.wait());
}

TEST(SockRecvTest, GathersPiecesUntilLengthEndOfStreamAndTimeOut) {
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    testsupport::ProcessSignal go;
    const pid_t writer = testsupport::forkChild([&] {
        for (int i = 0; i < 5; ++i) {
            const std::string piece(20, static_cast<char>('a' + i));
            if (::send(fds[1], piece.data(), 20, 0) != 20)
                return 1;
            if (i == 0)
                go.wait();
        }
        return 0;
    });
    char buf[100];
    go.post();
    EXPECT_EQ(100, sockRecv(fds[0], buf, 100, 0, 0));
    EXPECT_EQ(0, testsupport::waitChild(writer));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(std::string(20, static_cast<char>('a' + i)), std::string(buf + 20 * i, 20));
    EXPECT_EQ(-2, sockRecv(fds[0], buf, 4, 0, 1)); // the one real one-second wait
    ASSERT_EQ(3, ::send(fds[1], "xyz", 3, 0));
    ::close(fds[1]);
    EXPECT_EQ(3, sockRecv(fds[0], buf, 10, 0, 5)); // what arrived before the end
    EXPECT_EQ(0, sockRecv(fds[0], buf, 10, 0, 0));
    ::close(fds[0]);
    EXPECT_EQ(-1, sockRecv(-1, buf, 4, 0, 3));
}

} // namespace
