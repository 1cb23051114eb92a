#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXLockedMarkerFile.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

using testsupport::hasExactLine;

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
        KeyStore::set(kPlatformSection, "DebugLevel", "3");
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

// The message the call raised, or "" when it returned.
template <typename F> std::string thrown(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

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

TEST_F(JobResultsCacheDirTest, ExtremeTimeStampsAreNeverFoundFromTheirOwnSide) {
    makeEntries({"0", "4294967295"});
    auto dir = make(0);
    unsigned long found = 0;
    EXPECT_EQ(dir->searchDirectoryByTime(0xFFFFFFFFul, &found, true), 0);
    EXPECT_EQ(found, 4294967295ul);
    EXPECT_EQ(dir->searchDirectoryByTime(4294967294ul, &found, true), -1)
        << "a directory named 0 is never found backward";
    EXPECT_EQ(dir->searchDirectoryByTime(0, &found, false), 0);
    EXPECT_EQ(found, 0ul);
    EXPECT_EQ(dir->searchDirectoryByTime(1, &found, false), -1)
        << "a directory named 4294967295 is never found forward";
}

TEST_F(JobResultsCacheDirTest, MissingApplicationDirectoryAndSearchErrors) {
    unsigned long found = 0;
    {
        auto dir = make(0);
        EXPECT_EQ(dir->searchDirectoryByTime(100, &found, true), -2);
        EXPECT_EQ(dir->getErrno(), ENOENT);
        EXPECT_EQ(dir->backSearch(100, false), 0ul);
        EXPECT_EQ(dir->backSearch(), 0ul);
    }
    {
        // Not initialised: every search answers at once.
        JobResultsCacheDir dir(1, 2, 17, 0, BackupTypeFull, 0, TCacheTypeTape, false);
        platform::TestSink sink;
        EXPECT_EQ(dir.searchDirectoryByTime(100, &found, true), -3);
        EXPECT_EQ(dir.backSearch(100, false), 0ul);
        EXPECT_EQ(dir.backSearch(), 0ul);
        EXPECT_TRUE(sink.lines().empty());
    }

    // An application "directory" that is a file: a search error, which the
    // concrete search turns into a raised message.
    for (OXAppType type : {1, 1000}) {
        auto dir = make(0, type);
        ASSERT_TRUE(dir->isInitialized());
        // Each application type has its own root; lay the file under it.
        std::string own = std::string(dir->getCacheFs()) + "/2/17";
        recursiveMkdir((std::string(dir->getCacheFs()) + "/2").c_str(), 0777);
        testsupport::writeFile(own, "x");
        EXPECT_EQ(dir->searchDirectoryByTime(100, &found, true), -3);
        EXPECT_EQ(dir->getErrno(), ENOTDIR);
        EXPECT_EQ(thrown([&] { dir->backSearch(100, false); }), "backSearch: other error");
        EXPECT_EQ(dir->getErrno(), type == 1000 ? ENOTDIR : -2) << type;

        platform::TestSink sink;
        EXPECT_EQ(thrown([&] { dir->backSearch(); }), "backSearch() exception");
        EXPECT_EQ(sink.countEvents(0x0E000036), 1);
        EXPECT_TRUE(
            hasExactLine(sink, "JOBRESCACHEDIR: backSearch(): cache search error: errno=20"));
    }
}

TEST_F(JobResultsCacheDirTest, IndexIsNotInTheCacheWhileAnotherProcessRestoresIntoIt) {
    makeEntries({"1000"});
    const std::string path = appDir + "/1000";
    // Not empty: the restorer's marker folder stays when the marker goes.
    testsupport::writeFile(path + "/State", "0\n1000    \n");
    auto dir = make(1000);
    ASSERT_EQ(std::string(dir->getCacheDir()), path);
    EXPECT_TRUE(dir->isIndexInCache());

    testsupport::ProcessSignal held, release;
    pid_t child = testsupport::forkChild([&] {
        CXLockedMarkerFile marker(path, 0);
        if (marker.openLocked("restore") != 0)
            return 1;
        held.post();
        if (!release.wait())
            return 2;
        return marker.unLockAndRemove() == 0 ? 0 : 3;
    });
    ASSERT_TRUE(held.wait());
    EXPECT_FALSE(dir->isIndexInCache());
    EXPECT_FALSE(dir->checkIntegrity(IC_Check1)) << "not intact while the restore runs";
    EXPECT_TRUE(dir->checkIntegrity(IC_Check0));
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    EXPECT_TRUE(dir->isIndexInCache());
    EXPECT_TRUE(dir->checkIntegrity(IC_Check1));
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

TEST_F(JobResultsCacheDirTest, WhatAJobResultsDirectoryAnswers) {
    auto dir = make(1000);
    const std::string path = appDir + "/1000";
    IndexCacheDirBase* base = dir.get();
    platform::TestSink sink;

    EXPECT_FALSE(base->isComponentBasedIndex());
    EXPECT_TRUE(base->areComponentsInCache("anything"));
    EXPECT_TRUE(hasExactLine(
        sink, "JOBRESCACHEDIR: areComponentsInCache: all components are present in the cache", 3));
    EXPECT_EQ(base->backup(), 0);
    EXPECT_EQ(base->getCacheDirComp("any"), path);
    EXPECT_EQ(base->getCacheDirComp(""), path);

    EXPECT_EQ(thrown([&] { base->restore(false, false); }), "restore exception");
    EXPECT_TRUE(hasExactLine(sink, "JOBRESCACHEDIR: restore() NOT supported"));

    std::vector<std::string> items{"a"};
    EXPECT_TRUE(base->playBackSelectedItems(items));
    EXPECT_TRUE(
        hasExactLine(sink, "JOBRESCACHEDIR: JobResultsTable is not supported on this platform"));

    // Without a path (no time stamp chosen yet) there is nothing to answer with.
    auto unchosen = make(0);
    ASSERT_EQ(unchosen->getCacheDir(), nullptr);
    EXPECT_EQ(unchosen->getCacheDirComp("any"), "");
    EXPECT_FALSE(unchosen->isIndexInCache());
    EXPECT_TRUE(hasExactLine(sink, "JOBRESCACHEDIR: isIndexInCache: no cacheDir"));

    JobResultsCacheDir idle(1, 2, 17, 0, BackupTypeFull, 1000, TCacheTypeTape, false);
    sink.clear();
    EXPECT_FALSE(idle.isIndexInCache()) << "not initialised";
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(JobResultsCacheDirTest, ConstructionAndInitialisation) {
    platform::TestSink sink;
    {
        // A failed pre-initialisation is only logged.
        JobResultsCacheDir bad(5, 2, 17, 0, BackupTypeFull, 1000, TCacheTypeTape, false);
        EXPECT_TRUE(hasExactLine(sink, "JOBRESCACHEDIR: Unexpected AppType 5"));
        EXPECT_TRUE(
            hasExactLine(sink, "JOBRESCACHEDIR: Pre-initialization returned error code -1"));
    }

    auto dir = make(1000, 1, 77);
    EXPECT_EQ(dir->getAppIdName(), "17") << "the plain form of the application number";
    EXPECT_EQ(dir->getAppNumber(), 17u);
    EXPECT_EQ(std::string(dir->getCacheDir()), appDir + "/1000");
    EXPECT_EQ(dir->getTimeStamp(), 1000ul);
    EXPECT_EQ(dir->getJobId(), 77);
    EXPECT_EQ(static_cast<CacheFsBase*>(dir.get())->getJobId(), 77)
        << "the clean-up side of the object answers the same job id";

    // A second initialisation changes nothing.
    KeyStore::set(kPlatformSection, "IndexCacheDir", home.sub("elsewhere", true));
    dir->initialize("client1", false);
    EXPECT_EQ(std::string(dir->getCacheDir()), appDir + "/1000");

    // The three-argument form, and the job-results root whose directory is
    // named even for time stamp 0.
    JobResultsCacheDir results(kJobResultsAppType, 2, 17, 0, BackupTypeFull, 0, TCacheTypeTape,
                               false);
    results.initialize("client1", false, 9);
    ASSERT_TRUE(results.isInitialized());
    EXPECT_EQ(std::string(results.getCacheDir()), jr + "/OX_JobResults/2/17/0");
}

TEST_F(JobResultsCacheDirTest, AnotherApplicationDirectoryName) {
    JobResultsCacheDir dir(1, 2, 17, 0, BackupTypeFull, 1000, TCacheTypeTape, false);
    dir.setAppIdName("scp_5_7");
    EXPECT_EQ(dir.getAppNumber(), 5u);
    EXPECT_EQ(dir.getSecondAppNumber(), 7u);
    dir.setAppIdName("abc");
    EXPECT_EQ(dir.getAppIdName(), "scp_5_7") << "a name that does not decode is ignored";
    dir.initialize("client1");
    EXPECT_EQ(std::string(dir.getCacheDir()), root + "/2/scp_5_7/1000");
}

} // namespace
