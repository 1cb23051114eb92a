// Clean-up against other processes: directories they hold, clean-ups they
// run at the same time, and reservations that run short of space.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"

using cleanup::countContaining;
using cleanup::eventArgs;
using cleanup::hasExactLine;
using cleanup::kDay;
using cleanup::kNow;
using cleanup::layCacheDir;
using testsupport::exists;
using testsupport::forkChild;
using testsupport::ProcessSignal;
using testsupport::readFile;
using testsupport::waitChild;

namespace {

constexpr unsigned long long kMB = 1024 * 1024;

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
    }
    // Lets go and answers the holder's exit code.
    int finish() {
        release.post();
        return waitChild(pid);
    }
};

// Writes what the sink captured to a file, one "level text" record per line
// with the line breaks inside a text escaped, for the parent to read.
void dumpLines(const platform::TestSink& sink, const std::string& path) {
    std::string out;
    for (const platform::CapturedLine& l : sink.lines()) {
        std::string text;
        for (char ch : l.text)
            text += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        out += std::to_string(l.level) + " " + text + "\n";
    }
    testsupport::writeFile(path, out);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        out.push_back(l);
    return out;
}

struct CleanUpProcessTest : cleanup::Fixture {
    std::string state(long long atime) const { return "0\n" + std::to_string(atime) + "    \n"; }
};

TEST_F(CleanUpProcessTest, DirectoriesHeldByAnotherProcessAreNeverRemoved) {
    platform::VirtualClock clock(kNow);
    const std::string readHeld = layCacheDir(root, 2, "17", 1000, kNow - 9 * kDay);
    const std::string writeHeld = layCacheDir(root, 2, "17", 2000, kNow - 8 * kDay);
    const std::string free1 = layCacheDir(root, 2, "17", 3000, kNow - 7 * kDay);
    const std::string free2 = layCacheDir(root, 2, "17", 4000, kNow - 10 * kDay);
    Holder reader(1000, false);
    Holder writer(2000, true);
    ASSERT_TRUE(reader.held.wait());
    ASSERT_TRUE(writer.held.wait());

    JobResultsCacheFs fs(1, TCacheTypeTape, false);
    fs.initialize("client1");
    {
        platform::TestSink sink;
        EXPECT_EQ(fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
        EXPECT_FALSE(exists(free1));
        EXPECT_FALSE(exists(free2));
        for (const std::string& held : {readHeld, writeHeld}) {
            EXPECT_EQ(readFile(held + "/State"),
                      state(held == readHeld ? kNow - 9 * kDay : kNow - 8 * kDay))
                << "a held directory is left untouched";
            EXPECT_TRUE(exists(held + "/data"));
            EXPECT_TRUE(hasExactLine(sink,
                                     "JOBRESCACHEDIR: AgeBasedRemoval: cannot discard "
                                     "directory " +
                                         held,
                                     1));
        }
        EXPECT_TRUE(clock.waits().empty()) << "nobody waits for a held directory";
    }

    EXPECT_EQ(reader.finish(), 0);
    EXPECT_EQ(writer.finish(), 0);
    EXPECT_EQ(fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0), 1);
    EXPECT_FALSE(exists(readHeld)) << "once let go it is removed";
    EXPECT_FALSE(exists(writeHeld));
}

// Two processes clean the same root at the same moment. In the first form
// both have scanned before either removes anything, so each meets every
// directory; in the second each runs a whole clean-up from the same start.
TEST_F(CleanUpProcessTest, TwoCleanUpsAtOnceShareTheWork) {
    for (bool scanFirst : {true, false}) {
        SCOPED_TRACE(scanFirst ? "both scanned first" : "whole clean-ups");
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
                // Retries of vanished State files advance this clock only.
                platform::VirtualClock clock(kNow);
                platform::TestSink sink;
                JobResultsCacheFs fs(1, TCacheTypeTape, false);
                fs.initialize("client1");
                fs.setNumDays(1);
                CacheDirArray array(2048);
                if (scanFirst)
                    CHILD_CHECK(fs.scanForCleanUp(array, true, 0, nullptr, false) == 0);
                ready[k].post();
                CHILD_CHECK(go[k].wait());
                int rc = scanFirst ? fs.cleanUpWithoutScan(array, 0, true, false, true, 0, nullptr,
                                                           0, 0, nullptr, 0)
                                   : fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0);
                dumpLines(sink, home.sub("lines" + std::to_string(k)));
                CHILD_CHECK(rc == 1);
                return 0;
            });
        }
        ASSERT_TRUE(ready[0].wait());
        ASSERT_TRUE(ready[1].wait());
        go[0].post();
        go[1].post();
        EXPECT_EQ(waitChild(pids[0]), 0);
        EXPECT_EQ(waitChild(pids[1]), 0);

        for (const std::string& p : old)
            EXPECT_FALSE(exists(p)) << p;
        for (const std::string& p : recent)
            EXPECT_EQ(readFile(p + "/State"), state(kNow - 3600)) << p;
        // Every old directory was taken on by one of them at least, and
        // neither clean-up failed on the other's work.
        std::set<std::string> attempted;
        for (int k = 0; k < 2; ++k) {
            for (const std::string& l :
                 splitLines(readFile(home.sub("lines" + std::to_string(k))))) {
                EXPECT_EQ(l.find("cleanUp(u_long)"), std::string::npos) << l;
                EXPECT_EQ(l.find("bad scan"), std::string::npos) << l;
                for (const std::string& p : old) {
                    if (l.find("AgeBasedRemoval '" + p + "' [") != std::string::npos ||
                        l.find("getAtime failed, UnCache cacheDir '" + p + "'") !=
                            std::string::npos)
                        attempted.insert(p);
                }
            }
        }
        EXPECT_EQ(attempted.size(), old.size());
        std::filesystem::remove_all(root);
    }
}

