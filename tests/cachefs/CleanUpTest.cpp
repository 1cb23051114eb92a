#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"

using cleanup::countContaining;
using cleanup::dirOf;
using cleanup::eventArgs;
using cleanup::hasExactLine;
using cleanup::kDay;
using cleanup::kNow;
using cleanup::layCacheDir;
using testsupport::exists;
using Args = std::vector<std::vector<std::string>>;

namespace {

constexpr unsigned long long kMB = 1024 * 1024;
constexpr unsigned long kNoLimit = 0;

struct CleanUpTest : cleanup::Fixture {
    // The job-results or index cache filesystem, initialised.
    std::unique_ptr<JobResultsCacheFs> makeFs(bool jobResults = false) {
        auto fs = std::make_unique<JobResultsCacheFs>(jobResults ? kJobResultsAppType : 1,
                                                      TCacheTypeTape, false);
        fs->initialize("client1");
        EXPECT_TRUE(fs->isInitialized());
        return fs;
    }
    // Routine form: 0 blocks, every old directory, access times.
    static int routine(JobResultsCacheFs& fs, unsigned long dontRemoveTime, bool logEvents = false,
                       const char* specificApp = nullptr) {
        return fs.cleanUp(0, true, logEvents, true, 0, specificApp, dontRemoveTime, 0, nullptr, 0);
    }
    static void wipe(const std::string& path) { std::filesystem::remove_all(path); }
};

TEST_F(CleanUpTest, SettingsAndSmallOperations) {
    platform::VirtualClock clock(kNow + 5);
    auto fs = makeFs();
    EXPECT_EQ(fs->getCurrentTime(), kNow + 5) << "the local clock";
    EXPECT_EQ(fs->removeDefunctApps(), 0);

    fs->setNumDays(15);
    EXPECT_EQ(fs->getNumDays(), 15u);
    EXPECT_EQ(fs->getCutoffTime(), 0ull);
    fs->setCutoffTime(kNow - 100);
    EXPECT_EQ(fs->getNumDays(), 0u) << "a cut-off time clears the days";
    EXPECT_EQ(fs->getCutoffTime(), static_cast<unsigned long long>(kNow - 100));
    fs->setNumDays(3);
    EXPECT_EQ(fs->getCutoffTime(), 0ull) << "days clear the cut-off time";

    EXPECT_TRUE(indexCacheImpersonation("client1"));
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", home.sub("missing"));
    EXPECT_FALSE(indexCacheImpersonation("client1"));
}

TEST_F(CleanUpTest, ConstructionClearsMultiJobAndLeavesTheThreadModeToTheHost) {
    for (bool threaded : {false, true}) {
        EXPECT_EQ(testsupport::runInChild([&] {
                      CacheFsBase::setMultiJob(true);
                      CacheFsBase::setMultiThreaded(threaded);
                      JobResultsCacheFs fs(1, TCacheTypeTape, false);
                      CHILD_CHECK(!CacheFsBase::isMultiJob());
                      CHILD_CHECK(CacheFsBase::isMultiThreaded() == threaded);
                      CHILD_CHECK(!fs.getReservationFailureReportedToJM());
                      JobResultsCacheFs results(kJobResultsAppType, TCacheTypeTape, false);
                      CHILD_CHECK(CacheFsBase::isMultiThreaded() == threaded);
                      return 0;
                  }),
                  0)
            << threaded;
    }
}

TEST_F(CleanUpTest, CleanupLoggingGetsItsOwnEventLog) {
    platform::TestSink sink;
    auto fs = makeFs();
    fs->setJobId(77);
    ASSERT_EQ(fs->getEvent(), nullptr);
    EXPECT_TRUE(fs->setupCleanupLogging(true));
    EvEvent* event = fs->getEvent();
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(event->getReady());
    EXPECT_EQ(event->getModuleId(), 1679234300u);
    EXPECT_EQ(event->getJobId(), 77) << "the log's job id when the object has none";
    EXPECT_EQ(event->getProgramName(), "");
    EXPECT_TRUE(fs->getLogTwoPlaces());
    // Already logging to an event log: nothing changes.
    EXPECT_TRUE(fs->setupCleanupLogging(false));
    EXPECT_EQ(fs->getEvent(), event);
    EXPECT_TRUE(fs->getLogTwoPlaces());

    // A directory's own job id wins.
    JobResultsCacheDir dir(1, 2, 17, 55, BackupTypeFull, 1000, TCacheTypeTape, false);
    dir.initialize("client1");
    EXPECT_TRUE(dir.setupCleanupLogging(false));
    ASSERT_NE(dir.getEvent(), nullptr);
    EXPECT_EQ(dir.getEvent()->getJobId(), 55);
    EXPECT_FALSE(dir.getLogTwoPlaces());

    // A caller's own event log is kept.
    EvEvent mine;
    JobResultsCacheFs other(1, TCacheTypeTape, false);
    other.setEvent(&mine);
    EXPECT_TRUE(other.setupCleanupLogging(true));
    EXPECT_EQ(other.getEvent(), &mine);
}

// Job-results root: 0 blocks, every old directory, no events, access times,
// nothing accessed within the last day removed.
TEST_F(CleanUpTest, RoutineJobResultsCleanUp) {
    struct Case {
        const char* name;
        unsigned int days;
        long long cutoff; // absolute cut-off time, 0 for none
        std::vector<bool> removed;
    };
    // Access times of the directories, oldest last; F lives in another realm
    // under a two-number application name.
    const long long atimes[] = {kNow - 10 * kDay, kNow - 4 * kDay, kNow - 2 * kDay,
                                kNow - kDay / 2,  kNow - 3600,     kNow - 5 * kDay};
    const Case cases[] = {
        {"three days", 3, 0, {true, true, false, false, false, true}},
        {"no days: cut-off now", 0, 0, {true, true, true, false, false, true}},
        {"cut-off time", 0, kNow - 5 * kDay + 1, {true, false, false, false, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock(kNow);
        std::vector<std::string> paths;
        for (int i = 0; i < 5; ++i)
            paths.push_back(layCacheDir(jrRoot, 2, "17", kNow - 20 * kDay + i, atimes[i]));
        paths.push_back(layCacheDir(jrRoot, 3, "scp_1_2", kNow - 20 * kDay, atimes[5]));
        auto fs = makeFs(true);
        if (c.cutoff)
            fs->setCutoffTime(static_cast<unsigned long long>(c.cutoff));
        else
            fs->setNumDays(c.days);
        platform::TestSink sink;
        EXPECT_EQ(routine(*fs, kNow - kDay), 1);
        for (size_t i = 0; i < paths.size(); ++i) {
            EXPECT_EQ(exists(paths[i]), !c.removed[i]) << paths[i];
            if (c.removed[i])
                EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: AgeBasedRemoval '" + paths[i] + "' ["));
            else
                EXPECT_EQ(testsupport::readFile(paths[i] + "/State"),
                          "0\n" + std::to_string(atimes[i]) + "    \n");
        }
        EXPECT_TRUE(hasExactLine(sink,
                                 "JobResultsCacheFs: cleanUp: Done cleaning because we have "
                                 "enough free blocks and we don't care about disk free %",
                                 1));
        EXPECT_TRUE(sink.events().empty());
        wipe(jrRoot);
    }
}

TEST_F(CleanUpTest, RoutineCleanUpAnswersByTheFreeShare) {
    // A 4 MB volume half filled by a file of the root that is no cache
    // directory; every cache directory holds 64 KB.
    struct Case {
        const char* name;
        unsigned int minFreePercent;
        bool recentLeft;
        const char* specificApp;
        int answer;
        const char* doneLine;
    };
    const Case cases[] = {
        {"share reached", 10, true, nullptr, 1,
         "cleanUp: Done cleaning because we have enough free blocks and disk free %"},
        {"share missed, nothing recent", 60, false, nullptr, 0,
         "cleanUp: there are no recent cache dirs to remove - skipping second cleanup pass"},
        {"share missed, recent kept", 60, true, nullptr, 0,
         "cleanUp: Done because there is nothing left to delete and we still do not have enough "
         "free blocks"},
        {"share missed, recent of the application removed", 60, true, "17", 0,
         "cleanUp: Done because there is nothing left to delete and we still do not have enough "
         "free blocks"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock(kNow);
        recursiveMkdir(jrRoot.c_str(), 0777);
        platform::SimulatedVolume volume(jrBase, 4 * kMB);
        testsupport::writeFile(jrRoot + "/ballast", "");
        ASSERT_EQ(::truncate((jrRoot + "/ballast").c_str(), 2 * kMB), 0);
        const std::string old =
            layCacheDir(jrRoot, 2, "17", kNow - 9 * kDay, kNow - 8 * kDay, 65536);
        std::string recent, fresh;
        if (c.recentLeft) {
            recent = layCacheDir(jrRoot, 2, "17", kNow - 9 * kDay + 1, kNow - 2 * kDay, 65536);
            fresh = layCacheDir(jrRoot, 2, "17", kNow - 9 * kDay + 2, kNow - 3600, 65536);
        }
        auto fs = makeFs(true);
        fs->setNumDays(3);
        ASSERT_EQ(fs->setDiskFree(c.minFreePercent), 0);
        platform::TestSink sink;
        EXPECT_EQ(routine(*fs, kNow - kDay, true, c.specificApp), c.answer);
        EXPECT_TRUE(hasExactLine(sink, std::string("JobResultsCacheFs: ") + c.doneLine, 1));
        EXPECT_FALSE(exists(old));
        // A job-results root announces even a routine clean-up.
        EXPECT_EQ(eventArgs(sink, 0x0E000046), (Args{{jrRoot}}));
        if (c.recentLeft) {
            EXPECT_EQ(exists(recent), c.specificApp == nullptr);
            EXPECT_TRUE(exists(fresh)) << "accessed within the last day";
        }
        const bool lowSpace = c.answer == 0 && c.recentLeft;
        EXPECT_EQ(sink.hasLine("JobResultsCacheFs: low space in cacheFs " + jrRoot), lowSpace);
        EXPECT_EQ(eventArgs(sink, 0x0E000049), lowSpace ? (Args{{jrRoot, "40"}}) : Args{});
        EXPECT_EQ(hasExactLine(sink,
                               "JobResultsCacheFs: to prevent thrashing, recent cache dirs "
                               "are no longer removed",
                               1),
                  lowSpace && !c.specificApp);
        if (c.specificApp) {
            EXPECT_TRUE(hasExactLine(sink,
                                     "JobResultsCacheFs: recent dirs in cacheFs " + jrRoot +
                                         " (numDays=3, absCutoff=0, remove all old directories) "
                                         "are eligible for removal",
                                     3));
            EXPECT_EQ(eventArgs(sink, 0x0E00004B), (Args{{jrRoot}}));
            EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: LowSpaceRemoval '" + recent + "' ["));
        } else {
            EXPECT_EQ(sink.countEvents(0x0E00004B), 0);
        }
        wipe(jrRoot);
    }
}

TEST_F(CleanUpTest, EmergencyCleanUpNeverTouchesRecentDirectoriesOfAllApplications) {
    platform::VirtualClock clock(kNow);
    platform::SimulatedVolume volume(idx, 2 * kMB);
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i)
        paths.push_back(layCacheDir(root, 2, std::to_string(17 + i), kNow - 5 * kDay,
                                    kNow - (i + 1) * kDay, 512 * 1024));
    auto fs = makeFs();
    fs->setNumDays(15);
    ASSERT_EQ(fs->getPadBlocks(), 244u);
    for (int round = 1; round <= 13; ++round) {
        platform::TestSink sink;
        EXPECT_EQ(fs->emergencyCleanup(1000, 0, nullptr, 0), 0u);
        for (const std::string& p : paths)
            EXPECT_TRUE(exists(p)) << p;
        EXPECT_TRUE(
            hasExactLine(sink,
                         "JobResultsCacheFs: to prevent thrashing, recent cache dirs are no "
                         "longer removed",
                         1));
        EXPECT_TRUE(hasExactLine(sink, "JobResultsCacheFs: low space in cacheFs " + root, 1));
        EXPECT_TRUE(sink.hasLine("JobResultsCacheFs:     numBlocks=1000, minFreePercent=0, "
                                 "freeBlocks=127, totBlocks=512, pad=244"));
        EXPECT_TRUE(hasExactLine(sink,
                                 "JobResultsCacheFs: cleanUp: Done because there is nothing left "
                                 "to delete and we still do not have enough free blocks",
                                 1));
        EXPECT_FALSE(sink.hasLine("JobResultsCacheFs: cleanUp " + root))
            << "no summary without a removal";
        // Each kind of event at most 12 times per object.
        const bool raised = round <= 12;
        EXPECT_EQ(eventArgs(sink, 0x0E000045), raised ? (Args{{"1000", root}}) : Args{}) << round;
        EXPECT_EQ(eventArgs(sink, 0x0E000048), raised ? (Args{{"1000", root}}) : Args{}) << round;
    }
    // Low space and failures share one counter: a failed scan now raises
    // nothing either, though it is still logged.
    wipe(root);
    platform::TestSink sink;
    EXPECT_EQ(fs->emergencyCleanup(1000, 0, nullptr, 0), 0u);
    EXPECT_TRUE(sink.hasLine("JobResultsCacheFs: bad scan for cleanUp " + root));
    EXPECT_EQ(sink.countEvents(0x0E000047), 0);
}

TEST_F(CleanUpTest, SummaryIsLoggedOnceJustBeforeTheFirstRemoval) {
    platform::VirtualClock clock(kNow);
    const std::string a = layCacheDir(root, 2, "17", kNow - 50, kNow - 40);
    const std::string b = layCacheDir(root, 2, "17", kNow - 30, kNow - 20);
    const std::string now = layCacheDir(root, 2, "17", kNow - 10, kNow);
    auto fs = makeFs();
    platform::TestSink sink;
    EXPECT_EQ(routine(*fs, kNoLimit), 1);
    EXPECT_FALSE(exists(a));
    EXPECT_FALSE(exists(b));
    EXPECT_TRUE(exists(now)) << "with no days the cut-off is now, and now is not before it";
    EXPECT_EQ(countContaining(sink, "JobResultsCacheFs: cleanUp " + root + "\n"), 1);
    const std::string head = "JobResultsCacheFs: cleanUp " + root +
                             "\n    cl=0, #Bl=0, rmOld=1, logEv=0, useAccTm=1, realm=0, "
                             "appNum=NULL\n    cutoff time " +
                             std::to_string(kNow) + " [";
    EXPECT_TRUE(sink.hasLine(head));
    EXPECT_TRUE(sink.hasLine(", numDays=0, absCutoff=0 [now], remove all old directories)\n    "
                             "numBlocks=0, minFreePercent=0, freeBlocks="));
    // The summary comes before the first removal line.
    const auto lines = sink.lines();
    size_t summaryAt = lines.size(), firstRemovalAt = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (summaryAt == lines.size() && lines[i].text.rfind(head, 0) == 0)
            summaryAt = i;
        if (firstRemovalAt == lines.size() &&
            lines[i].text.find("AgeBasedRemoval") != std::string::npos)
            firstRemovalAt = i;
    }
    EXPECT_LT(summaryAt, firstRemovalAt);
}

TEST_F(CleanUpTest, TheRequestersOwnDirectoryIsNeverRemoved) {
    platform::VirtualClock clock(kNow);
    const std::string mine = layCacheDir(root, 2, "17", 1000, kNow - 9 * kDay);
    const std::string requester = layCacheDir(root, 2, "17", 2000, kNow - 8 * kDay);
    const std::string other = layCacheDir(root, 2, "17", 3000, kNow - 7 * kDay);

    // A directory object cleaning up never scans its own directory.
    JobResultsCacheDir self(1, 2, 17, 0, BackupTypeFull, 1000, TCacheTypeTape, false);
    self.initialize("client1");
    platform::TestSink sink;
    EXPECT_EQ(self.cleanUp(0, true, false, true, 0, nullptr, 0, 2, "17", 2000), 1);
    EXPECT_TRUE(exists(mine));
    EXPECT_FALSE(sink.hasLine(mine));
    // The requester's directory is visited and left.
    EXPECT_TRUE(exists(requester));
    EXPECT_TRUE(
        hasExactLine(sink, "JOBRESCACHEDIR: AgeBasedRemoval '" + requester + "' NOT REMOVED"));
    EXPECT_FALSE(exists(other));

    // Also in the second pass, where the named application stands for the
    // requester's.
    const std::string recent = layCacheDir(root, 2, "17", 4000, kNow - 3600);
    auto fs = makeFs();
    ASSERT_EQ(fs->setDiskFree(99), 0);
    platform::SimulatedVolume volume(idx, kMB);
    testsupport::writeFile(root + "/ballast", std::string(100000, 'x'));
    fs->setNumDays(1);
    sink.clear();
    EXPECT_EQ(fs->cleanUp(0, true, false, true, 0, "17", 0, 2, nullptr, 4000), 0);
    EXPECT_TRUE(hasExactLine(sink, "JOBRESCACHEDIR: LowSpaceRemoval '" + recent + "' NOT REMOVED"));
    EXPECT_TRUE(exists(recent));
}

TEST_F(CleanUpTest, DirectoryWithoutStateFile) {
    struct Case {
        const char* name;
        long long age; // of its time stamp
        unsigned long numBlocks;
        bool deleted;
    };
    const Case cases[] = {
        {"older than a day", kDay + 1, 0, true},
        // The nine one-second retries of the access time pass first.
        {"a day old exactly when looked at", kDay - 9, 0, false},
        {"recent, routine", 3600, 0, false},
        {"recent, space wanted", 3600, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock(kNow);
        const std::string path = layCacheDir(root, 2, "17", kNow - c.age, -1);
        recursiveMkdir((path + "/sub").c_str(), 0777);
        testsupport::writeFile(path + "/sub/f", "x");
        auto fs = makeFs();
        platform::TestSink sink;
        EXPECT_EQ(
            fs->cleanUp(c.numBlocks, c.numBlocks == 0, false, true, 0, nullptr, 0, 0, nullptr, 0),
            1);
        EXPECT_EQ(exists(path), !c.deleted);
        EXPECT_TRUE(hasExactLine(sink,
                                 std::string("JobResultsCacheFs: cleanUp: getAtime failed, ") +
                                     (c.deleted ? "UnCache" : "ignoring") + " cacheDir '" + path +
                                     "', code 2",
                                 1));
        EXPECT_FALSE(sink.hasLine("AgeBasedRemoval")) << "no uncache for it";
        EXPECT_EQ(clock.waits(), std::vector<unsigned long>(9, 1000))
            << "the access time is read with its retries, once";
        wipe(root);
    }

    // Gone between the scan and the removal: both failures are logged.
    platform::VirtualClock clock(kNow);
    const std::string path = layCacheDir(root, 2, "17", kNow - 2 * kDay, -1);
    auto fs = makeFs();
    CacheDirArray array(2048);
    ASSERT_EQ(fs->scanForCleanUp(array, true, 0, nullptr, false), 0);
    wipe(path);
    platform::TestSink sink;
    EXPECT_EQ(fs->cleanUpWithoutScan(array, 0, true, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
    EXPECT_TRUE(
        hasExactLine(sink, "JobResultsCacheFs: cleanUp: cannot open dir " + path + ", code 2", 1));
    EXPECT_TRUE(hasExactLine(
        sink, "JobResultsCacheFs: cleanUp: cannot remove dir " + path + ", code 2", 1));
    EXPECT_EQ(array.getSize(), 0) << "every element visited leaves the array";
}

TEST_F(CleanUpTest, ProtectedKeyIsTheAccessTimeOnlyForJobResults) {
    // Time stamp ten days old, last accessed five days ago; nothing at or
    // after seven days ago may go.
    for (bool jobResults : {false, true}) {
        platform::VirtualClock clock(kNow);
        const std::string r = jobResults ? jrRoot : root;
        const std::string path = layCacheDir(r, 2, "17", kNow - 10 * kDay, kNow - 5 * kDay);
        auto fs = makeFs(jobResults);
        for (bool useAccessTime : {false, true}) {
            EXPECT_EQ(fs->cleanUp(0, true, false, useAccessTime, 0, nullptr, kNow - 7 * kDay, 0,
                                  nullptr, 0),
                      1);
            EXPECT_EQ(exists(path), jobResults)
                << "jobResults=" << jobResults << " useAccessTime=" << useAccessTime;
            layCacheDir(r, 2, "17", kNow - 10 * kDay, kNow - 5 * kDay);
        }
    }
}

TEST_F(CleanUpTest, ScanVisitsOnlyWhatIsAsked) {
    platform::VirtualClock clock(kNow);
    const std::string a = layCacheDir(root, 2, "17", 100, kNow - 50);
    const std::string b = layCacheDir(root, 2, "17", 200, kNow - 60);
    const std::string c = layCacheDir(root, 4, "17", 300, kNow - 70);
    const std::string d = layCacheDir(root, 4, "18", 400, kNow - 80);
    const std::string e = layCacheDir(root, 5, "scp_1_2", 500, kNow - 90);
    // Entries that are not cache directories, or cannot be opened.
    recursiveMkdir((root + "/2/abc").c_str(), 0777);
    recursiveMkdir((root + "/2/17/tmp").c_str(), 0777);
    recursiveMkdir((root + "/notarealm").c_str(), 0777);
    testsupport::writeFile(root + "/3", "a file with a realm's name");
    testsupport::writeFile(root + "/2/18", "a file with an application's name");
    auto fs = makeFs();

    struct Case {
        unsigned long realm;
        const char* app;
        bool useAccessTime;
        std::vector<std::string> paths; // newest first
    };
    const Case cases[] = {
        {0, nullptr, false, {e, d, c, b, a}},
        {0, nullptr, true, {a, b, c, d, e}},
        {2, nullptr, false, {b, a}},
        {0, "17", false, {c, b, a}},
        {2, "17", true, {a, b}},
        {5, "scp_1_2", false, {e}},
        {6, nullptr, false, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.realm) + "/" + (k.app ? k.app : "*"));
        CacheDirArray array(2048);
        platform::TestSink sink;
        ASSERT_EQ(fs->scanForCleanUp(array, k.useAccessTime, k.realm, k.app, false), 0);
        std::vector<std::string> got;
        for (int i = 0; i < array.getSize(); ++i)
            got.push_back(array[i]->getCacheDirSafe());
        EXPECT_EQ(got, k.paths);
        // Opening root/3 or root/2/18 fails and is skipped; a restricted
        // scan never tries them.
        EXPECT_EQ(sink.hasLine("opendir " + root + "/3 failed"), k.realm == 0);
        EXPECT_EQ(sink.hasLine("opendir " + root + "/2/18 failed"),
                  (k.realm == 0 || k.realm == 2) && !k.app);
    }
}

TEST_F(CleanUpTest, ScanAndRemovalFailures) {
    platform::VirtualClock clock(kNow);
    {
        // Not initialised (and the root cannot be found when it retries).
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", home.sub("missing"));
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.initialize("client1");
        CacheDirArray array(2048);
        platform::TestSink sink;
        EXPECT_EQ(fs.scanForCleanUp(array, true, 0, nullptr, false), -1);
        EXPECT_EQ(fs.cleanUpWithoutScan(array, 5, false, true, true, 0, nullptr, 0, 0, nullptr, 0),
                  -1);
        EXPECT_EQ(fs.cleanUp(5, false, true, true, 0, nullptr, 0, 0, nullptr, 0), -1);
        EXPECT_TRUE(hasExactLine(sink,
                                 "JobResultsCacheFs: bad scan for cleanUp NULL cl=0, "
                                 "#Bl=5, rmOld=0, logEv=1, useAccTm=1, realm=0, "
                                 "appNum=NULL",
                                 1));
        EXPECT_EQ(eventArgs(sink, 0x0E000047), (Args{{"5", "NULL"}}));
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
    }

    // The root vanished after initialisation.
    auto fs = makeFs();
    wipe(root);
    for (int round = 1; round <= 13; ++round) {
        platform::TestSink sink;
        EXPECT_EQ(fs->cleanUp(5, false, true, true, 2, "17", 0, 0, nullptr, 0), -1);
        EXPECT_TRUE(hasExactLine(sink, "JobResultsCacheFs: cannot open " + root, 1));
        EXPECT_TRUE(sink.hasLine("JobResultsCacheFs: scanForCleanUp failed: cacheFsDir opendir "
                                 "failed, cacheFs " +
                                 root + ", errno "));
        EXPECT_TRUE(hasExactLine(sink,
                                 "JobResultsCacheFs: bad scan for cleanUp " + root +
                                     " cl=0, #Bl=5, rmOld=0, logEv=1, useAccTm=1, "
                                     "realm=2, appNum=17",
                                 1));
        EXPECT_EQ(eventArgs(sink, 0x0E000047), round <= 12 ? (Args{{"5", root}}) : Args{}) << round;
    }
    fs = makeFs();
    CacheDirArray array(2048);
    wipe(root);
    platform::TestSink sink;
    EXPECT_EQ(fs->cleanUpWithoutScan(array, 5, true, false, true, 0, nullptr, 0, 0, nullptr, 0),
              -1);
    EXPECT_TRUE(sink.hasLine("JobResultsCacheFs: cleanUp(u_long): cacheFsDir opendir failed, "
                             "cacheFs " +
                             root + ", numBlocks 5, removeAllOld true, errno "));
    EXPECT_EQ(eventArgs(sink, 0x0E000047), (Args{{"5", root}}));
}

// A volume whose free space cannot be read.
struct BrokenVolume : platform::Env {
    Env* previous = platform::setEnv(this);
    ~BrokenVolume() override { platform::setEnv(previous); }
    time_t now() override { return previous->now(); }
    void sleepMs(unsigned long ms) override { previous->sleepMs(ms); }
    int statvfs(const char*, struct statvfs64*) override {
        errno = EIO;
        return -1;
    }
};

TEST_F(CleanUpTest, UnreadableFreeSpaceEndsTheCleanUp) {
    platform::VirtualClock clock(kNow);
    const std::string old = layCacheDir(root, 2, "17", 100, kNow - kDay);
    const std::string older = layCacheDir(root, 2, "17", 50, kNow - 2 * kDay);
    auto fs = makeFs();
    CacheDirArray array(2048);
    ASSERT_EQ(fs->scanForCleanUp(array, true, 0, nullptr, false), 0);
    BrokenVolume broken;
    platform::TestSink sink;
    EXPECT_EQ(fs->cleanUpWithoutScan(array, 7, false, true, true, 0, nullptr, 0, 0, nullptr, 0),
              -1);
    EXPECT_FALSE(exists(older)) << "removed before the space was read";
    EXPECT_TRUE(exists(old)) << "the walk ended with the failed reading";
    EXPECT_TRUE(
        hasExactLine(sink, "JobResultsCacheFs: getFreeSpace " + root + " failed (code 5)", 1));
    EXPECT_TRUE(sink.hasLine("JobResultsCacheFs: cleanUp(u_long): getFreeSpace error, cacheFs " +
                             root + ", numBlocks 7, removeAllOld false, errno "));
    EXPECT_EQ(eventArgs(sink, 0x0E000047), (Args{{"7", root}}));
}

TEST_F(CleanUpTest, SecondPassRemovesRecentDirectoriesOfTheApplicationUntilSpaceSuffices) {
    platform::VirtualClock clock(kNow);
    platform::SimulatedVolume volume(idx, 4 * kMB);
    // Oldest access first: c, a, b (oldest time stamp first: b, a, c); another
    // application's directory is older still but not in the scan.
    const std::string a = layCacheDir(root, 2, "17", kNow - 5 * kDay, kNow - 2 * kDay, kMB);
    const std::string b = layCacheDir(root, 2, "17", kNow - 6 * kDay, kNow - kDay, kMB);
    const std::string c = layCacheDir(root, 2, "17", kNow - 4 * kDay, kNow - 3 * kDay, kMB);
    const std::string other = layCacheDir(root, 2, "18", kNow - 9 * kDay, kNow - 9 * kDay, 4096);
    auto fs = makeFs();
    fs->setNumDays(30);
    platform::TestSink sink;
    // 400 blocks and the pad of 244: about 256 free now, 512 after one
    // removal, 768 after two.
    EXPECT_EQ(fs->cleanUp(400, false, true, true, 0, "17", 0, 0, nullptr, 0), 1);
    EXPECT_FALSE(exists(c));
    EXPECT_FALSE(exists(a));
    EXPECT_TRUE(exists(b));
    EXPECT_TRUE(exists(other));
    EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: LowSpaceRemoval '" + c + "' ["));
    EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: LowSpaceRemoval '" + a + "' ["));
    EXPECT_TRUE(hasExactLine(sink,
                             "JobResultsCacheFs: cleanUp: Done cleaning because we now have enough "
                             "free blocks and we don't want to clean recent cacheDirs",
                             1));
    EXPECT_EQ(eventArgs(sink, 0x0E000045), (Args{{"400", root}}));
    EXPECT_EQ(eventArgs(sink, 0x0E00004B), (Args{{root}}));
    EXPECT_EQ(sink.countEvents(0x0E000048), 0);
    EXPECT_EQ(countContaining(sink, "JobResultsCacheFs: cleanUp " + root + "\n"), 1);
}

TEST_F(CleanUpTest, FirstPassStopsOnceSpaceSuffices) {
    struct Case {
        const char* name;
        unsigned int minFreePercent;
        int removed;
        const char* doneLine;
    };
    // Four old directories of 1 MB and 512 KB of other files on a 6 MB
    // volume: 383 blocks free at the start, 256 more after each removal.
    const Case cases[] = {
        {"blocks only", 0, 1,
         "cleanUp: Done cleaning because we have enough free blocks and we don't care about "
         "disk free %"},
        {"blocks and share", 50, 2,
         "cleanUp: Done cleaning because we have enough free blocks and disk free %"},
        {"share never reached", 95, 4,
         "cleanUp: Done cleaning because we already have enough free blocks and we don't want to "
         "clean recent cacheDirs"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        platform::VirtualClock clock(kNow);
        platform::SimulatedVolume volume(idx, 6 * kMB);
        recursiveMkdir(root.c_str(), 0777);
        testsupport::writeFile(root + "/ballast", "");
        ASSERT_EQ(::truncate((root + "/ballast").c_str(), kMB / 2), 0);
        std::vector<std::string> paths; // oldest access first
        for (int i = 0; i < 4; ++i)
            paths.push_back(
                layCacheDir(root, 2, "17", kNow - 10 * kDay - i, kNow - (9 - i) * kDay, kMB));
        auto fs = makeFs();
        ASSERT_EQ(fs->setDiskFree(k.minFreePercent), 0);
        platform::TestSink sink;
        // 200 blocks and the pad of 244: one removal frees enough blocks.
        EXPECT_EQ(fs->cleanUp(200, false, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(exists(paths[i]), i >= k.removed) << i;
        EXPECT_TRUE(hasExactLine(sink, std::string("JobResultsCacheFs: ") + k.doneLine, 1));
        EXPECT_TRUE(sink.events().empty());
        wipe(root);
    }
}

} // namespace
