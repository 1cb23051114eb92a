#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "cachefs/TestCacheFs.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXDirectory.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

namespace {

struct CacheFsBaseTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
    }
};

TEST_F(CacheFsBaseTest, RootAndReserveFilePerCacheTypeAndAppType) {
    struct Case {
        OXAppType app;
        TCacheTypeEnum type;
        bool catalog;
        const char* root;
        const char* reserve;
    };
    const Case cases[] = {
        {5, TCacheTypeTape, false, "/OX_Index", "/OX_Index/reserveFile"},
        {5, TCacheTypeContentSearch, false, "/OX_FcsIndex", "/OX_Index/reserveFile"},
        {5, TCacheTypeSnap, false, "/OX_SnapMetadata", "/OX_Index/reserveFile"},
        {5, TCacheTypePageCache, false, "/OX_PageCache", "/OX_Index/reserveFile"},
        {5, static_cast<TCacheTypeEnum>(9), false, "/OX_Index", "/OX_Index/reserveFile"},
        {5, TCacheTypeContentSearch, true, "/CatalogServer/OX_FcsIndex", "/OX_Index/reserveFile"},
        {1000, TCacheTypeSnap, true, "/OX_Opt1", "/OX_Opt1/reserveFile"},
    };
    for (const Case& c : cases) {
        TestCacheFs fs(c.app, c.type);
        fs.setCatalogServerCache(c.catalog);
        fs.initialize("client1");
        ASSERT_TRUE(fs.isInitialized()) << c.root;
        EXPECT_EQ(std::string(fs.getCacheFs()), idx + c.root);
        EXPECT_EQ(fs.getReserveFilePath(), idx + c.reserve);
        EXPECT_TRUE(testsupport::exists(idx + c.root)) << "the root is made";
        EXPECT_EQ(fs.getInitializationFailureReason(), CacheFsBase::InitSucceeded);
        EXPECT_EQ(fs.getPadBlocks(), 1000000 / fs.getBlockSize());
        EXPECT_EQ(fs.getClientName(), "client1");
    }
}

TEST_F(CacheFsBaseTest, BaseEndingInSeparatorAndTheOldLayoutWarning) {
    KeyStore::set(kPlatformSection, "IndexCacheDir", idx + "/");
    ::mkdir((idx + "/2").c_str(), 0755);
    platform::TestSink sink;
    TestCacheFs fs;
    fs.initialize("client1");
    ASSERT_TRUE(fs.isInitialized());
    EXPECT_EQ(std::string(fs.getCacheFs()), idx + "/OX_Index");
    EXPECT_TRUE(sink.hasLine("CACHEFSBASE: Orbit 6.1-style Index Cache is not supported. Any index "
                             "located in the cache sub-folder [" +
                             idx + "/2] will be treat as 'not present'."));
}

TEST_F(CacheFsBaseTest, JobResultsRootWithAndWithoutRemoteRealmFocus) {
    std::string jr = home.sub("jr", true);
    KeyStore::set(kPlatformSection, "JobResultsDir", jr);
    {
        TestCacheFs fs(kJobResultsAppType, TCacheTypeTape);
        fs.initialize("client1");
        ASSERT_TRUE(fs.isInitialized());
        EXPECT_EQ(std::string(fs.getCacheFs()), jr + "/OX_JobResults");
        EXPECT_EQ(fs.getReserveFilePath(), jr + "/OX_JobResults/reserveFile");
        EXPECT_TRUE(fs.isJobResults());
        EXPECT_EQ(fs.jobPendingMessage(), "cannot access Job Results cache");
        EXPECT_EQ(fs.getNumericJobPendingMessage(), 0x0E000074);
    }
    KeyStore::set(kPlatformSection, "RemoteRealmFocus", "r7");
    TestCacheFs fs(kJobResultsAppType, TCacheTypeTape);
    fs.initialize("client1");
    ASSERT_TRUE(fs.isInitialized());
    EXPECT_EQ(std::string(fs.getCacheFs()), jr + "/OX_JobResults/r7");
    EXPECT_EQ(fs.getReserveFilePath(), jr + "/OX_JobResults/r7/reserveFile");
}

