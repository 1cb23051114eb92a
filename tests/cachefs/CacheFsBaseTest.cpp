// Locating the cache root of each cache type, and why it can fail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "cachefs/TestCacheFs.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

namespace {

struct CacheFsBaseTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx + "/");
        KeyStore::set(kPlatformSection, "JobResultsDir", home.sub("jr", true));
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
    }
};

TEST_F(CacheFsBaseTest, RootAndReserveFilePerCacheTypeAndAppType) {
    struct Case {
        OXAppType app;
        TCacheTypeEnum type;
        bool catalog;
        std::string root, reserve;
    };
    const std::string jr = home.sub("jr") + "/OX_JobResults";
    const Case cases[] = {
        {5, TCacheTypeTape, false, idx + "/OX_Index", idx + "/OX_Index/reserveFile"},
        {5, TCacheTypeContentSearch, false, idx + "/OX_FcsIndex", idx + "/OX_Index/reserveFile"},
        {5, TCacheTypeSnap, false, idx + "/OX_SnapMetadata", idx + "/OX_Index/reserveFile"},
        {5, TCacheTypePageCache, false, idx + "/OX_PageCache", idx + "/OX_Index/reserveFile"},
        {5, static_cast<TCacheTypeEnum>(9), false, idx + "/OX_Index",
         idx + "/OX_Index/reserveFile"},
        {5, TCacheTypeContentSearch, true, idx + "/CatalogServer/OX_FcsIndex",
         idx + "/OX_Index/reserveFile"},
        {1000, TCacheTypeSnap, true, idx + "/OX_Opt1", idx + "/OX_Opt1/reserveFile"},
        {kJobResultsAppType, TCacheTypeTape, false, jr, jr + "/reserveFile"},
    };
    for (const Case& c : cases) {
        TestCacheFs fs(c.app, c.type);
        fs.setCatalogServerCache(c.catalog);
        fs.initialize("client1");
        ASSERT_TRUE(fs.isInitialized()) << c.root;
        EXPECT_EQ(std::string(fs.getCacheFs()), c.root);
        EXPECT_EQ(fs.getReserveFilePath(), c.reserve);
        EXPECT_TRUE(testsupport::exists(c.root));
        EXPECT_EQ(fs.getPadBlocks(), 1000000 / fs.getBlockSize());
    }
}

TEST_F(CacheFsBaseTest, EveryFailureKeepsItsReasonAndPendingMessage) {
    const std::string missing = home.sub("missing");
    struct Case {
        std::vector<std::pair<std::string, std::string>> keys; // platform section
        OXAppType app;
        CacheFsBase::EInitializationFailureReason reason;
        std::string message;
        int number;
    };
    const std::vector<Case> cases = {
        {{{"IndexCacheDir", "-"}, {"ProductDir", "-"}},
         5,
         CacheFsBase::InitNoIndexCacheBase,
         "cannot determine base directory for creating client index",
         0x0E000076},
        {{{"PlatformKinds", "6"}},
         kJobResultsAppType,
         CacheFsBase::InitNoJobResultsDir,
         "cannot determine Job Results cache base. Not a RealmClient platform",
         0x0E000075},
    };
    for (const Case& c : cases) {
        testsupport::ScratchHome caseHome;
        SetUp();
        for (const auto& [key, value] : c.keys)
            KeyStore::set(kPlatformSection, key, value);
        TestCacheFs fs(c.app, TCacheTypeTape);
        fs.initialize("client1");
        EXPECT_EQ(fs.getInitializationFailureReason(), c.reason);
        EXPECT_EQ(fs.jobPendingMessage(), c.message);
        EXPECT_EQ(fs.getNumericJobPendingMessage(), c.number);
        EXPECT_EQ(fs.getCacheFs(), nullptr);
    }
}

// An index process works in the local intermediate cache without being asked
// to; the process name is process-wide, so each case runs in a child.
TEST_F(CacheFsBaseTest, IndexProcessesUseTheLocalIntermediateCache) {
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", home.sub("local", true));
    for (const char* name : {"archiveIndex", "CreateIndex", "browse"}) {
        EXPECT_EQ(testsupport::runInChild([&] {
                      EvDebug::setApplicationName(name);
                      TestCacheFs fs;
                      fs.initialize("client1");
                      const bool local = fs.getCacheFs() && std::string(fs.getCacheFs()) ==
                                                                home.sub("local") + "/OX_Index";
                      return local == (std::string(name) != "browse") ? 0 : 1;
                  }),
                  0)
            << name;
    }
}

} // namespace
