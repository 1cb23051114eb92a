#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "cachefs/TestCacheFs.h"
#include "platform/ApplicationId.h"
#include "platform/EvEvent.h"

using platform::KeyStore;

namespace {

constexpr unsigned long kTs = 1700000000;

struct PreInitTest : CacheDirFixture {};

TEST_F(PreInitTest, ApplicationTypeDecidesBackupRestoreHandling) {
    struct Case {
        OXAppType app;
        int result;
        bool enabled;
    };
    const Case cases[] = {
        {1, 0, true},     {1000, 0, true}, {7, 0, false},
        {1001, 0, false}, {5, -1, false},  {0, -1, false},
    };
    for (const Case& c : cases) {
        platform::TestSink sink;
        CacheDirProbe dir(kTs, c.app);
        EXPECT_EQ(dir.preInitResult, c.result) << c.app;
        EXPECT_EQ(dir.isBackupRestoreEnabled(), c.enabled) << c.app;
        const std::string unexpected = "Unexpected AppType " + std::to_string(c.app);
        EXPECT_EQ(loggedLine(sink, unexpected, 1), c.result != 0) << c.app;
        EXPECT_EQ(loggedLine(sink, "ERROR: _preInit() exception: invalid app type: errno=0", 1),
                  c.result != 0)
            << c.app;
    }
}

TEST_F(PreInitTest, ApplicationIdNames) {
    platform::TestSink sink;
    CacheDirProbe bad(kTs, 1, 0, "abc");
    EXPECT_EQ(bad.preInitResult, -1);
    EXPECT_TRUE(loggedLine(sink, "Failed to decode appIdName [abc]", 1));

    CacheDirProbe scp(kTs, 1, 0, "scp_17_4");
    ASSERT_EQ(scp.preInitResult, 0);
    EXPECT_EQ(scp.getAppNumber(), 17u);
    EXPECT_EQ(scp.getSecondAppNumber(), 4u);
    EXPECT_EQ(scp.getAppIdName(), "scp_17_4");
    EXPECT_EQ(scp.getRealmId(), 2u);
    scp.initialize("client1");
    EXPECT_STREQ(scp.getCacheDir(), (root + "/2/scp_17_4/1700000000").c_str());
    EXPECT_EQ(scp.getTimeStamp(), kTs);
}

TEST_F(PreInitTest, IndexServerAndBusyTimeouts) {
    struct Case {
        const char* server; // "~Depot" nTRANLOGCATALOGSERVTIMEOUT; nullptr: absent
        const char* busy;   // "Depot" nINDEXINGBUSYTIMEOUT
        int serverTimeout;
        int busyTimeout;
        std::vector<std::string> lines;
        bool adjusted;
    };
    const Case cases[] = {
        {nullptr,
         nullptr,
         10680,
         10800,
         {"_preInit(): set IndexCacheServer timeouts to 10680 seconds (default)"},
         false},
        {"30", nullptr, 60, 10800, {"override IndexCacheServer timeouts to 60 seconds"}, false},
        {"-5", nullptr, 60, 10800, {"override IndexCacheServer timeouts to 60 seconds"}, false},
        {"20000",
         nullptr,
         10800,
         10800,
         {"override IndexCacheServer timeouts to 20000 seconds",
          "adjusted IndexCacheServer timeout to 10800 to match UpdateIndex connection timeout"},
         true},
        {"20000",
         "15000",
         15000,
         15000,
         {"Receive timeout is overridden by registry to 15000",
          "adjusted IndexCacheServer timeout to 15000 to match UpdateIndex connection timeout"},
         true},
        {"12000",
         "15000",
         12000,
         15000,
         {"Receive timeout is overridden by registry to 15000"},
         false},
        {nullptr, "5000", 10680, 10800, {}, false},
    };
    for (const Case& c : cases) {
        if (c.server)
            KeyStore::set("~Depot", "nTRANLOGCATALOGSERVTIMEOUT", c.server);
        else
            KeyStore::remove("~Depot", "nTRANLOGCATALOGSERVTIMEOUT");
        if (c.busy)
            KeyStore::set("Depot", "nINDEXINGBUSYTIMEOUT", c.busy);
        else
            KeyStore::remove("Depot", "nINDEXINGBUSYTIMEOUT");
        platform::TestSink sink;
        CacheDirProbe dir(kTs);
        const std::string what =
            std::string(c.server ? c.server : "-") + "/" + (c.busy ? c.busy : "-");
        EXPECT_EQ(dir.getCatalogServerTimeoutSeconds(), c.serverTimeout) << what;
        EXPECT_EQ(dir.getCatalogServerTimeoutMS(), c.serverTimeout * 1000LL) << what;
        EXPECT_EQ(dir.getBusyTimeout(), c.busyTimeout) << what;
        for (const std::string& line : c.lines)
            EXPECT_TRUE(loggedLine(sink, line, 3)) << what << ": " << line;
        EXPECT_EQ(sink.hasLine("adjusted IndexCacheServer timeout"), c.adjusted) << what;
        EXPECT_EQ(sink.hasLine("Receive timeout is overridden"),
                  c.busy && std::string(c.busy) == "15000")
            << what;
    }
}

TEST_F(PreInitTest, SpaceSaverIsReadOncePerProcess) {
    struct Case {
        const char* value; // nullptr: absent
        bool copy;
        unsigned long threshold;
    };
    const Case cases[] = {
        {nullptr, true, 2048}, {"YES", false, 2048}, {"yes", false, 2048}, {"y", false, 2048},
        {"Y", false, 2048},    {"500", true, 500},   {"no", true, 2048},   {"maybe", true, 2048},
    };
    for (const Case& c : cases) {
        if (c.value)
            KeyStore::set("Depot", "sSPACESAVER", c.value);
        else
            KeyStore::remove("Depot", "sSPACESAVER");
        // Each child stands for a fresh process whose first object reads the key.
        int rc = testsupport::runInChild([&] {
            CacheDirProbe::rearmFirstConstruction();
            CacheDirProbe first(kTs);
            if (first.getCopyUponUpdate() != c.copy)
                return 1;
            if (IndexCacheDirBase::getStaticCopyUponUpdateFlag() != c.copy ||
                IndexCacheDirBase::getCopyUponUpdateThreshold() != c.threshold)
                return 2;
            CacheDirProbe synthetic(kTs, 1, 0, "17", BackupTypeSyntheticFull);
            if (!synthetic.getCopyUponUpdate())
                return 3;
            // The key is not read again by later objects of the process.
            KeyStore::set("Depot", "sSPACESAVER", c.copy ? "YES" : "700");
            CacheDirProbe later(kTs);
            if (later.getCopyUponUpdate() != c.copy ||
                IndexCacheDirBase::getCopyUponUpdateThreshold() != c.threshold)
                return 4;
            return 0;
        });
        EXPECT_EQ(rc, 0) << (c.value ? c.value : "absent");
    }
}

TEST_F(PreInitTest, AnAlarmNeverEndsAProcessThatMadeACacheDirectory) {
    struct Case {
        bool construct;
        OXAppType app;
        int exitCode;
    };
    const Case cases[] = {
        {true, 1, 0},
        {true, 1001, 0},
        {false, 1, 128 + SIGALRM}, // the default action, for comparison
        {true, 5, 128 + SIGALRM},  // the application type fails first
    };
    for (const Case& c : cases) {
        int rc = testsupport::runInChild([&] {
            std::signal(SIGALRM, SIG_DFL);
            if (c.construct)
                CacheDirProbe dir(kTs, c.app);
            ::raise(SIGALRM);
            ::raise(SIGALRM); // the handler put itself back
            struct sigaction now;
            ::sigaction(SIGALRM, nullptr, &now);
            return now.sa_handler == SIG_DFL || now.sa_handler == SIG_IGN ? 3 : 0;
        });
        EXPECT_EQ(rc, c.exitCode) << c.construct << " " << c.app;
    }
}

TEST_F(PreInitTest, TaskOptionsComeFromTheDefaultsKeyOnFirstUse) {
    struct Case {
        const char* options; // nullptr: absent
        bool catalogEnabled; // the platform's answer for client1
        bool checkpoint, tranLog, catalog, alternate, isAlternate;
    };
    const Case cases[] = {
        {nullptr, false, false, false, false, true, true},
        {"1", false, true, false, false, true, true},
        {"2", false, false, true, false, true, true},
        {"4", false, false, false, false, false, false},
        {"4", true, false, false, true, false, false},
        {"0", true, false, false, true, false, false},
        {"7", true, true, true, true, false, false},
    };
    KeyStore::set("Depot", "sSECONDARYINDEXSERVERNAME", "backupidx");
    KeyStore::set("~Depot", "bISSECONDARYINDEXSERVER", "1");
    for (const Case& c : cases) {
        if (c.options)
            KeyStore::set("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", c.options);
        else
            KeyStore::remove("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS");
        setCatalogServerEnabledFlag("client1", c.catalogEnabled);
        auto dir = make(kTs);
        const std::string what =
            std::string(c.options ? c.options : "-") + (c.catalogEnabled ? " enabled" : "");
        EXPECT_EQ(dir->getIndexCheckpointFlag(), c.checkpoint) << what;
        EXPECT_EQ(dir->getIndexUseTranLogFlag(), c.tranLog) << what;
        EXPECT_EQ(dir->getIndexUseCatalogServerIfAvailFlag(), c.catalog) << what;
        EXPECT_EQ(dir->getIndexUseAlternateIndexServerIfAvailFlag(), c.alternate) << what;
        EXPECT_EQ(dir->getIsAlternateIndexServerFlag(), c.isAlternate) << what;
    }
}

TEST_F(PreInitTest, TaskOptionSettersWinOverTheKey) {
    auto loaded = make(kTs);
    KeyStore::set("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", "3");
    EXPECT_TRUE(loaded->getIndexCheckpointFlag()) << "read at first use, not at construction";

    KeyStore::remove("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS");
    auto set = make(kTs);
    set->setIndexCheckpointFlag(false);
    KeyStore::set("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", "3");
    EXPECT_FALSE(set->getIndexUseTranLogFlag()) << "a setter ends the pending load";

    platform::TestSink sink;
    set->setIndexUseTranLogFlag(false);
    EXPECT_TRUE(sink.lines().empty());
    set->setIndexUseTranLogFlag(true);
    set->setIndexUseTranLogFlag(false);
    EXPECT_TRUE(set->getIndexUseTranLogFlag());
    EXPECT_TRUE(loggedLine(sink, "WARNING: attempt to re-set UseTranLog flag was ignored", 1));
}

TEST_F(PreInitTest, ARemoteCacheAlwaysUsesTheCatalogServer) {
    const std::string local = home.sub("local", true);
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    CacheDirProbe dir(kTs);
    dir.setUseIntermediateCache(true);
    dir.initialize("client1");
    ASSERT_EQ(dir.getRemoteCacheFs(), idx);
    dir.setIndexUseCatalogServerIfAvailFlag(false);
    EXPECT_TRUE(dir.getIndexUseCatalogServerIfAvailFlag());
}

TEST_F(PreInitTest, RealApplicationTypeIsLookedUpUntilKnown) {
    auto dir = make(kTs);
    EXPECT_EQ(dir->getRealAppType(), 0u) << "unknown to the platform";
    KeyStore::set(kAppsSection, "2:17.type", "not a number");
    EXPECT_EQ(dir->getRealAppType(), 0u);
    KeyStore::set(kAppsSection, "2:17.type", "106");
    EXPECT_EQ(dir->getRealAppType(), 106u) << "a failed look-up is tried again";
    KeyStore::set(kAppsSection, "2:17.type", "54");
    EXPECT_EQ(dir->getRealAppType(), 106u) << "a known type is kept";
    dir->setRealAppType(14);
    EXPECT_EQ(dir->getRealAppType(), 14u);
}

TEST_F(PreInitTest, JobIdsAndTheIndexingTokenFlag) {
    auto withJob = make(kTs, 1, 42);
    EXPECT_EQ(withJob->getJobId(), 42);
    EXPECT_EQ(withJob->TDebuggable::getJobId(), 42) << "the log is tagged with the job";
    auto noJob = make(kTs);
    EXPECT_EQ(noJob->getJobId(), 0);
    noJob->setJobId(77);
    EXPECT_EQ(noJob->getJobId(), 77) << "falls back to the log's job id";

    EXPECT_FALSE(noJob->getShouldIndexingTokenIncrement());
    noJob->setShouldIndexingTokenIncrement(true);
    EXPECT_TRUE(noJob->getShouldIndexingTokenIncrement());
    EXPECT_FALSE(noJob->getShouldIndexingTokenIncrement()) << "answering clears it";
}

struct CountedCacheFs : TestCacheFs {
    static int destroyed;
    ~CountedCacheFs() override { ++destroyed; }
};
int CountedCacheFs::destroyed = 0;

TEST_F(PreInitTest, TheDestructorDeletesTheOtherCacheObject) {
    CountedCacheFs::destroyed = 0;
    {
        auto dir = make(kTs);
        dir->setOtherCachePtr(new CountedCacheFs);
    }
    EXPECT_EQ(CountedCacheFs::destroyed, 1);
    { auto dir = make(kTs); }
    EXPECT_EQ(CountedCacheFs::destroyed, 1);
}

TEST_F(PreInitTest, PostInitBuildsThePathOnlyForARequestedTimeStamp) {
    auto none = make(0);
    EXPECT_TRUE(none->isInitialized());
    EXPECT_EQ(none->getCacheDir(), nullptr);
    EXPECT_EQ(none->getTimeStamp(), 0u);

    auto given = make(kTs);
    EXPECT_STREQ(given->getCacheDir(), dirPath(kTs).c_str());
    EXPECT_EQ(given->getTimeStamp(), kTs);
    EXPECT_EQ(given->getRequestedTimeStamp(), kTs);
    given->initialize("client1");
    EXPECT_STREQ(given->getCacheDir(), dirPath(kTs).c_str()) << "a second initialize does nothing";

    CacheDirProbe never(kTs);
    platform::TestSink sink;
    EXPECT_EQ(never._postInit(), -1);
    EXPECT_TRUE(loggedLine(sink, "ERROR: _postInit() exception: no cache fs: errno=0", 1));
}

TEST_F(PreInitTest, APathLongerThanThePathArrayIsRefused) {
    std::string deep = idx;
    for (int i = 0; i < 5; ++i)
        deep += "/" + std::string(220, 'a' + i);
    std::filesystem::create_directories(deep + "/OX_Index");
    KeyStore::set(platform::kPlatformSection, "IndexCacheDir", deep);
    platform::TestSink sink;
    auto dir = make(kTs);
    ASSERT_TRUE(dir->isInitialized());
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_EQ(dir->getErrno(), ENAMETOOLONG);
    EXPECT_TRUE(loggedLine(
        sink, "ERROR: _postInit() exception: path too long: errno=" + std::to_string(ENAMETOOLONG),
        1));
}

} // namespace