TEST_F(CacheFsBaseTest, LocalIntermediateCache) {
    std::string local = home.sub("local", true);
    // Same as the configured directory: no remote root.
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", idx);
    {
        TestCacheFs fs;
        fs.setUseIntermediateCache(true);
        fs.initialize("client1");
        ASSERT_TRUE(fs.isInitialized());
        EXPECT_EQ(fs.getRemoteCacheFs(), "");
    }
    // Another path: it becomes the base and the configured one the remote root;
    // the remote root need not exist.
    KeyStore::set(kPlatformSection, "IndexCacheDir", home.sub("remote-missing"));
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    {
        TestCacheFs fs;
        fs.setUseIntermediateCache(true);
        fs.initialize("client1");
        ASSERT_TRUE(fs.isInitialized());
        EXPECT_EQ(std::string(fs.getCacheFs()), local + "/OX_Index");
        EXPECT_EQ(fs.getRemoteCacheFs(), home.sub("remote-missing"));
    }
    // Without the flag (and not an index process) or with noLocalCache, or when
    // the client disables it, the local path is not used.
    KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
    for (int variant = 0; variant < 4; ++variant) {
        KeyStore::set("~Machines\\client1", "bLOCALINDEXCACHEDISABLED", variant == 2 ? "1" : "0");
        setCatalogServerEnabledFlag("client1", variant == 3);
        TestCacheFs fs;
        fs.setUseIntermediateCache(variant != 0);
        fs.initialize("client1", variant == 1);
        ASSERT_TRUE(fs.isInitialized());
        EXPECT_EQ(std::string(fs.getCacheFs()), idx + "/OX_Index") << variant;
    }
}

TEST_F(CacheFsBaseTest, NoIndexCacheDirectoryUsesTheProductDirectory) {
    KeyStore::set(kPlatformSection, "IndexCacheDir", "-");
    std::string product = home.sub("prod", true);
    KeyStore::set(kPlatformSection, "ProductDir", product);
    TestCacheFs fs;
    fs.initialize("client1");
    ASSERT_TRUE(fs.isInitialized());
    EXPECT_EQ(std::string(fs.getCacheFs()), product + "/TempIndex/OX_Index");

    KeyStore::set(kPlatformSection, "ProductDir", "-");
    platform::TestSink sink;
    TestCacheFs none;
    none.initialize("client1");
    EXPECT_FALSE(none.isInitialized());
    EXPECT_EQ(none.getInitializationFailureReason(), CacheFsBase::InitNoIndexCacheBase);
    EXPECT_EQ(none.jobPendingMessage(),
              "cannot determine base directory for creating client index");
    EXPECT_EQ(none.getNumericJobPendingMessage(), 0x0E000076);
    EXPECT_TRUE(sink.hasLine("CACHEFSBASE: initialize: no index cache, errno="));
}

TEST_F(CacheFsBaseTest, FailuresKeepTheirReasonAndAreNotRetried) {
    KeyStore::set(kPlatformSection, "IndexCacheDir", home.sub("missing"));
    platform::TestSink sink;
    TestCacheFs fs;
    fs.initialize("client1");
    EXPECT_FALSE(fs.isInitialized());
    EXPECT_EQ(fs.getCacheFs(), nullptr);
    EXPECT_EQ(fs.getAccessError(), ENOENT);
    EXPECT_TRUE(sink.hasLine("CACHEFSBASE: Cannot access index cache directory: '" +
                             home.sub("missing") + "'. Failing..."));
    EXPECT_TRUE(
        sink.hasLine("CACHEFSBASE: initialize: cannot access index cache directory, errno=2"));
    EXPECT_TRUE(sink.hasLine("Failed to initialize with reason 6. Return with failure."));
    EXPECT_FALSE(testsupport::exists(home.sub("missing"))) << "a final failure is not retried";

    // Job results on a machine without the client platform.
    KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
    KeyStore::set(kPlatformSection, "PlatformKinds", "6");
    TestCacheFs jr(kJobResultsAppType, TCacheTypeTape);
    jr.initialize("client1");
    EXPECT_FALSE(jr.isInitialized());
    EXPECT_EQ(jr.getInitializationFailureReason(), CacheFsBase::InitNoJobResultsDir);
    EXPECT_EQ(jr.jobPendingMessage(),
              "cannot determine Job Results cache base. Not a RealmClient platform");
    EXPECT_EQ(jr.getNumericJobPendingMessage(), 0x0E000075);
}

