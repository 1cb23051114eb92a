// Clean-up of a cache root by age and by low space: what goes, what stays,
// what is answered and which events are raised.
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

using cleanup::Args;
using cleanup::eventArgs;
using cleanup::kDay;
using cleanup::kMB;
using cleanup::kNow;
using cleanup::layCacheDir;
using testsupport::exists;

namespace {

struct CleanUpTest : cleanup::Fixture {
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
    // A volume of capacity bytes over root, a part of it filled by a file of
    // the root that is no cache directory.
    std::unique_ptr<platform::SimulatedVolume>
    volume(const std::string& r, unsigned long long capacity, unsigned long long ballast) {
        recursiveMkdir(r.c_str(), 0777);
        auto v = std::make_unique<platform::SimulatedVolume>(r, capacity);
        testsupport::writeFile(r + "/ballast", "");
        EXPECT_EQ(::truncate((r + "/ballast").c_str(), static_cast<off_t>(ballast)), 0);
        return v;
    }
};

TEST_F(CleanUpTest, RoutineCleanUpRemovesByAgeDaysOrCutOff) {
    // Access times; the last lives in another realm under a two-number name.
    const long long atimes[] = {kNow - 10 * kDay, kNow - 4 * kDay, kNow - 2 * kDay,
                                kNow - kDay / 2,  kNow - 3600,     kNow - 5 * kDay};
    struct Case {
        unsigned int days;
        long long cutoff; // absolute cut-off time, 0 for none
        std::vector<bool> removed;
    } cases[] = {
        {3, 0, {true, true, false, false, false, true}},
        {0, 0, {true, true, true, false, false, true}}, // no days: cut-off now
        {0, kNow - 5 * kDay + 1, {true, false, false, false, false, true}},
    };
    for (const Case& c : cases) {
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
            if (!c.removed[i]) { // the State file of a survivor is not touched
                EXPECT_EQ(testsupport::readFile(paths[i] + "/State"),
                          "0\n" + std::to_string(atimes[i]) + "    \n");
            }
        }
        EXPECT_TRUE(sink.events().empty());
        std::filesystem::remove_all(jrRoot);
    }
}

TEST_F(CleanUpTest, RoutineCleanUpAnswersByTheFreeShareWithItsEvents) {
    // A 4 MB volume half filled by ballast; every cache directory holds 64 KB.
    struct Case {
        unsigned int minFreePercent;
        bool recentLeft;
        const char* specificApp;
        int answer;
    } cases[] = {{10, true, nullptr, 1},
                 {60, false, nullptr, 0},
                 {60, true, nullptr, 0},
                 {60, true, "17", 0}};
    for (const Case& c : cases) {
        platform::VirtualClock clock(kNow);
        auto v = volume(jrRoot, 4 * kMB, 2 * kMB);
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
        EXPECT_FALSE(exists(old));
        // A job-results root announces even a routine clean-up.
        EXPECT_EQ(eventArgs(sink, 0x0E000046), (Args{{jrRoot}}));
        if (c.recentLeft) {
            // Recent directories go only for a named application; never those of the last day.
            EXPECT_EQ(exists(recent), c.specificApp == nullptr);
            EXPECT_TRUE(exists(fresh));
        }
        const bool lowSpace = c.answer == 0 && c.recentLeft;
        EXPECT_EQ(eventArgs(sink, 0x0E000049), lowSpace ? (Args{{jrRoot, "40"}}) : Args{});
        EXPECT_EQ(eventArgs(sink, 0x0E00004B), c.specificApp ? (Args{{jrRoot}}) : Args{});
        std::filesystem::remove_all(jrRoot);
    }
}

