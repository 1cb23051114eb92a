// The platform process launcher: command-line words, start, wait and time-outs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/OxProcess.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::ScratchHome;
using testsupport::writeFile;

namespace {

using Words = std::vector<std::string>;

TEST(OxProcessTest, SplitCommandLine) {
    struct Case {
        std::string line;
        Words words;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"   \t ", {}},
        {"/bin/cp -r a b", {"/bin/cp", "-r", "a", "b"}},
        {"  lead   and\ttabs  ", {"lead", "and", "tabs"}},
        {"\"/opt/my tools/cp\" -r \"a b\"", {"/opt/my tools/cp", "-r", "a b"}},
        {"pre\"fix mid\"post x", {"prefix midpost", "x"}},
        {"say \\\"hi\\\"", {"say", "\"hi\""}},
        {"\"in \\\"quotes\\\" too\"", {"in \"quotes\" too"}},
        {"a \"\" b", {"a", "", "b"}},
        {"back\\slash stays", {"back\\slash", "stays"}},
        {"\"unterminated quote", {"unterminated quote"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.words, OxProcess::SplitCommandLine(c.line));
    }
}

TEST(OxProcessTest, FindExecutableUsesPathOnlyForBareNames) {
    EXPECT_EQ("/no/such/file", OxProcess::FindExecutable("/no/such/file"));
    EXPECT_EQ("", OxProcess::FindExecutable(""));
    ScratchHome home;
    const std::string bin = home.sub("bin", true);
    writeFile(bin + "/mytool", "#!/bin/sh\nexit 0\n");
    writeFile(bin + "/notexec", "x");
    ::chmod((bin + "/mytool").c_str(), 0755);
    EXPECT_EQ(0, testsupport::runInChild([&] {
                  ::setenv("PATH", ("/nonexistent:" + bin + ":/bin").c_str(), 1);
                  if (OxProcess::FindExecutable("mytool") != bin + "/mytool")
                      return 1;
                  if (!OxProcess::FindExecutable("notexec").empty())
                      return 2;
                  if (!OxProcess::FindExecutable("bin").empty())
                      return 3; // a directory named like it is no executable
                  return 0;
              }));
}

TEST(OxProcessTest, RunsCommandLineAndReportsExitCode) {
    ScratchHome home;
    const std::string out = home.sub("out");
    OxProcess process;
    EXPECT_EQ(0, process.GetChildPid());
    std::string error;
    ASSERT_TRUE(process.StartProcess(
        "sh", "sh -c \"echo $$ \\\"$0\\\" > " + out + "; exit 3\" \"two words\"", error))
        << error;
    const pid_t pid = process.GetChildPid();
    EXPECT_GT(pid, 0);
    int code = -1;
    EXPECT_TRUE(process.WaitForProcessToEnd(code, error, -1)) << error;
    EXPECT_EQ(3, code);
    EXPECT_EQ(std::to_string(pid) + " two words\n", readFile(out));
    EXPECT_EQ(pid, process.GetChildPid()) << "the last child's id stays readable";
    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, -1));
    EXPECT_EQ("no process is running", error);
}

TEST(OxProcessTest, ChildInheritsOnlyStandardDescriptors) {
    ScratchHome home;
    const std::string out = home.sub("fds");
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds)); // without close-on-exec
    OxProcess process;
    std::string error;
    ASSERT_TRUE(
        process.StartProcess("/bin/sh", "sh -c \"exec ls /proc/self/fd > " + out + "\"", error))
        << error;
    int code = -1;
    ASSERT_TRUE(process.WaitForProcessToEnd(code, error, -1)) << error;
    ::close(fds[0]);
    ::close(fds[1]);
    // 0, 1 and 2, and the directory ls itself reads.
    EXPECT_EQ("0\n1\n2\n3\n", readFile(out));
}

