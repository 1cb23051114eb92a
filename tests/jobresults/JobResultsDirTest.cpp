#include <unistd.h>

#include <filesystem>

#include "jobresults/JobResultsDir.h"
#include "jobresults/ResultsSupport.h"
#include "jobresults/StoreResults.h"
#include "platform/ApplicationId.h"
#include "platform/Env.h"
#include "platform/OXClient.h"

using platform::KeyStore;
using testsupport::exists;
using testsupport::hasExactLine;
using testsupport::readFile;

namespace {

using JobResultsDirTest = ResultsTest;

TEST_F(JobResultsDirTest, OpensCreatesAndNamesTheDirectoryByTheJobIdsLowBits) {
    platform::TestSink sink;
    JobResultsDir d;
    ASSERT_EQ(d.initialize(2, 42, false, "client1"), 0);
    EXPECT_EQ(std::string(d.getCacheDir()), jobDir(42));
    EXPECT_EQ(d.close(), 0) << "never opened";
    EXPECT_EQ(d.open(true), 1);
    EXPECT_TRUE(hasExactLine(sink, "JOBRESULTSDIR: open (read-only): cacheDir " + jobDir(42) +
                                       " does not exist"));
    EXPECT_FALSE(exists(jobDir(42)));
    ASSERT_EQ(d.open(false), 0);
    EXPECT_TRUE(exists(jobDir(42) + "/State"));

    JobResultsDir same;
    ASSERT_EQ(same.initialize(2, 42 + (1LL << 32), false, "client1"), 0);
    EXPECT_EQ(std::string(same.getCacheDir()), jobDir(42));

    // Re-initialising an open object closes its directory first.
    ASSERT_EQ(d.initialize(2, 43, false, "client1"), 0);
    EXPECT_EQ(readFile(jobDir(42) + "/State").substr(0, 2), "0\n");
    EXPECT_FALSE(d.isOpened());
}

TEST_F(JobResultsDirTest, ApplicationTypeDecidesTheApplicationFolder) {
    KeyStore::set(kAppsSection, "2:9.type", "137");
    KeyStore::set(kAppsSection, "2:8.type", "12");
    struct Case {
        unsigned int appId;
        int rc;
        const char* folder; // null: no directory
    };
    const Case cases[] = {{9, 0, "/9/"}, {8, 0, "/0/"}, {7, 1, nullptr}};
    for (const Case& c : cases) {
        JobResultsDir d;
        EXPECT_EQ(d.initialize(2, 100, true, "client1", c.appId), c.rc) << c.appId;
        if (c.folder) {
            EXPECT_NE(std::string(d.getCacheDir()).find(std::string("/2") + c.folder + "100"),
                      std::string::npos)
                << d.getCacheDir();
        }
        EXPECT_EQ(d.isOpened(), c.appId == 9);
    }
}

TEST_F(JobResultsDirTest, CleanUpLogsToItsOwnEventAndSurvivesAReplacedEvent) {
    platform::TestSink sink;
    JobResultsDir none;
    EXPECT_EQ(none.cleanUp(), -1);
    EXPECT_TRUE(
        hasExactLine(sink, "JOBRESULTSDIR: Starting job results cleanup for **NoClientName**"));
    EXPECT_EQ(none.getLastError(), -1);

    JobResultsDir d;
    ASSERT_EQ(d.initialize(2, 42, false, "client1"), 0);
    d.setupCleanupLogging(true);
    ASSERT_NE(d.getCleanupEvent(), nullptr);
    EXPECT_EQ(d.getCleanupEvent()->getModuleId(), JobResultsDir::kCleanupModuleId);
    auto* replacement = new EvEvent;
    replacement->initialize(2, JobResultsDir::kCleanupModuleId, 0, nullptr, "");
    d.setCleanupEvent(replacement);
    EXPECT_EQ(d.getEvent(), replacement);
    EXPECT_GE(d.cleanUp(), 0);
    EXPECT_TRUE(
        sink.hasLine("client1 cleanup successful, use QMachineMaint/nTimer_JobResultsCleanup"));
}

TEST_F(JobResultsDirTest, TwoProcessesOpeningANewJobBothGetTheDirectory) {
    testsupport::ProcessSignal go;
    auto opener = [&] {
        JobResultsDir d;
        CHILD_CHECK(d.initialize(2, 64, false, "client1") == 0);
        CHILD_CHECK(go.wait());
        CHILD_CHECK(d.open(false) == 0);
        StoreResults raw(2, 64, false, "client1");
        std::string name;
        CHILD_CHECK(raw.openRaw(RF_BACKUP, name) == 0);
        return d.close();
    };
    pid_t a = testsupport::forkChild(opener), b = testsupport::forkChild(opener);
    go.post();
    go.post();
    EXPECT_EQ(testsupport::waitChild(a), 0);
    EXPECT_EQ(testsupport::waitChild(b), 0);
    const std::string state = readFile(jobDir(64) + "/State");
    EXPECT_EQ(state.substr(0, 2), "0\n") << state;
}

// Another job made the directory and has not written its State yet: the open
// waits for it instead of taking the directory for a damaged one.
TEST_F(JobResultsDirTest, AnOpenWaitsForTheJobThatIsMakingTheDirectory) {
    struct MakerFinishesOnSleep : platform::VirtualClock {
        std::string state;
        void sleepMs(unsigned long ms) override {
            VirtualClock::sleepMs(ms);
            testsupport::writeFile(state, waits().size() == 1 ? "" : "3\n1700000000    \n");
        }
    } clock;
    JobResultsDir d;
    ASSERT_EQ(d.initialize(2, 65, false, "client1"), 0);
    ASSERT_TRUE(std::filesystem::create_directories(d.getCacheDir()));
    clock.state = std::string(d.getCacheDir()) + "/State";
    ASSERT_EQ(d.open(false), 0);
    EXPECT_EQ(clock.waits().size(), 2u);
}

// Frequency "nJRCLEANUPFREQ" (hours) and the last run per client.
TEST_F(JobResultsDirTest, CentralCleanUpRunsOncePerPeriodAndOnlyInOneProcess) {
    platform::VirtualClock clock;
    const std::string section = machinesSection("client1");
    struct Case {
        const char* frequency; // null: key absent (6 hours)
        long lastAgo;          // 0: never ran
        bool runs;
    };
    const Case cases[] = {{nullptr, 5 * 3600, false},
                          {nullptr, 7 * 3600, true},
                          {"0", 60, true},
                          {"2", 3 * 3600, true},
                          {nullptr, 0, true}};
    for (const Case& c : cases) {
        if (c.frequency)
            KeyStore::set("Gatherer", "nJRCLEANUPFREQ", c.frequency);
        else
            KeyStore::remove("Gatherer", "nJRCLEANUPFREQ");
        const unsigned long before = c.lastAgo ? 1700000000 - c.lastAgo : 0;
        KeyStore::set(section, "nJRCLEANUPLAST", std::to_string(before));
        EXPECT_GE(StoreResultCentralCleanup("client1"), 0);
        const std::string after = KeyStore::getStringOr(section, "nJRCLEANUPLAST", "");
        EXPECT_EQ(after == "1700000000", c.runs) << c.lastAgo;
    }
    // Two processes at once: exactly one runs, the other finds the fresh time
    // or the running one.
    KeyStore::remove("Gatherer", "nJRCLEANUPFREQ");
    KeyStore::set(section, "nJRCLEANUPLAST", "1");
    auto central = [&] {
        platform::VirtualClock own(1800000000);
        platform::TestSink sink;
        StoreResultCentralCleanup("client1");
        return sink.hasLine("Starting job results cleanup") ? 10 : 20;
    };
    pid_t a = testsupport::forkChild(central), b = testsupport::forkChild(central);
    EXPECT_EQ(testsupport::waitChild(a) + testsupport::waitChild(b), 30);
    EXPECT_EQ(KeyStore::getStringOr(section, "nJRCLEANUPLAST", ""), "1800000000");
}

TEST_F(JobResultsDirTest, CentralCleanUpRejectsBadThresholdsAndNames) {
    platform::TestSink sink;
    struct Case {
        const char* client;
        const char* diskFull;
        const char* aging;
        const char* message;
    };
    const Case cases[] = {
        {"client1", "0", "5", "cleanUp: invalid disk full threshold 0"},
        {"client1", "101", "5", "cleanUp: invalid disk full threshold 101"},
        {"client1", "90", "0", "cleanUp: invalid cache aging threshold 0"},
        {"client1", "!5", "5", "cleanUp: getDiskFullThreshold failed for client 'client1'"},
        {"bad]name", "90", "5", "cleanUp: client name 'bad]name' cannot name a key-store section"},
    };
    for (const Case& c : cases) {
        KeyStore::set(kClientPropsSection, std::string("client1.DiskFullThreshold"), c.diskFull);
        KeyStore::set(kClientPropsSection, std::string("client1.CacheAgingThreshold"), c.aging);
        KeyStore::set(kClientPropsSection, std::string("bad]name.DiskFullThreshold"), "90");
        EXPECT_EQ(StoreResultCentralCleanup(c.client), -1) << c.message;
        EXPECT_TRUE(hasExactLine(sink, std::string("STORERESULTS: ") + c.message, 1)) << c.message;
    }
}

} // namespace
