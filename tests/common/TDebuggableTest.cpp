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

TEST_F(TDebuggableTest, LinesGoToThePlatformLogWithPrefixAndJobId) {
    platform::TestSink sink;
    TDebuggable d;
    d.setDebugPrefix("DIRECTORY");
    d.setJobId(99);
    d.debug(3, "open: opendir %s failed, errno %d\n", "/x", 2);
    auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "DIRECTORY: open: opendir /x failed, errno 2");
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].jobId, 99);

    TDebuggable fresh;
    fresh.debug(1, "x");
    EXPECT_EQ(sink.lines().back().text, "NoPrefix: x");
}

// The /tmp file path is process-wide and opened by the first object: run it
// in a child whose first object is created after the marker file exists.
TEST_F(TDebuggableTest, TmpLogFileLinesWhenEventLoggingIsOff) {
    std::string tag = "T" + std::to_string(::getpid()) + "_" + std::to_string(::time(nullptr));
    int rc = runInChild([&] {
        TDebuggable::logEvents(0);
        {
            TDebuggable d;
            d.setDebugPrefix(tag.c_str());
            d.debug(1, "abc");
            d.debug(1, "mid\nend");
            d.debug(1, "%s", std::string(5000, 'y').c_str());
        }
        return TDebuggable::getUsageCount() == 0 ? 0 : 1;
    });
    ASSERT_EQ(rc, 0);
    std::string log = readFile("/tmp/log.out");
    ASSERT_NE(log.find(tag + ": abc\n"), std::string::npos);
    EXPECT_NE(log.find(tag + ": mid\nend" + tag), std::string::npos)
        << "a line with an LF inside is written unchanged, without a final LF";
    std::string::size_type at = log.find(tag + ": yyy");
    ASSERT_NE(at, std::string::npos);
    std::string::size_type end = log.find('\n', at);
    EXPECT_EQ(end - at, kMaxLogLine) << "cut to 4104 bytes before the line end";
}

TEST_F(TDebuggableTest, MarkerFileOpensTmpLogWithGreeting) {
    struct stat st;
    bool hadMarker = ::stat("/tmp/CXIndexLogging", &st) == 0;
    if (!hadMarker)
        testsupport::writeFile("/tmp/CXIndexLogging", "");
    pid_t pid = testsupport::forkChild([] {
        TDebuggable d;
        d.setDebugPrefix("GREETING");
        return 0;
    });
    int rc = testsupport::waitChild(pid);
    if (!hadMarker)
        ::unlink("/tmp/CXIndexLogging");
    ASSERT_EQ(rc, 0);
    std::string greeting = "\nHello from pid " + std::to_string(pid) + "\n";
    EXPECT_NE(readFile("/tmp/log.out").find(greeting), std::string::npos);
}

TEST_F(TDebuggableTest, AnyLogFiltersByLevelAndCanLogTwoPlaces) {
    platform::TestSink sink;
    TDebuggableAnyLog a;
    a.setDebugPrefix("CACHEFSBASE");
    a.debug(2, "dropped at level 1");
    EXPECT_TRUE(sink.lines().empty());
    a.debug(1, "kept\ntail after the last LF");
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_EQ(sink.lines()[0].text, "CACHEFSBASE: kept");

    // Two places without an external log: nothing is filtered.
    a.setLogTwoPlaces(true);
    a.debug(3, "detail");
    EXPECT_EQ(sink.lines().size(), 2u);

    EvEvent shared;
    shared.initialize(2, 1679234300, 0, nullptr, "");
    a.setJobId(5);
    a.setEvent(&shared);
    EXPECT_EQ(shared.getJobId(), 5) << "the shared log is tagged with the object's job";
    sink.clear();
    a.debug(1, "both");
    ASSERT_EQ(sink.lines().size(), 2u) << "once to the shared log, once to the own one";
    EXPECT_EQ(sink.lines()[1].jobId, 5);
    a.debug(3, "filtered again once an external log is set");
    EXPECT_EQ(sink.lines().size(), 2u);
}

TEST_F(TDebuggableTest, GuardianRestoresTheEarlierEventLogAndFlag) {
    EvEvent first, second;
    TDebuggableAnyLog a;
    a.setEvent(&first);
    {
        TAnyLogGuardian g(&a);
        a.setEvent(&second);
        a.setLogTwoPlaces(true);
        EXPECT_EQ(&a.ev(), &second);
    }
    EXPECT_EQ(a.getEvent(), &first);
    EXPECT_FALSE(a.getLogTwoPlaces());
    TAnyLogGuardian none(nullptr);
}

TEST_F(TDebuggableTest, JobIdTagsEventsUnlessTheProcessIsAService) {
    TDebuggable d;
    d.setJobId(1234);
    EXPECT_EQ(d.ev().getJobId(), 1234);
    platform::KeyStore::set(platform::kPlatformSection, "IsService", "1");
    TDebuggable s;
    s.setJobId(1234);
    EXPECT_EQ(s.getJobId(), 1234);
    EXPECT_EQ(s.ev().getJobId(), 0);
}

