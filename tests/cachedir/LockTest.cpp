#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using testsupport::ProcessSignal;

namespace {

constexpr unsigned long kTs = 1700000000;

template <typename F> std::string thrown(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

struct LockTest : CacheDirFixture {
    void SetUp() override {
        CacheDirFixture::SetUp();
        for (unsigned long i = 1; i <= 5; ++i)
            makeDir(kTs + i, "0\n1700000000    \n");
    }
    std::string d(int i) const { return dirPath(kTs + static_cast<unsigned long>(i)); }
};

TEST_F(LockTest, EmptyTableHandsOutSlotsFromTheTopAndAFifthDirectoryFindsNone) {
    auto dir = make(kTs + 1);
    for (int i = 1; i <= 4; ++i) {
        dir->usePath(d(i));
        ASSERT_EQ(dir->writeLock(60), 1) << d(i);
        EXPECT_STREQ(dir->slotName(4 - i), d(i).c_str()) << "slots 3, 2, 1, 0 in turn";
        EXPECT_EQ(dir->currentSlot(), 4 - i);
        EXPECT_TRUE(dir->alreadyLocked());
    }

    dir->usePath(d(5));
    platform::TestSink sink;
    EXPECT_EQ(thrown([&] { dir->writeLock(60); }), "no more locks available");
    EXPECT_TRUE(sink.lines().empty()) << "a full table with a time-out is thrown without a line";
    EXPECT_EQ(dir->readLock(0), -1);
    EXPECT_TRUE(loggedLine(sink, "no more locks available", 1)) << "the probe logs it";
    EXPECT_FALSE(dir->alreadyLocked());

    // Freeing any of the four lets the fifth in, in the freed slot.
    dir->usePath(d(2));
    EXPECT_EQ(dir->unLock(), 0);
    EXPECT_FALSE(dir->slotOpen(2));
    EXPECT_STREQ(dir->slotName(2), d(2).c_str()) << "the name stays after unLock";
    dir->usePath(d(5));
    EXPECT_EQ(dir->writeLock(60), 1);
    EXPECT_STREQ(dir->slotName(2), d(5).c_str());
    EXPECT_EQ(dir->currentSlot(), 2);
}

TEST_F(LockTest, SameDirectoryTwiceWithoutUnlock) {
    struct Case {
        bool write;
        int timeout;
        const char* thrownMessage; // nullptr: answers -1
        const char* line;          // nullptr: nothing logged
    };
    const Case cases[] = {
        {true, 60, "already locked", "attempting to lock %s for write when already locked"},
        {false, 60, "already locked", "attempting to lock %s for read when already locked"},
        {true, 0, nullptr, nullptr},
        {false, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        auto dir = make(kTs + 1);
        ASSERT_EQ(dir->writeLock(60), 1);
        platform::TestSink sink;
        if (c.thrownMessage) {
            EXPECT_EQ(thrown([&] { dir->myLock(c.timeout, c.write); }), c.thrownMessage);
        } else {
            EXPECT_EQ(dir->myLock(c.timeout, c.write), -1);
        }
        if (c.line) {
            char text[1200];
            std::snprintf(text, sizeof text, c.line, d(1).c_str());
            EXPECT_TRUE(loggedLine(sink, text, 1));
        } else {
            EXPECT_TRUE(sink.lines().empty());
        }
        EXPECT_TRUE(dir->alreadyLocked()) << "the first lock is kept";
    }
}

TEST_F(LockTest, ADirectoryLockedAgainReusesItsSlot) {
    auto dir = make(kTs + 1);
    for (int i = 1; i <= 4; ++i) {
        dir->usePath(d(i));
        ASSERT_EQ(dir->writeLock(60), 1);
    }
    // d(4) sits in slot 0, d(1) in slot 3.
    for (int i : {4, 1}) {
        dir->usePath(d(i));
        const int slot = 4 - i;
        ASSERT_EQ(dir->unLock(), 0);
        EXPECT_FALSE(dir->alreadyLocked());
        EXPECT_EQ(dir->unLock(), -1) << "nothing left to release";
        EXPECT_EQ(dir->readLock(60), 1);
        EXPECT_STREQ(dir->slotName(slot), d(i).c_str());
        EXPECT_TRUE(dir->slotLocked(slot));
        EXPECT_EQ(dir->currentSlot(), slot);
    }
    // A probe reuses the slot too, but does not become the current slot.
    dir->usePath(d(3));
    ASSERT_EQ(dir->unLock(), 0);
    EXPECT_EQ(dir->writeLock(0), 1);
    EXPECT_TRUE(dir->slotLocked(1));
    EXPECT_EQ(dir->currentSlot(), 3);
}

TEST_F(LockTest, ALockCreatesAMissingStateFileWithTheCreationMode) {
    mkdirs(dirPath(kTs + 9));
    auto dir = make(kTs + 9);
    ASSERT_FALSE(testsupport::exists(statePath(kTs + 9)));
    EXPECT_EQ(dir->writeLock(60), 1);
    struct stat st;
    ASSERT_EQ(::stat(statePath(kTs + 9).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
}

TEST_F(LockTest, NoPathOrNoDirectory) {
    auto noPath = make(0);
    platform::TestSink sink;
    EXPECT_EQ(noPath->writeLock(60), -1) << "no path is answered, also with a time-out";
    EXPECT_EQ(noPath->readLock(0), -1);
    EXPECT_TRUE(loggedLine(sink, "myLock: no cache dir", 1));
    EXPECT_EQ(noPath->unLock(), -1);
    EXPECT_TRUE(loggedLine(sink, "unLock: no cache dir", 1));
    EXPECT_FALSE(noPath->alreadyLocked());
    EXPECT_TRUE(loggedLine(sink, "alreadyLocked: no cache dir", 1));

    auto missing = make(kTs + 30);
    sink.clear();
    EXPECT_EQ(thrown([&] { missing->writeLock(60); }), "open lock error");
    EXPECT_EQ(missing->getErrno(), ENOENT);
    EXPECT_TRUE(loggedLine(sink, "cannot open " + statePath(kTs + 30) + ", code 2", 1));
    EXPECT_EQ(missing->readLock(0), -1);
}

TEST_F(LockTest, SwitchLockFollowsARenamedDirectory) {
    auto dir = make(kTs + 1);
    EXPECT_EQ(thrown([&] { dir->switchLock(); }), "switchLock finds no lock");
    ASSERT_EQ(dir->writeLock(0), 1);
    EXPECT_EQ(thrown([&] { dir->switchLock(); }), "switchLock finds no lock")
        << "a probe does not become the current lock";
    ASSERT_EQ(dir->unLock(), 0);

    ASSERT_EQ(dir->writeLock(60), 1);
    const std::string renamed = dirPath(kTs + 40);
    ASSERT_EQ(::rename(d(1).c_str(), renamed.c_str()), 0);
    dir->usePath(renamed);
    EXPECT_FALSE(dir->alreadyLocked());
    EXPECT_EQ(dir->unLock(), -1) << "the lock is still filed under the old name";
    dir->switchLock();
    EXPECT_STREQ(dir->slotName(3), renamed.c_str());
    EXPECT_TRUE(dir->alreadyLocked());
    EXPECT_EQ(dir->unLock(), 0);
}

// A child that takes a lock on a directory, reports it and holds it until released.
struct Holder {
    ProcessSignal locked, release;
    pid_t pid = -1;

    // lock answers the object holding the lock (kept alive while held), or null.
    template <typename Lock> void start(Lock lock) {
        pid = testsupport::forkChild([this, lock] {
            std::unique_ptr<CacheDirProbe> holder = lock();
            if (!holder)
                return 1;
            locked.post();
            return release.wait() ? 0 : 2;
        });
    }
    int finish() {
        release.post();
        return testsupport::waitChild(pid);
    }
};

TEST_F(LockTest, AReaderInAnotherProcessKeepsWritersOut) {
    Holder reader;
    reader.start([this] {
        auto dir = make(kTs + 1);
        return dir->readLock(60) == 1 ? std::move(dir) : nullptr;
    });
    ASSERT_TRUE(reader.locked.wait());

    auto dir = make(kTs + 1);
    platform::VirtualClock clock;
    platform::TestSink sink;
    EXPECT_EQ(dir->writeLock(0), 0) << "held by another process";
    EXPECT_TRUE(sink.lines().empty()) << "a probe that finds another holder logs nothing";
    EXPECT_EQ(dir->readLock(0), 1) << "readers share";
    EXPECT_EQ(dir->unLock(), 0);
    EXPECT_TRUE(clock.waits().empty()) << "probes never wait";

    EXPECT_EQ(thrown([&] { dir->writeLock(60); }), "locking timeout");
    // One-second steps, two-second steps once 30 s have been waited, and the
    // last step cut to what is left of the 60 seconds.
    std::vector<unsigned long> expected(31, 1000);
    expected.insert(expected.end(), 14, 2000);
    expected.push_back(1000);
    EXPECT_EQ(clock.waits(), expected);
    EXPECT_TRUE(loggedLine(sink, "Timeout while trying to lock " + statePath(kTs + 1), 1));
    EXPECT_FALSE(dir->alreadyLocked());

    // setState has to take the same lock, and fails the same way.
    ASSERT_EQ(dir->reopenStateFile(), 0);
    sink.clear();
    EXPECT_EQ(thrown([&] { dir->setState(3); }), "setState exception");
    EXPECT_TRUE(loggedLine(sink, "setState(): locking timeout: errno=0", 1));
    EXPECT_EQ(testsupport::readFile(statePath(kTs + 1)), "0\n1700000000    \n");

    EXPECT_EQ(reader.finish(), 0);
    clock.clearWaits();
    EXPECT_EQ(dir->writeLock(60), 1) << "the reader is gone";
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(LockTest, AWriterInAnotherProcessKeepsEveryoneOut) {
    Holder writer;
    writer.start([this] {
        auto dir = make(kTs + 2);
        return dir->writeLock(60) == 1 ? std::move(dir) : nullptr;
    });
    ASSERT_TRUE(writer.locked.wait());
    auto dir = make(kTs + 2);
    EXPECT_EQ(dir->readLock(0), 0);
    EXPECT_EQ(dir->writeLock(0), 0);
    EXPECT_EQ(writer.finish(), 0);
    EXPECT_EQ(dir->writeLock(0), 1);
}

TEST_F(LockTest, WithExclusiveLockingDisabledTwoWritersShare) {
    Holder first;
    first.start([this] {
        auto dir = make(kTs + 3);
        dir->disableExclusiveLock();
        return dir->writeLock(60) == 1 ? std::move(dir) : nullptr;
    });
    ASSERT_TRUE(first.locked.wait());

    auto dir = make(kTs + 3);
    EXPECT_EQ(dir->writeLock(0), 0) << "an exclusive request still meets the holder";
    platform::VirtualClock clock;
    dir->disableExclusiveLock();
    EXPECT_EQ(dir->writeLock(60), 1);
    EXPECT_TRUE(clock.waits().empty());
    EXPECT_EQ(dir->unLock(), 0);
    dir->enableExclusiveLock();
    EXPECT_EQ(dir->writeLock(0), 0);
    EXPECT_EQ(first.finish(), 0);
}

} // namespace