// A volume whose free space cannot be read.
struct BrokenVolume : platform::Env {
    Env* previous = platform::setEnv(this);
    ~BrokenVolume() override { platform::setEnv(previous); }
    int statvfs(const char*, struct statvfs64*) override {
        errno = EIO;
        return -1;
    }
};

TEST_F(CacheFsBaseTest, UnreadableFreeSpaceFailsWithItsPendingMessage) {
    platform::TestSink sink;
    TestCacheFs fs;
    {
        BrokenVolume broken;
        fs.initialize("client1");
    }
    EXPECT_EQ(fs.getInitializationFailureReason(), CacheFsBase::InitNoFreeSpace);
    EXPECT_EQ(fs.jobPendingMessage(), "check if index cache directory " + idx +
                                          "/OX_Index is present and accessible on the Depot");
    EXPECT_EQ(fs.getNumericJobPendingMessage(), 0x0E000077);
    EXPECT_TRUE(sink.hasLine("cache directory '" + idx + "/OX_Index' error 5 in getFreeSpace"));
    EXPECT_FALSE(fs.isInitialized());
}

TEST_F(CacheFsBaseTest, RetryTakesTheFocusClientAndASecondInitializeChangesNothing) {
    platform::TestSink sink;
    TestCacheFs fs;
    EXPECT_TRUE(fs.isInitialized()) << "never initialised: retried with the focus client";
    EXPECT_TRUE(sink.hasLine("Retry initialize because object was not initialized."));
    EXPECT_EQ(fs.getClientName(), "client1");
    std::string root = fs.getCacheFs();
    fs.initialize("other");
    EXPECT_EQ(fs.getClientName(), "client1");
    EXPECT_EQ(std::string(fs.getCacheFs()), root);

    KeyStore::set(kPlatformSection, "FocusClient", "");
    TestCacheFs noFocus;
    EXPECT_FALSE(noFocus.isInitialized());
    EXPECT_TRUE(sink.hasLine("CacheFsBase::isInitialized: Failed to initialize index cache since "
                             "client name is not passed. Failed to obtain the same from focus "
                             "client name."));
}

TEST_F(CacheFsBaseTest, NoClientNameFallsBackToThePhysicalMachine) {
    KeyStore::set(kPlatformSection, "FocusClient", "");
    KeyStore::set(kPlatformSection, "PhysicalMachine", "box7");
    platform::TestSink sink;
    TestCacheFs fs;
    fs.initialize(nullptr);
    EXPECT_TRUE(fs.isInitialized());
    EXPECT_EQ(fs.getClientName(), "box7");
    EXPECT_TRUE(
        sink.hasLine("WARNING: no focus client name - defaulting to physical machine 'box7'"));
}

TEST_F(CacheFsBaseTest, PrintableNames) {
    EXPECT_STREQ(CacheFsBase::getPrintableCacheType(TCacheTypeContentSearch, true, false),
                 "ContentSearch");
    EXPECT_STREQ(CacheFsBase::getPrintableCacheType(TCacheTypeContentSearch, true, true),
                 "ICSContentSearch");
    EXPECT_STREQ(CacheFsBase::getPrintableCacheType(TCacheTypeContentSearch, false, true),
                 "ContentSearch");
    EXPECT_STREQ(CacheFsBase::getPrintableCacheType(static_cast<TCacheTypeEnum>(7), true, true),
                 "ICSTapeDefault");
    EXPECT_STREQ(CacheFsBase::getPrintableCacheType(static_cast<TCacheTypeEnum>(7), false, false),
                 "TapeDefault");
    TestCacheFs fs(5, TCacheTypePageCache);
    fs.setCatalogServerCache(true);
    EXPECT_STREQ(fs.getPrintableCacheType(true), "ICSPageCache");
    EXPECT_STREQ(fs.getPrintableCacheType(false), "PageCache");
}

