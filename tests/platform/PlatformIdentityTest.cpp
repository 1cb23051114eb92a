// Platform identity stand-ins: directories, installed kinds, realms, clients
// and the job client's record of its calls.
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

TEST_F(PlatformIdentityTest, DirectoriesAndInstalledKinds) {
    std::string dir;
    OXPI_Depot depot;
    ASSERT_TRUE(depot.getIndexCacheDirectory("cl1", dir));
    EXPECT_EQ(dir, home.path() + "/IndexCache");
    char results[1027];
    ASSERT_TRUE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr,
                                                          sizeof results));
    EXPECT_EQ(std::string(results), home.path() + "/JobResults");
    set("IndexCacheDir", "-"); // none
    EXPECT_FALSE(depot.getIndexCacheDirectory("cl1", dir));
    set("JobResultsDir", "/jr/results");
    EXPECT_TRUE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr, 12));
    EXPECT_FALSE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr, 11));
    KeyStore::set("~Machines\\cl1", "sLOCALINDEXCACHEPATH", "/local/idx");
    ASSERT_TRUE(depot.getIndexCacheDirectory("cl1", "sLOCALINDEXCACHEPATH", dir));
    EXPECT_EQ(dir, "/local/idx");
    EXPECT_FALSE(depot.getIndexCacheDirectory("cl2", "sLOCALINDEXCACHEPATH", dir));

    for (auto [kinds, client, server] :
         std::vector<std::tuple<const char*, bool, bool>>{{"1", true, false}, {"6", false, true}}) {
        set("PlatformKinds", kinds);
        EXPECT_EQ(OXPI_RealmClient().invalidOXPlatform() == 0, client) << kinds;
        EXPECT_EQ(OXPI_Depot().invalidOXPlatform() == 0, server) << kinds;
        EXPECT_EQ(OXPI_WardenServer("Instance001").invalidOXPlatform() == 0, server) << kinds;
    }
    EXPECT_EQ(OXPI_WardenServer("Instance001").getRealmId(), 2u);
    EXPECT_EQ(OXPI_WardenServer("").getRealmId(), 0u);
}

TEST_F(PlatformIdentityTest, RealmNumbersAndClientIds) {
    KeyStore::set(kRealmsSection, "5", "1");
    KeyStore::set(kRealmsSection, "7", "-");
    KeyStore::set(kRealmsSection, "2", "9");
    for (auto [id, rc, number] : std::vector<std::tuple<unsigned long, int, unsigned long>>{
             {5, 0, 1}, {7, OXRealm::kNotFound, 0}, {3, 0, 3}, {2, 0, 9}}) {
        unsigned long n = 99;
        EXPECT_EQ(OXRealm(id).getRealmNumber(n), rc) << id;
        EXPECT_EQ(n, number) << id;
    }
    for (auto [number, rc, id] : std::vector<std::tuple<unsigned long, int, unsigned long>>{
             {1, 0, 5}, {9, 0, 2}, {3, 0, 3}, {2, OXRealm::kNotFound, 0}}) {
        OXRealm r;
        r.setRealmNumber(number);
        unsigned long got = 99;
        EXPECT_EQ(r.getRealmId(got), rc) << number;
        EXPECT_EQ(got, id) << number;
    }
    KeyStore::set(kClientsSection, "a", "0x10");
    KeyStore::set(kClientsSection, "b", "!0");
    KeyStore::set(kClientsSection, "c", "twelve");
    unsigned long id = 5;
    EXPECT_EQ(OXClient("a").getClientId(id), 0);
    EXPECT_EQ(id, 16u);
    EXPECT_EQ(OXClient("b").getClientId(id), 1);
    EXPECT_EQ(OXClient("c").getClientId(id), 22);
    char small[13], big[64]; // "a*a*8400*8402" needs 14 bytes
    EXPECT_FALSE(OXClient::getClientHostNameMangled("a", small, sizeof small));
    EXPECT_TRUE(OXClient::getClientHostNameMangled("a", big, sizeof big));
    EXPECT_STREQ(big, "a*a*8400*8402");
}

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
