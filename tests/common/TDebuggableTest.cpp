// The diagnostic log every object carries, its /tmp file, and the shell log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "common/TDebuggable.h"
#include "platform/ApplicationId.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::runInChild;

namespace {

struct TDebuggableTest : ::testing::Test {
    testsupport::ScratchHome home;
};

TEST_F(TDebuggableTest, PrefixJobIdAndLevelFilter) {
    platform::TestSink sink;
    TDebuggable d;
    d.setDebugPrefix("DIRECTORY");
    d.setJobId(99);
    d.debug(3, "open: opendir %s failed, errno %d\n", "/x", 2);
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_EQ(sink.lines()[0].text, "DIRECTORY: open: opendir /x failed, errno 2");
    EXPECT_EQ(sink.lines()[0].jobId, 99);
    EXPECT_EQ(d.ev().getJobId(), 99);

    TDebuggableAnyLog a;
    a.setDebugPrefix("CACHEFSBASE");
    a.debug(2, "dropped at level 1");
    a.debug(1, "kept\ntail after the last LF");
    EXPECT_EQ(sink.lines().back().text, "CACHEFSBASE: kept");
    EXPECT_EQ(sink.lines().size(), 2u);
    EvEvent shared;
    a.setJobId(5);
    {
        TAnyLogGuardian g(&a);
        a.setEvent(&shared);
        a.setLogTwoPlaces(true);
        EXPECT_EQ(shared.getJobId(), 5); // the shared log is tagged with the object's job
        a.debug(1, "both");
        EXPECT_EQ(sink.lines().size(), 4u); // once to the shared log, once to the own one
    }
    EXPECT_EQ(a.getEvent(), nullptr);
    EXPECT_FALSE(a.getLogTwoPlaces());
}

// The /tmp file is process-wide and opened by the first object: run it in a
// child whose first object is created after event logging is turned off.
TEST_F(TDebuggableTest, TmpLogFileWithGreetingWhenEventLoggingIsOff) {
    const std::string tag =
        "T" + std::to_string(::getpid()) + "_" + std::to_string(::time(nullptr));
    pid_t pid = testsupport::forkChild([&] {
        TDebuggable::logEvents(0);
        TDebuggable d;
        d.setDebugPrefix(tag.c_str());
        d.debug(1, "abc");
        d.debug(1, "%s", std::string(5000, 'y').c_str());
        d.debug(1, "mid\nend"); // written as it stands, without a final LF
        ::_exit(0);             // no clean-up: what is in the file was flushed line by line
        return 0;
    });
    ASSERT_EQ(testsupport::waitChild(pid), 0);
    const std::string log = readFile("/tmp/log.out");
    EXPECT_NE(log.find("\nHello from pid " + std::to_string(pid) + "\n"), std::string::npos);
    EXPECT_NE(log.find(tag + ": abc\n"), std::string::npos);
    EXPECT_NE(log.find(tag + ": mid\nend"), std::string::npos);
    const std::string::size_type at = log.find(tag + ": yyy");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find('\n', at) - at, kMaxLogLine);
}

TEST_F(TDebuggableTest, AppToStringNamesOrFallsBackToNumbers) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"cl1\\FileSystem\\inst\\defaultSet\\sub1", "cl1\\FileSystem\\inst\\defaultSet\\sub1"},
        {"cl1\\FileSystem\\\\defaultSet\\sub1", "cl1\\FileSystem\\defaultSet\\sub1"},
        {nullptr, "2:7"},
        {"-\\t\\i\\b\\s", "2:7"},
        {"!5\\t\\i\\b\\s", "2:7"},
        {"c\\t\\i\\b", "2:7"},
        {"c\\t\\i\\!9\\s", "2:7"},
        {"c\\t\\i\\b\\-", "2:7"},
    };
    for (const auto& [value, expected] : cases) {
        platform::KeyStore::remove(kAppsSection, "2:7");
        if (value)
            platform::KeyStore::set(kAppsSection, "2:7", value);
        EXPECT_STREQ(TDebuggable().appToString(2, 7), expected) << (value ? value : "none");
    }
    platform::KeyStore::set("Depot", "nNumber", "12");
    unsigned long v = 0;
    TDebuggable d;
    EXPECT_EQ(d.getRegistryNumber("nNumber", &v, nullptr), 0);
    EXPECT_EQ(v, 12u);
    EXPECT_STREQ(d.dateToString(0), "now");
}

// Runs fn with stdout sent to a file and returns what was printed.
std::string captureStdout(const std::function<void()>& fn, const std::string& file) {
    return runInChild([&] {
               int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
               ::dup2(fd, STDOUT_FILENO);
               ::close(fd);
               fn();
               std::fflush(stdout);
               return 0;
           }) == 0
               ? readFile(file)
               : "<child failed>";
}

TEST_F(TDebuggableTest, ShellFunctionsEscapeAndMirrorIntoShellLog) {
    const std::string out = home.sub("stdout");
    EXPECT_EQ(captureStdout([] { shellputString("a\t\xff"); }, out), "'a\\x09\\xFF'");
    EXPECT_EQ(captureStdout([] { __shellPutString("a\tb"); }, out), "'a\\x0009b'");
    const std::string dir = home.sub("shell", true);
    const std::string input = home.sub("stdin");
    testsupport::writeFile(input, "typed line\r\nnext\n");
    EXPECT_EQ(captureStdout(
                  [&] {
                      std::snprintf(m_shellIndexCache, sizeof m_shellIndexCache, "%s", dir.c_str());
                      shellprintf("%s", "100% done\n");
                      int fd = ::open(input.c_str(), O_RDONLY);
                      ::dup2(fd, STDIN_FILENO);
                      char buf[64];
                      if (shellgets(buf, sizeof buf) && std::strcmp(buf, "typed line") == 0)
                          shellprintf("n=%d\n", 3);
                  },
                  out),
              "100% done\nn=3\n");
    EXPECT_EQ(readFile(dir + "/SHELL.LOG"), "100% done\ntyped line\nn=3\n");
    const std::string missing = home.sub("nodir");
    EXPECT_EQ(captureStdout(
                  [&] {
                      std::snprintf(m_shellIndexCache, sizeof m_shellIndexCache, "%s",
                                    missing.c_str());
                      shellprintf("x");
                  },
                  out),
              "xCould not open file " + missing + "/SHELL.LOG\n");
}

} // namespace