// A reservation short of space cleans up the oldest unused directories by
// access time, never the requester's own, and gives up with an event when
// nothing is left to remove.
TEST_F(CleanUpProcessTest, ReservationShortOfSpaceRemovesTheOldestUnusedDirectories) {
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
    // Time stamps in the reverse order of the access times, so that an
    // order by time stamp would pick others.
    const unsigned long own = 1600000000, b = 1600005000, c = 1600004000, d = 1600003000,
                        e = 1600002000;
    const std::string ownPath = cleanup::dirOf(root, 2, "17", own);
    const std::string bPath = cleanup::dirOf(root, 2, "17", b);
    const std::string cPath = cleanup::dirOf(root, 2, "17", c);
    const std::string dPath = cleanup::dirOf(root, 2, "17", d);
    const std::string ePath = cleanup::dirOf(root, 2, "17", e);
    layCacheDir(root, 2, "17", own, kNow - 100, 2 * kMB);
    layCacheDir(root, 2, "17", b, kNow - 90, 2 * kMB);
    layCacheDir(root, 2, "17", c, kNow - 80, 2 * kMB);
    layCacheDir(root, 2, "17", d, kNow - 70, 2 * kMB);
    layCacheDir(root, 2, "17", e, kNow - 60, 2 * kMB);
    Holder reader(c, false);
    ASSERT_TRUE(reader.held.wait());

    auto reservations = [&] {
        platform::VirtualClock clock(kNow);
        // 16 MB holding five directories of 2 MB: 1535 blocks free.
        platform::SimulatedVolume volume(idx, 16 * kMB);
        // One reservation replaces the process's line.
        CacheFsBase::setMultiThreaded(false);
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.initialize("client1");
        CHILD_CHECK(fs.isInitialized());
        CHILD_CHECK(fs.getPadBlocks() == 244);
        platform::TestSink sink;

        // 2100 blocks and the pad of 244: two removals are enough.
        CHILD_CHECK(fs.reserve(2100ull * 4096 - 2500000, 2, "17", own) == 1);
        CHILD_CHECK(exists(ownPath));
        CHILD_CHECK(!exists(bPath));
        CHILD_CHECK(exists(cPath));
        CHILD_CHECK(!exists(dPath));
        CHILD_CHECK(exists(ePath));
        std::vector<std::string> order;
        for (const platform::CapturedLine& l : sink.lines()) {
            for (const std::string& p : {ownPath, bPath, cPath, dPath, ePath}) {
                if (l.text.find("AgeBasedRemoval '" + p + "'") != std::string::npos ||
                    l.text.find("cannot discard directory " + p) != std::string::npos)
                    if (order.empty() || order.back() != p)
                        order.push_back(p);
            }
        }
        // Lines logged to the clean-up log come twice (both places).
        CHILD_CHECK((order == std::vector<std::string>{ownPath, bPath, cPath, dPath}));
        CHILD_CHECK(
            hasExactLine(sink, "JOBRESCACHEDIR: AgeBasedRemoval '" + ownPath + "' NOT REMOVED"));
        CHILD_CHECK(hasExactLine(sink, "JobResultsCacheFs: cleanUp: Done cleaning because we "
                                       "have enough free blocks and we don't care about disk "
                                       "free %"));
        CHILD_CHECK(sink.countEvents(0x0E000048) == 0);
        CHILD_CHECK(
            (eventArgs(sink, 0x0E000045) == std::vector<std::vector<std::string>>{{"2100", root}}));

        // More than the volume can ever give: everything that may
        // go goes, then the low-space event.
        sink.clear();
        CHILD_CHECK(fs.reserve(4000ull * 4096 - 2500000, 2, "17", own) == 0);
        CHILD_CHECK(exists(ownPath));
        CHILD_CHECK(exists(cPath));
        CHILD_CHECK(!exists(ePath));
        CHILD_CHECK(hasExactLine(sink, "JobResultsCacheFs: low space in cacheFs " + root));
        CHILD_CHECK(hasExactLine(sink, "JobResultsCacheFs: cleanUp: Done because there is "
                                       "nothing left to delete and we still do not have "
                                       "enough free blocks"));
        CHILD_CHECK(
            (eventArgs(sink, 0x0E000048) == std::vector<std::vector<std::string>>{{"4000", root}}));
        CHILD_CHECK(sink.hasLine("reserveOnDisk: still not enough space, exit"));
        return 0;
    };
    EXPECT_EQ(testsupport::runInChild(reservations), 0);
    EXPECT_EQ(reader.finish(), 0);
}

} // namespace
