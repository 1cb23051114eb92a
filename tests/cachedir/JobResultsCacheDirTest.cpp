// The job-results cache directory: searches by time stamp and integrity checks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

namespace {

struct JobResultsCacheDirTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string jr = home.sub("jr", true);
    std::string root = idx + "/OX_Index";
    std::string appDir = root + "/2/17";

    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "JobResultsDir", jr);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
    }

    // A directory object of realm 2, application 17, initialised.
    std::unique_ptr<JobResultsCacheDir> make(unsigned long timeStamp, OXAppType appType = 1,
                                             long long jobId = 0) {
        auto dir = std::make_unique<JobResultsCacheDir>(appType, 2, 17, jobId, BackupTypeFull,
                                                        timeStamp, TCacheTypeTape, false);
        dir->initialize("client1");
        return dir;
    }

    void makeEntries(const std::vector<std::string>& names) const {
        recursiveMkdir(appDir.c_str(), 0777);
        for (const std::string& n : names)
            ::mkdir((appDir + "/" + n).c_str(), 0777);
    }
};

TEST_F(JobResultsCacheDirTest, SearchesByTimeStampInBothDirections) {
    makeEntries({"100", "200", "300", "abc", "12x"});
    testsupport::writeFile(appDir + "/150abc", "not a time stamp");
    auto dir = make(0);
    ASSERT_TRUE(dir->isInitialized());

    struct Case {
        unsigned long limit;
        bool backward;
        int rc;
        unsigned long found;
    };
    const Case cases[] = {
        {250, true, 0, 200}, {300, true, 0, 300},  {0xFFFFFFFFul, true, 0, 300},
        {99, true, -1, 0},   {150, false, 0, 200}, {100, false, 0, 100},
        {0, false, 0, 100},  {301, false, -1, 0},
    };
    for (const Case& c : cases) {
        unsigned long found = 4242;
        EXPECT_EQ(dir->searchDirectoryByTime(c.limit, &found, c.backward), c.rc)
            << c.limit << (c.backward ? " backward" : " forward");
        EXPECT_EQ(found, c.rc == 0 ? c.found : 4242ul) << "found is written only on success";
    }

    // The concrete search, also reached through the base class.
    IndexCacheDirBase* base = dir.get();
    EXPECT_EQ(dir->backSearch(250, false), 200ul);
    EXPECT_EQ(base->backSearch(0, true), 300ul) << "a limit of 0 means no limit";
    EXPECT_EQ(base->backSearch(50, false), 0ul);
    EXPECT_EQ(base->backSearch(), 300ul) << "the newest time stamp of the application";
}

TEST_F(JobResultsCacheDirTest, IntegrityChecks) {
    auto dir = make(1000);
    // Checks 0, 10 and the enabled bits (2, 4, 7 of 148) pass without looking;
    // the others need the directory.
    const int always[] = {0, 10, 2, 4, 7};
    const int looking[] = {1, 3, 5, 6, 9, 31, 32, 40, -1};
    for (int check : always)
        EXPECT_TRUE(dir->checkIntegrity(static_cast<Enum_IC_IntegrityCheck>(check))) << check;
    for (int check : looking)
        EXPECT_FALSE(dir->checkIntegrity(static_cast<Enum_IC_IntegrityCheck>(check)))
            << check << ": the directory does not exist";
    makeEntries({"1000"});
    for (int check : looking)
        EXPECT_TRUE(dir->checkIntegrity(static_cast<Enum_IC_IntegrityCheck>(check))) << check;

    IndexCacheDirBase::setIntegrityCheckFlags(1u << 3);
    EXPECT_TRUE(dir->checkIntegrity(IC_Check3));
    ::rmdir((appDir + "/1000").c_str());
    EXPECT_TRUE(dir->checkIntegrity(IC_Check3)) << "an enabled bit passes without looking";
    EXPECT_FALSE(dir->checkIntegrity(IC_Check2));
    IndexCacheDirBase::setIntegrityCheckFlags(148);
}

} // namespace
