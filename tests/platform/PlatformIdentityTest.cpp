// The job client stand-in's record of its calls, which the tests of pending
// causes and failed jobs read.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

#include "platform/OXClient.h"
#include "platform/OXJobClient.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OXRealm.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

struct PlatformIdentityTest : ::testing::Test {
    testsupport::ScratchHome home;
    void set(const char* key, const std::string& value) {
        ASSERT_TRUE(KeyStore::set(platform::kPlatformSection, key, value));
    }
};

TEST_F(PlatformIdentityTest, JobClientsRecordTheirCallsInTheJobsLog) {
    KeyStore::set(kJobsSection, "2", "frozen");
    KeyStore::set(kJobsSection, "3", "unknown");
    OXJobClient j;
    EXPECT_EQ(j.setPendingCause(0x0E000001, 300), 0); // not initialised
    EXPECT_EQ(j.init("ws", 1, 2), 1);
    EXPECT_EQ(j.setPendingCause(0x0E00007B, 300, {"a b", "c"}), 1);
    OXJobClient frozen;
    EXPECT_EQ(frozen.init("ws", 2, 2), 1);
    EXPECT_EQ(frozen.setPendingCause(0x0E00007B, 300), 0);
    EXPECT_EQ(OXJobClient().init("ws", 3, 2), 0);
    OXBkpJobClient b;
    EXPECT_EQ(b.init("ws", 1, 1, 2, 0, 0), 1);
    EXPECT_EQ(b.complete(2, 2, 0, 0), 1);

    std::vector<std::string> bodies;
    std::istringstream log(testsupport::readFile(home.path() + "/logs/jobs.log"));
    for (std::string line; std::getline(log, line);) {
        size_t at = 0; // "<date> <time> <pid> <body>"
        for (int i = 0; i < 3; ++i)
            at = line.find(' ', at) + 1;
        bodies.push_back(line.substr(at));
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{
                          "INIT job=1 warden=ws platform=2",
                          "PENDING job=1 msg=0x0E00007B type=300 args=2 [a b] [c]",
                          "INIT job=2 warden=ws platform=2",
                          "INIT job=3 warden=ws platform=2",
                          "BKPINIT job=1 warden=ws 1 2 0 0",
                          "COMPLETE job=1 2 2 0 0",
                      }));
}

} // namespace