TEST_F(CleanUpTest, SpaceWantedRemovesOldestAccessFirst) {
    // Four old directories of 1 MB and 512 KB ballast on 6 MB: 383 blocks free,
    // 256 more after each removal; 200 blocks asked plus the pad of 244.
    for (auto [minFreePercent, removed] :
         std::vector<std::pair<unsigned int, int>>{{0, 1}, {50, 2}, {95, 4}}) {
        platform::VirtualClock clock(kNow);
        auto v = volume(root, 6 * kMB, kMB / 2);
        std::vector<std::string> paths; // oldest access first
        for (int i = 0; i < 4; ++i)
            paths.push_back(
                layCacheDir(root, 2, "17", kNow - 10 * kDay - i, kNow - (9 - i) * kDay, kMB));
        auto fs = makeFs();
        ASSERT_EQ(fs->setDiskFree(minFreePercent), 0);
        platform::TestSink sink;
        EXPECT_EQ(fs->cleanUp(200, false, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(exists(paths[i]), i >= removed) << minFreePercent << " " << i;
        EXPECT_TRUE(sink.events().empty());
        std::filesystem::remove_all(root);
    }
}

TEST_F(CleanUpTest, EmergencyCleanUpKeepsRecentDirectoriesAndRaisesAtMostTwelveEvents) {
    platform::VirtualClock clock(kNow);
    platform::SimulatedVolume volume(idx, 2 * kMB);
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i)
        paths.push_back(layCacheDir(root, 2, std::to_string(17 + i), kNow - 5 * kDay,
                                    kNow - (i + 1) * kDay, 512 * 1024));
    auto fs = makeFs();
    fs->setNumDays(15);
    for (int round = 1; round <= 13; ++round) {
        platform::TestSink sink;
        EXPECT_EQ(fs->emergencyCleanup(1000, 0, nullptr, 0), 0u);
        const Args expected = round <= 12 ? Args{{"1000", root}} : Args{};
        EXPECT_EQ(eventArgs(sink, 0x0E000045), expected) << round;
        EXPECT_EQ(eventArgs(sink, 0x0E000048), expected) << round;
    }
    for (const std::string& p : paths)
        EXPECT_TRUE(exists(p)) << p;
}

TEST_F(CleanUpTest, ScanVisitsOnlyWhatIsAsked) {
    platform::VirtualClock clock(kNow);
    const std::string a = layCacheDir(root, 2, "17", 100, kNow - 50);
    const std::string b = layCacheDir(root, 2, "17", 200, kNow - 60);
    const std::string c = layCacheDir(root, 4, "17", 300, kNow - 70);
    const std::string d = layCacheDir(root, 4, "18", 400, kNow - 80);
    const std::string e = layCacheDir(root, 5, "scp_1_2", 500, kNow - 90);
    // Entries that are no cache directories, or cannot be opened.
    recursiveMkdir((root + "/2/abc").c_str(), 0777);
    recursiveMkdir((root + "/2/17/tmp").c_str(), 0777);
    recursiveMkdir((root + "/2/17/12x").c_str(), 0777);
    recursiveMkdir((root + "/notarealm").c_str(), 0777);
    testsupport::writeFile(root + "/3", "a file with a realm's name");
    testsupport::writeFile(root + "/2/18", "a file with an application's name");
    auto fs = makeFs();
    struct Case {
        unsigned long realm;
        const char* app;
        bool useAccessTime;
        std::vector<std::string> paths; // newest first
    } cases[] = {
        {0, nullptr, false, {e, d, c, b, a}}, {0, nullptr, true, {a, b, c, d, e}},
        {2, nullptr, false, {b, a}},          {0, "17", false, {c, b, a}},
        {5, "scp_1_2", false, {e}},           {6, nullptr, false, {}},
    };
    for (const Case& k : cases) {
        CacheDirArray array(2048);
        ASSERT_EQ(fs->scanForCleanUp(array, k.useAccessTime, k.realm, k.app, false), 0);
        std::vector<std::string> got;
        for (int i = 0; i < array.getSize(); ++i)
            got.push_back(array[i]->getCacheDirSafe());
        EXPECT_EQ(got, k.paths) << k.realm << "/" << (k.app ? k.app : "*");
    }
}

} // namespace
