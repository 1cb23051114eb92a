// The platform process launcher: command-line words, start, wait and time-outs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Env.h"
#include "platform/OxProcess.h"
#include "support/TestSupport.h"

namespace {

TEST(OxProcessTest, RunsWaitsAndReportsEveryEnding) {
    testsupport::ScratchHome home;
    const std::string out = home.sub("out");
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds)); // without close-on-exec
    OxProcess process;
    std::string error;
    ASSERT_TRUE(process.StartProcess(
        "sh", "sh -c \"ls /proc/self/fd > " + out + "; exit 3\" \"two words\"", error))
        << error;
    int code = -1;
    EXPECT_TRUE(process.WaitForProcessToEnd(code, error, -1)) << error;
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(3, code);
    EXPECT_EQ("0\n1\n2\n3\n", testsupport::readFile(out)); // and the directory ls reads
    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, -1));
    EXPECT_EQ("no process is running", error);

    platform::VirtualClock clock;
    ASSERT_TRUE(process.StartProcess("/bin/sh", "sh -c \"kill -STOP $$\"", error)) << error;
    const std::string pid = std::to_string(process.GetChildPid());
    EXPECT_FALSE(process.StartProcess("/bin/true", "true", error));
    EXPECT_EQ("process " + pid + " is still running", error);
    code = 42;
    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, 35));
    EXPECT_EQ("process " + pid + " still running after 35 ms", error);
    EXPECT_EQ((std::vector<unsigned long>{10, 10, 10, 5}), clock.waits());
    EXPECT_EQ(42, code);
    ::kill(process.GetChildPid(), SIGKILL);
    char buffer[80];
    EXPECT_FALSE(process.WaitForProcessToEnd(code, buffer, 8, -1));
    EXPECT_EQ(128 + SIGKILL, code);
    EXPECT_STREQ("process", buffer); // cut to the caller's size
    EXPECT_TRUE(process.StartProcess("/bin/sh", "sh -c \"exit 5\"", buffer, sizeof buffer, 0));
    EXPECT_TRUE(process.WaitForProcessToEnd(code, buffer, sizeof buffer, -1));
    EXPECT_EQ(5, code);
}

} // namespace