TEST(OxProcessTest, StartFailures) {
    ScratchHome home;
    const std::string plain = home.sub("plain");
    writeFile(plain, "not a program");
    ::chmod(plain.c_str(), 0755);
    struct Case {
        std::string exe, line;
        int flags;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"/bin/true", "", 0, "empty command line"},
        {"/bin/true", "  ", 0, "empty command line"},
        {"no-such-program-here", "x", 0, "cannot find executable [no-such-program-here]"},
        {"/no/such/program", "x", 0,
         "cannot execute [/no/such/program]: No such file or directory"},
        {plain, "x", 0, "cannot execute [" + plain + "]: Exec format error"},
        {"/bin/true", "true", 4, "unknown flags 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe + " / " + c.line);
        OxProcess process;
        std::string error;
        EXPECT_FALSE(process.StartProcess(c.exe, c.line, error, c.flags));
        EXPECT_EQ(c.error, error);
        int code;
        EXPECT_FALSE(process.WaitForProcessToEnd(code, error, -1)) << "nothing was left running";
    }
}

TEST(OxProcessTest, TimedWaitPollsThroughThePlatformSleep) {
    platform::VirtualClock clock;
    OxProcess process;
    std::string error;
    // The child stops itself: it runs on but never ends by itself.
    ASSERT_TRUE(process.StartProcess("/bin/sh", "sh -c \"kill -STOP $$\"", error)) << error;
    const std::string pid = std::to_string(process.GetChildPid());
    int code = 42;

    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, 0));
    EXPECT_EQ("process " + pid + " still running after 0 ms", error);
    EXPECT_TRUE(clock.waits().empty()) << "a zero time-out polls once";

    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, 35));
    EXPECT_EQ("process " + pid + " still running after 35 ms", error);
    EXPECT_EQ((std::vector<unsigned long>{10, 10, 10, 5}), clock.waits());
    EXPECT_EQ(42, code) << "untouched while the child runs";

    ::kill(process.GetChildPid(), SIGKILL);
    EXPECT_FALSE(process.WaitForProcessToEnd(code, error, -1)) << "a killed child is a failure";
    EXPECT_EQ(128 + SIGKILL, code);
    EXPECT_EQ("process " + pid + " was killed by signal 9", error);
}

TEST(OxProcessTest, SecondStartWhileRunningIsRefused) {
    OxProcess process;
    std::string error;
    ASSERT_TRUE(process.StartProcess("/bin/sh", "sh -c \"kill -STOP $$\"", error));
    const pid_t first = process.GetChildPid();
    EXPECT_FALSE(process.StartProcess("/bin/true", "true", error));
    EXPECT_EQ("process " + std::to_string(first) + " is still running", error);
    ::kill(first, SIGKILL);
    int code;
    process.WaitForProcessToEnd(code, error, -1);
    EXPECT_TRUE(process.StartProcess("/bin/true", "true", error)) << "free again once waited";
    EXPECT_TRUE(process.WaitForProcessToEnd(code, error, -1));
    EXPECT_EQ(0, code);
}

TEST(OxProcessTest, CBufferAdaptersCopyAtMostSizeMinusOne) {
    struct Case {
        int size;
        std::string expect;
    };
    for (const Case& c : std::vector<Case>{{64, "empty command line"}, {6, "empty"}, {1, ""}}) {
        SCOPED_TRACE(c.size);
        OxProcess process;
        char buffer[80];
        std::fill(buffer, buffer + sizeof buffer, 'Z');
        EXPECT_FALSE(process.StartProcess("/bin/true", "", buffer, c.size, 0));
        EXPECT_EQ(c.expect, std::string(buffer));
        EXPECT_EQ('Z', buffer[c.size]) << "nothing written past the buffer";
    }

    OxProcess process;
    char buffer[32] = "untouched";
    ASSERT_TRUE(process.StartProcess("/bin/sh", "sh -c \"exit 5\"", buffer, sizeof buffer, 0));
    EXPECT_STREQ("untouched", buffer) << "success leaves the buffer alone";
    int code = 0;
    EXPECT_TRUE(process.WaitForProcessToEnd(code, buffer, sizeof buffer, -1));
    EXPECT_EQ(5, code);
    EXPECT_FALSE(process.WaitForProcessToEnd(code, buffer, 8, -1));
    EXPECT_STREQ("no proc", buffer);
}

} // namespace
