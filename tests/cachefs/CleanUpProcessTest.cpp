// Clean-up against other processes: directories they hold, clean-ups they
// run at the same time, and reservations that run short of space.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"

using cleanup::kDay;
using cleanup::kMB;
using cleanup::kNow;
using cleanup::layCacheDir;
using testsupport::exists;
using testsupport::forkChild;
using testsupport::ProcessSignal;
using testsupport::readFile;
using testsupport::waitChild;

namespace {

// A process that opens a cache directory of realm 2, application 17 and
// holds its lock until told to let go.
struct Holder {
    ProcessSignal held, release;
    pid_t pid = -1;

    Holder(unsigned long timeStamp, bool write) {
        pid = forkChild([this, timeStamp, write] {
            JobResultsCacheDir dir(1, 2, 17, 0, BackupTypeFull, timeStamp, TCacheTypeTape, false);
            dir.initialize("client1");
            CHILD_CHECK(dir.reopenStateFile() == 0);
            CHILD_CHECK((write ? dir.writeLock(60) : dir.readLock(60)) == 1);
            held.post();
            CHILD_CHECK(release.wait());
            return 0;
        });
        EXPECT_TRUE(held.wait());
    }
    int finish() {
        release.post();
        return waitChild(pid);
    }
};

using CleanUpProcessTest = cleanup::Fixture;

TEST_F(CleanUpProcessTest, DirectoriesHeldByAnotherProcessAreNeverRemoved) {
    platform::VirtualClock clock(kNow);
    const std::string readHeld = layCacheDir(root, 2, "17", 1000, kNow - 9 * kDay);
    const std::string writeHeld = layCacheDir(root, 2, "17", 2000, kNow - 8 * kDay);
    const std::string free1 = layCacheDir(root, 2, "17", 3000, kNow - 7 * kDay);
    Holder reader(1000, false);
    Holder writer(2000, true);
    JobResultsCacheFs fs(1, TCacheTypeTape, false);
    fs.initialize("client1");
    EXPECT_EQ(fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
    EXPECT_FALSE(exists(free1));
    EXPECT_EQ(readFile(readHeld + "/State"), "0\n" + std::to_string(kNow - 9 * kDay) + "    \n");
    EXPECT_TRUE(exists(writeHeld + "/data"));
    EXPECT_TRUE(clock.waits().empty()); // nobody waits for a held directory
    EXPECT_EQ(reader.finish(), 0);
    EXPECT_EQ(writer.finish(), 0);
    EXPECT_EQ(fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
    EXPECT_FALSE(exists(readHeld));
    EXPECT_FALSE(exists(writeHeld));
}

// Two processes clean the same root at the same moment. In the first form
// both have scanned before either removes anything, so each meets every
// directory; in the second each runs a whole clean-up from the same start.
TEST_F(CleanUpProcessTest, TwoCleanUpsAtOnceShareTheWork) {
    for (bool scanFirst : {true, false}) {
        std::vector<std::string> old, recent;
        for (int i = 0; i < 40; ++i)
            old.push_back(
                layCacheDir(root, 2, i % 2 ? "17" : "18", 1000 + i, kNow - 2 * kDay - i * 60));
        for (int i = 0; i < 3; ++i)
            recent.push_back(layCacheDir(root, 3, "17", 5000 + i, kNow - 3600));
        ProcessSignal ready[2], go[2];
        pid_t pids[2];
        for (int k = 0; k < 2; ++k) {
            pids[k] = forkChild([&, k] {
                platform::VirtualClock clock(kNow);
                JobResultsCacheFs fs(1, TCacheTypeTape, false);
                fs.initialize("client1");
                fs.setNumDays(1);
                CacheDirArray array(2048);
                if (scanFirst)
                    CHILD_CHECK(fs.scanForCleanUp(array, true, 0, nullptr, false) == 0);
                ready[k].post();
                CHILD_CHECK(go[k].wait());
                CHILD_CHECK((scanFirst ? fs.cleanUpWithoutScan(array, 0, true, false, true, 0,
                                                               nullptr, 0, 0, nullptr, 0)
                                       : fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr,
                                                    0)) == 1);
                return 0;
            });
        }
        ASSERT_TRUE(ready[0].wait());
        ASSERT_TRUE(ready[1].wait());
        go[0].post();
        go[1].post();
        EXPECT_EQ(waitChild(pids[0]), 0) << scanFirst;
        EXPECT_EQ(waitChild(pids[1]), 0) << scanFirst;
        for (const std::string& p : old)
            EXPECT_FALSE(exists(p)) << p;
        for (const std::string& p : recent)
            EXPECT_EQ(readFile(p + "/State"), "0\n" + std::to_string(kNow - 3600) + "    \n");
        std::filesystem::remove_all(root);
    }
}

// A reservation short of space cleans up the oldest unused directories by
// access time, never the requester's own, and gives up with an event when
// nothing is left to remove.
TEST_F(CleanUpProcessTest, ReservationShortOfSpaceRemovesTheOldestUnusedDirectories) {
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
    // Time stamps in the reverse order of the access times, so that an order
    // by time stamp would pick others.
    const unsigned long stamps[] = {1600000000, 1600005000, 1600004000, 1600003000, 1600002000};
    std::vector<std::string> p; // own, b, c (held), d, e
    for (int i = 0; i < 5; ++i)
        p.push_back(layCacheDir(root, 2, "17", stamps[i], kNow - 100 + 10 * i, 2 * kMB));
    Holder reader(stamps[2], false);
    EXPECT_EQ(
        testsupport::runInChild([&] {
            platform::VirtualClock clock(kNow);
            // 16 MB holding five directories of 2 MB: 1535 blocks free.
            platform::SimulatedVolume volume(idx, 16 * kMB);
            CacheFsBase::setMultiThreaded(false);
            JobResultsCacheFs fs(1, TCacheTypeTape, false);
            fs.initialize("client1");
            platform::TestSink sink;
            // 2100 blocks and the pad of 244: two removals are enough.
            CHILD_CHECK(fs.reserve(2100ull * 4096 - 2500000, 2, "17", stamps[0]) == 1);
            CHILD_CHECK(exists(p[0]) && !exists(p[1]) && exists(p[2]) && !exists(p[3]) &&
                        exists(p[4]));
            CHILD_CHECK((cleanup::eventArgs(sink, 0x0E000045) == cleanup::Args{{"2100", root}}));
            CHILD_CHECK(sink.countEvents(0x0E000048) == 0);
            // More than the volume can ever give: everything that may go
            // goes, then the low-space event.
            CHILD_CHECK(fs.reserve(4000ull * 4096 - 2500000, 2, "17", stamps[0]) == 0);
            CHILD_CHECK(exists(p[0]) && exists(p[2]) && !exists(p[4]));
            CHILD_CHECK((cleanup::eventArgs(sink, 0x0E000048) == cleanup::Args{{"4000", root}}));
            return 0;
        }),
        0);
    EXPECT_EQ(reader.finish(), 0);
}

} // namespace
