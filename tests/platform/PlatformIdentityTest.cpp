#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST_F(PlatformIdentityTest, DirectoriesDefaultBelowTheHomeAndDashMeansNone) {
    std::string dir;
    ASSERT_TRUE(OXPI_PlatformBase::getOrbitDirectory(dir));
    EXPECT_EQ(dir, home.path() + "/product");
    ASSERT_TRUE(OXPI_Base::getOrbitTempDirectory(dir));
    EXPECT_EQ(dir, home.path() + "/tmp");
    OXPI_Depot depot;
    ASSERT_TRUE(depot.getIndexCacheDirectory("cl1", dir));
    EXPECT_EQ(dir, home.path() + "/IndexCache");
    char results[1027];
    char user[64] = "u", password[64] = "p";
    ASSERT_TRUE(
        OXPI_RealmClient().getJobResultsDirectory("cl1", results, user, password, sizeof results));
    EXPECT_EQ(std::string(results), home.path() + "/JobResults");
    EXPECT_STREQ(user, "");
    EXPECT_STREQ(password, "");

    set("ProductDir", "-");
    set("TempDir", "-");
    set("IndexCacheDir", "-");
    set("JobResultsDir", "-");
    EXPECT_FALSE(OXPI_PlatformBase::getOrbitDirectory(dir));
    EXPECT_FALSE(OXPI_Base::getOrbitTempDirectory(dir));
    EXPECT_FALSE(depot.getIndexCacheDirectory("cl1", dir));
    EXPECT_EQ(dir, "");
    EXPECT_FALSE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr,
                                                           sizeof results));
    EXPECT_STREQ(results, "");

    set("IndexCacheDir", "/idx");
    set("JobResultsDir", "/jr/results");
    ASSERT_TRUE(depot.getIndexCacheDirectory("cl1", dir));
    EXPECT_EQ(dir, "/idx");
    EXPECT_TRUE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr, 12));
    EXPECT_STREQ(results, "/jr/results");
    EXPECT_FALSE(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr, 11))
        << "a directory that does not fit is not answered cut";
}

TEST_F(PlatformIdentityTest, InstalledKindsDecideValidityAndDirectories) {
    struct Case {
        const char* kinds;
        bool client, depot, warden;
    } cases[] = {{"7", true, true, true},
                 {"1", true, false, false},
                 {"6", false, true, true},
                 {"0", false, false, false}};
    for (const Case& c : cases) {
        set("PlatformKinds", c.kinds);
        EXPECT_EQ(OXPI_RealmClient().invalidOXPlatform() == 0, c.client) << c.kinds;
        EXPECT_EQ(OXPI_Depot().invalidOXPlatform() == 0, c.depot) << c.kinds;
        EXPECT_EQ(OXPI_WardenServer("Instance001").invalidOXPlatform() == 0, c.warden) << c.kinds;
        std::string dir;
        EXPECT_EQ(OXPI_Depot().getIndexCacheDirectory("cl1", dir), c.depot) << c.kinds;
        char results[1027];
        EXPECT_EQ(OXPI_RealmClient().getJobResultsDirectory("cl1", results, nullptr, nullptr,
                                                            sizeof results),
                  c.client)
            << c.kinds;
    }
}

TEST_F(PlatformIdentityTest, PerClientPathSettingsComeFromTheMachinesSection) {
    OXPI_Depot depot;
    std::string path = "stale";
    EXPECT_FALSE(depot.getIndexCacheDirectory("cl1", "sLOCALINDEXCACHEPATH", path));
    EXPECT_EQ(path, "");
    KeyStore::set("~Machines\\cl1", "sLOCALINDEXCACHEPATH", "/local/idx");
    ASSERT_TRUE(depot.getIndexCacheDirectory("cl1", "sLOCALINDEXCACHEPATH", path));
    EXPECT_EQ(path, "/local/idx");
    EXPECT_FALSE(depot.getIndexCacheDirectory("cl2", "sLOCALINDEXCACHEPATH", path));
    EXPECT_FALSE(depot.getIndexCacheDirectory(nullptr, "sLOCALINDEXCACHEPATH", path));
}

TEST_F(PlatformIdentityTest, ProcessPlatformTypeAndRealmIdOfTheFocus) {
    EXPECT_EQ(OXS_PLATFORMTYPE, 2);
    set("PlatformType", "1");
    EXPECT_EQ(OXS_PLATFORMTYPE, 1);
    EXPECT_EQ(OXPI_WardenServer("Instance001").getRealmId(), 2u);
    EXPECT_EQ(OXPI_WardenServer("").getRealmId(), 0u);
    KeyStore::set(kWardenSection, "RealmId", "17");
    EXPECT_EQ(OXPI_WardenServer("Instance001").getRealmId(), 17u);
    EXPECT_EQ(MangleHostName("h", "c", 8400, 8402), "h*c*8400*8402");
    EXPECT_EQ(MangleHostName(nullptr, nullptr, 1, 2), "**1*2");
}

