// The diagnostic log's /tmp file, and the application names events carry.
#include <gtest/gtest.h>

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
}

// Dates in log lines and event arguments: cut to the caller's buffer, even one of a byte.
TEST(OXCtimeTest, CutsTheTextToTheBuffer) {
    char buffer[8];
    EXPECT_FALSE(OX_ctime(0, buffer, 0));
    EXPECT_TRUE(OX_ctime(0, buffer, 1));
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(OX_ctime(1700000000, buffer, sizeof buffer));
    EXPECT_EQ(std::strlen(buffer), 7u);
}

} // namespace