TEST(CacheFsNamesTest, ApplicationIdNamesAndDecimals) {
    EXPECT_EQ(CacheFsBase::encodeAppIdName(17, 0), "17");
    EXPECT_EQ(CacheFsBase::encodeAppIdName(17, 3), "scp_17_3");
    struct Case {
        const char* name;
        bool ok;
        unsigned long a, b;
    };
    const Case cases[] = {{"17", true, 17, 0},       {"17x", true, 17, 0},    {" 17", true, 17, 0},
                          {"scp_17_3", true, 17, 3}, {"scp_17", false, 0, 0}, {"abc", false, 0, 0},
                          {"", false, 0, 0}};
    for (const Case& c : cases) {
        unsigned long a = 99, b = 99;
        EXPECT_EQ(CacheFsBase::decodeAppIdName(c.name, &a, &b), c.ok) << c.name;
        EXPECT_EQ(a, c.a) << c.name;
        EXPECT_EQ(b, c.b) << c.name;
        EXPECT_EQ(CacheFsBase::isAppIdName(c.name), c.ok) << c.name;
    }
    EXPECT_TRUE(CacheFsBase::decodeAppIdName("scp_1_2", nullptr, nullptr));
    EXPECT_FALSE(CacheFsBase::isAppIdName(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CacheFsBase::isDecimal(""));
    EXPECT_FALSE(CacheFsBase::isDecimal(nullptr));
    EXPECT_TRUE(CacheFsBase::isDecimal("0123"));
    EXPECT_FALSE(CacheFsBase::isDecimal("12a"));
}

TEST_F(CacheFsBaseTest, CatalogServerAndAlternateIndexServerSettings) {
    EXPECT_FALSE(getCatalogServerEnabledFlag("client1"));
    EXPECT_TRUE(setCatalogServerEnabledFlag(std::string("client1"), true));
    EXPECT_TRUE(getCatalogServerEnabledFlag(std::string("client1")));
    KeyStore::set("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", "2");
    EXPECT_FALSE(getCatalogServerEnabledFlag("client1")) << "only 1 means enabled";

    bool has = true, is = true;
    std::string name;
    getAlternateIndexServerDetails("client1", has, is, name);
    EXPECT_FALSE(has);
    EXPECT_FALSE(is);
    KeyStore::set("Depot", "sSECONDARYINDEXSERVERNAME", "ix2");
    KeyStore::set("~Depot", "bISSECONDARYINDEXSERVER", "7");
    is = true;
    getAlternateIndexServerDetails(nullptr, has, is, name);
    EXPECT_TRUE(has);
    EXPECT_EQ(name, "ix2");
    EXPECT_TRUE(is) << "a value other than 0/1 leaves the caller's setting";
    KeyStore::set("~Depot", "bISSECONDARYINDEXSERVER", "1");
    is = false;
    getAlternateIndexServerDetails(nullptr, has, is, name);
    EXPECT_TRUE(is);
}

TEST_F(CacheFsBaseTest, IsItMyIndexCacheAndClientId) {
    TestCacheFs fs;
    fs.initialize("client1");
    fs.setMine(2, "17", 1000);
    EXPECT_TRUE(fs.isItMyIndexCache(2, "17", 1000, false));
    EXPECT_FALSE(fs.isItMyIndexCache(2, "17", 1000, true));
    EXPECT_FALSE(fs.isItMyIndexCache(2, "18", 1000, false));
    EXPECT_FALSE(fs.isItMyIndexCache(3, "17", 1000, false));
    EXPECT_FALSE(fs.isItMyIndexCache(2, "17", 1001, false));
    KeyStore::set("idxcache.clients", "client1", "4242");
    EXPECT_EQ(testsupport::runInChild([&] { return fs.getClientId() == 4242 ? 0 : 1; }), 0);
    TestCacheFs never;
    EXPECT_EQ(never.getClientId(), 0u);
}

TEST(AppScanOptimizerTest, VisitsOnlyTheNamedApplicationOrEveryEntry) {
    testsupport::ScratchHome home;
    std::string dir = home.sub("realm", true);
    home.sub("realm/17", true);
    CXDirectory d;
    ASSERT_EQ(d.open(dir.c_str()), 0);
    AppScanOptimizer only(d, "42");
    EXPECT_STREQ(only.read(), "42");
    EXPECT_EQ(only.read(), nullptr);
    AppScanOptimizer all(d, nullptr);
    int seen = 0;
    while (const char* n = all.read())
        seen += std::string(n) == "17";
    EXPECT_EQ(seen, 1);
}

} // namespace
