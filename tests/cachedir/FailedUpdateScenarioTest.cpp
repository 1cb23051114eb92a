// An update that fails while another process reads the previous index: what
// the caller does next (discard or close) must lose nothing, and the previous
// index must still be the one open (0) finds.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"

using namespace createopen;
using testsupport::exists;
using testsupport::ProcessSignal;

namespace {

constexpr long long kMB = 1 << 20;

struct ReservationSwitch : TestIndexCacheDir {
    static void rearm() { reservationFlag = -1; }
};

struct FailedUpdateScenarioTest : CacheDirFixture {
    std::map<std::string, std::string> previousIndex() {
        makeDir(100, kClosed);
        testsupport::writeFile(dirPath(100) + "/table", "rows");
        writeSparse(dirPath(100) + "/big.dat", kMB);
        return snapshot(dirPath(100));
    }
    // Another process that reads directory 100 until done is posted.
    pid_t startReader(ProcessSignal& reading, ProcessSignal& done) {
        return testsupport::forkChild([&] {
            CacheDirProbe dir(0);
            dir.initialize("client1");
            if (!dir.open(100, true))
                return 1;
            reading.post();
            done.wait();
            return dir.close(false) == 0 ? 0 : 2;
        });
    }
    // Whether a fresh process opens directory 100 for reading.
    int openFindsThePreviousIndex() {
        return testsupport::runInChild([&] {
            CacheDirProbe dir(0);
            dir.initialize("client1");
            const char* path = dir.open(0, false);
            CHILD_CHECK(path && std::string(path) == dirPath(100));
            return dir.close(false) == 0 ? 0 : 1;
        });
    }
};

TEST_F(FailedUpdateScenarioTest, DiscardAndCloseAfterAFailedUpdateLoseNothingOfABrowsedIndex) {
    struct Case {
        const char* spaceSaver; // "y": renaming preferred, a copy only because it is in use
        bool copy;              // the object asks for a copy itself
    };
    for (const Case& c : {Case{"y", false}, Case{"", true}}) {
        SCOPED_TRACE(c.copy ? "copy" : "rename turned copy");
        deleteDir(root.c_str());
        previousIndex();
        ProcessSignal reading, done;
        pid_t reader = startReader(reading, done);
        ASSERT_TRUE(reading.wait());
        const auto browsed = snapshot(dirPath(100));
        EXPECT_EQ(inFreshProcess({{"sDISABLERESERVE", "no"}, {"sSPACESAVER", c.spaceSaver}},
                                 [&] {
                                     ReservationSwitch::rearm();
                                     // Too small for a second copy of the index.
                                     platform::SimulatedVolume volume(idx, 4 * kMB, 4096);
                                     platform::VirtualClock clock(kNow);
                                     CacheDirProbe dir(0);
                                     dir.initialize("client1");
                                     dir.copyUponUpdate(c.copy);
                                     CHILD_CHECK(!dir.update(false, 0, false));
                                     CHILD_CHECK(dir.getErrno() == -10);
                                     // What callers do after a failure.
                                     CHILD_CHECK(dir.discard(true) == -1);
                                     CHILD_CHECK(dir.close(false) == -1);
                                     return 0;
                                 }),
                  0);
        EXPECT_FALSE(exists(dirPath(kNow)));
        EXPECT_EQ(snapshot(dirPath(100)), browsed) << "the reader's index is untouched";
        EXPECT_EQ(openFindsThePreviousIndex(), 0);
        done.post();
        EXPECT_EQ(testsupport::waitChild(reader), 0);
    }
}

TEST_F(FailedUpdateScenarioTest, ADiscardHoldingOnlyAReadLockWaitsForTheOtherReaders) {
    const auto before = previousIndex();
    ProcessSignal reading, done;
    pid_t reader = startReader(reading, done);
    ASSERT_TRUE(reading.wait());
    {
        platform::VirtualClock clock(kNow);
        CacheDirProbe dir(0);
        dir.initialize("client1");
        ASSERT_NE(dir.open(100, true), nullptr);
        EXPECT_EQ(dir.discard(true), -1) << "the other reader keeps it";
        unsigned long waited = 0;
        for (unsigned long ms : clock.waits())
            waited += ms;
        EXPECT_EQ(waited, 60000u) << "as long as a write lock waits";
    }
    EXPECT_EQ(without(snapshot(dirPath(100)), "State"), without(before, "State"));
    done.post();
    EXPECT_EQ(testsupport::waitChild(reader), 0);
}

// The previous index goes missing once the new directory is made, so the
// copy cannot start: the directory made for it holds no index.
struct LosingUpdater : CacheDirProbe {
    LosingUpdater(std::string previous)
        : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(0), previous_(std::move(previous)) {}
    int mkCacheDir() override {
        const int rc = CacheDirProbe::mkCacheDir();
        std::rename(previous_.c_str(), (previous_ + ".aside").c_str());
        return rc;
    }
    std::string previous_;
};

TEST_F(FailedUpdateScenarioTest, CloseAfterAFailedCopyNeverMarksTheNewDirectoryComplete) {
    const auto before = previousIndex();
    platform::VirtualClock clock(kNow);
    {
        LosingUpdater dir(dirPath(100));
        dir.initialize("client1");
        dir.copyUponUpdate(true);
        EXPECT_EQ(dir.update(false, 0, false), nullptr);
        EXPECT_EQ(dir.close(false), -1);
        EXPECT_EQ(dir.discard(true), -1);
    }
    EXPECT_FALSE(exists(dirPath(kNow))) << "no empty index left for open to find";
    ASSERT_EQ(std::rename((dirPath(100) + ".aside").c_str(), dirPath(100).c_str()), 0);
    EXPECT_EQ(snapshot(dirPath(100)), before);
    EXPECT_EQ(openFindsThePreviousIndex(), 0);
}

} // namespace