TEST_F(TDebuggableTest, DatesAndRegistryWrappers) {
    TDebuggable d;
    EXPECT_STREQ(d.dateToString(0), "now");
    time_t t = 1700000000;
    char expect[64];
    ::ctime_r(&t, expect);
    expect[std::strlen(expect) - 1] = '\0';
    EXPECT_STREQ(d.dateToString(1700000000u), expect);

    platform::KeyStore::set("Depot", "nNumber", "12");
    platform::KeyStore::set("Gatherer", "nNumber", "13");
    platform::KeyStore::set("Depot", "sText", "hello");
    unsigned long v = 0;
    EXPECT_EQ(d.getRegistryNumber("nNumber", &v, nullptr), 0);
    EXPECT_EQ(v, 12u);
    EXPECT_EQ(d.getRegistryNumber("nNumber", &v, "Gatherer"), 0);
    EXPECT_EQ(v, 13u);
    EXPECT_EQ(d.getRegistryNumber("nMissing", &v, nullptr), -1);
    EXPECT_EQ(v, 13u);
    EXPECT_STREQ(d.getRegistryString("sText", nullptr), "hello");
    EXPECT_EQ(d.getRegistryString("sMissing", "Depot"), nullptr);
}

TEST_F(TDebuggableTest, AppToStringNamesOrFallsBackToNumbers) {
    struct Case {
        const char* value; // null: not configured
        const char* expected;
        const char* line; // expected failure line, or null
    };
    const Case cases[] = {
        {"cl1\\FileSystem\\inst\\defaultSet\\sub1", "cl1\\FileSystem\\inst\\defaultSet\\sub1",
         nullptr},
        {"cl1\\FileSystem\\\\defaultSet\\sub1", "cl1\\FileSystem\\defaultSet\\sub1", nullptr},
        {nullptr, "2:7", "appToString: getApplicationId failed for realm 2 app 7, code 2"},
        {"-\\t\\i\\b\\s", "2:7", "appToString: getClient failed for realm 2 app 7"},
        {"!5\\t\\i\\b\\s", "2:7", "appToString: getClientName failed for realm 2 app 7, code 5"},
        {"c\\t\\i\\b", "2:7", "appToString: isInstanceAvailable failed for realm 2 app 7, code 22"},
        {"c\\t\\i\\!9\\s", "2:7", "appToString: getBackupSetName failed for realm 2 app 7, code 9"},
        {"c\\t\\i\\b\\-", "2:7", "appToString: getSubclient failed for realm 2 app 7"},
    };
    for (const Case& c : cases) {
        platform::KeyStore::remove(kAppsSection, "2:7");
        if (c.value)
            platform::KeyStore::set(kAppsSection, "2:7", c.value);
        platform::TestSink sink;
        TDebuggable d;
        EXPECT_STREQ(d.appToString(2, 7), c.expected) << (c.value ? c.value : "none");
        if (c.line)
            EXPECT_TRUE(sink.hasLine(c.line)) << c.line;
        else
            EXPECT_TRUE(sink.lines().empty());
    }
}

// Runs fn with stdout sent to a file and returns what was printed.
std::string captureStdout(const std::function<void()>& fn, const std::string& file) {
    int rc = runInChild([&] {
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
        fn();
        std::fflush(stdout);
        return 0;
    });
    return rc == 0 ? readFile(file) : "<child failed>";
}

TEST_F(TDebuggableTest, ShellFunctionsEscapeAndMirrorIntoShellLog) {
    std::string out = home.sub("stdout");
    EXPECT_EQ(captureStdout([] { shellputString("a\tb"); }, out), "'a\\x09b'");
    EXPECT_EQ(captureStdout([] { __shellPutString("a\tb"); }, out), "'a\\x0009b'");
    EXPECT_EQ(captureStdout([] { shellputString("\xff"); }, out), "'\\xFF'");

    std::string dir = home.sub("shell", true);
    std::string printed = captureStdout(
        [&] {
            std::snprintf(m_shellIndexCache, sizeof m_shellIndexCache, "%s", dir.c_str());
            shellprintf("%s", "100% done\n");
            shellprintf("n=%d\n", 3);
        },
        out);
    EXPECT_EQ(printed, "100% done\nn=3\n");
    EXPECT_EQ(readFile(dir + "/SHELL.LOG"), "100% done\nn=3\n");

    std::string missing = home.sub("nodir");
    printed = captureStdout(
        [&] {
            std::snprintf(m_shellIndexCache, sizeof m_shellIndexCache, "%s", missing.c_str());
            shellprintf("x");
        },
        out);
    EXPECT_EQ(printed, "xCould not open file " + missing + "/SHELL.LOG\n");
}

TEST_F(TDebuggableTest, ShellGetsCutsTheLineEndAndLogsTheLine) {
    std::string dir = home.sub("shell", true);
    std::string input = home.sub("stdin");
    testsupport::writeFile(input, "typed line\r\nnext\n");
    int rc = runInChild([&] {
        int fd = ::open(input.c_str(), O_RDONLY);
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
        std::snprintf(m_shellIndexCache, sizeof m_shellIndexCache, "%s", dir.c_str());
        char buf[64];
        if (!shellgets(buf, sizeof buf) || std::strcmp(buf, "typed line") != 0)
            return 1;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(dir + "/SHELL.LOG"), "typed line\n");
}

} // namespace