TEST_F(PlatformIdentityTest, RealmNumbersAndIds) {
    KeyStore::set(kRealmsSection, "5", "1");
    KeyStore::set(kRealmsSection, "6", "1");
    KeyStore::set(kRealmsSection, "7", "-");
    KeyStore::set(kRealmsSection, "2", "9");
    struct IdCase {
        unsigned long id;
        int rc;
        unsigned long number;
    } ids[] = {{5, 0, 1}, {6, 0, 1}, {7, OXRealm::kNotFound, 0}, {3, 0, 3}, {2, 0, 9}};
    for (const IdCase& c : ids) {
        unsigned long n = 99;
        EXPECT_EQ(OXRealm(c.id).getRealmNumber(n), c.rc) << c.id;
        EXPECT_EQ(n, c.number) << c.id;
    }
    struct NumberCase {
        unsigned long number;
        int rc;
        unsigned long id;
    } numbers[] = {
        {1, 0, 5}, {9, 0, 2}, {3, 0, 3}, {2, OXRealm::kNotFound, 0}, {7, OXRealm::kNotFound, 0}};
    for (const NumberCase& c : numbers) {
        OXRealm r;
        r.setRealmNumber(c.number);
        unsigned long id = 99;
        EXPECT_EQ(r.getRealmId(id), c.rc) << c.number;
        EXPECT_EQ(id, c.id) << c.number;
    }
}

TEST_F(PlatformIdentityTest, ClientIdsAndHostNames) {
    KeyStore::set(kClientsSection, "a", "0x10");
    KeyStore::set(kClientsSection, "b", "!0");
    KeyStore::set(kClientsSection, "c", "twelve");
    unsigned long id = 5;
    EXPECT_EQ(OXClient("a").getClientId(id), 0);
    EXPECT_EQ(id, 16u);
    EXPECT_EQ(OXClient("b").getClientId(id), 1) << "a code of 0 still fails";
    EXPECT_EQ(OXClient("c").getClientId(id), 22);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(OXClient("").getClientId(id), 22);

    char buf[16];
    EXPECT_TRUE(OXClient::getClientHostName("a", buf, sizeof buf));
    EXPECT_STREQ(buf, "a");
    char small[13]; // "a*a*8400*8402" needs 14 bytes
    EXPECT_FALSE(OXClient::getClientHostNameMangled("a", small, sizeof small));
    char big[64];
    EXPECT_TRUE(OXClient::getClientHostNameMangled("a", big, sizeof big));
    EXPECT_STREQ(big, "a*a*8400*8402");
    EXPECT_FALSE(OXClient::getClientHostName(nullptr, big, sizeof big));
    EXPECT_STREQ(big, "");

    set("PhysicalMachine", "box7");
    EXPECT_EQ(OXClient::getPhysicalMachine(), "box7");
}

TEST_F(PlatformIdentityTest, JobClientsRecordTheirCallsInTheJobsLog) {
    KeyStore::set(kJobsSection, "2", "frozen");
    KeyStore::set(kJobsSection, "3", "unknown");
    OXJobClient j;
    EXPECT_EQ(j.setPendingCause(0x0E000001, 300), 0) << "not initialised";
    EXPECT_EQ(j.init("ws", 1, 2), 1);
    EXPECT_EQ(j.setPendingCause(0x0E00007B, 300, {"a b", "c"}), 1);
    OXJobClient frozen;
    EXPECT_EQ(frozen.init("ws", 2, 2), 1);
    EXPECT_EQ(frozen.setPendingCause(0x0E00007B, 300), 0);
    EXPECT_EQ(OXJobClient().init("ws", 3, 2), 0);
    EXPECT_EQ(OXJobClient().init("", 4, 2), 0);

    OXBkpJobClient b;
    EXPECT_EQ(b.init("ws", 1, 1, 2, 0, 0), 1);
    EXPECT_EQ(b.complete(2, 2, 0, 0), 1);
    OXBkpJobClient bf;
    EXPECT_EQ(bf.init("ws", 2, 1, 2, 0, 0), 1);
    EXPECT_EQ(bf.complete(2, 1, 0, 0), 0);
    EXPECT_EQ(OXBkpJobClient().init("ws", 3, 1, 2, 0, 0), 0);

    std::string log = testsupport::readFile(home.path() + "/logs/jobs.log");
    std::vector<std::string> bodies;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        std::string line = log.substr(pos, nl - pos);
        // "<date> <time> <pid> <body>"
        size_t at = 0;
        for (int i = 0; i < 3; ++i)
            at = line.find(' ', at) + 1;
        bodies.push_back(line.substr(at));
        pos = nl + 1;
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{
                          "INIT job=1 warden=ws platform=2",
                          "PENDING job=1 msg=0x0E00007B type=300 args=2 [a b] [c]",
                          "INIT job=2 warden=ws platform=2",
                          "INIT job=3 warden=ws platform=2",
                          "INIT job=4 warden= platform=2",
                          "BKPINIT job=1 warden=ws 1 2 0 0",
                          "COMPLETE job=1 2 2 0 0",
                          "BKPINIT job=2 warden=ws 1 2 0 0",
                          "BKPINIT job=3 warden=ws 1 2 0 0",
                      }));
}

} // namespace
