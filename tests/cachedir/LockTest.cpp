// Locks on the State file: readers, writers and a renamed directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/Env.h"

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
    EXPECT_EQ(dir->writeLock(0), 0) << "held by another process";
    EXPECT_EQ(dir->readLock(0), 1) << "readers share";
    EXPECT_EQ(dir->unLock(), 0);
    EXPECT_TRUE(clock.waits().empty()) << "probes never wait";

    EXPECT_EQ(thrown([&] { dir->writeLock(60); }), "locking timeout");
    unsigned long waited = 0;
    for (unsigned long w : clock.waits())
        waited += w;
    EXPECT_EQ(waited, 60000u);
    EXPECT_FALSE(dir->alreadyLocked());

    // setState has to take the same lock, and fails the same way.
    ASSERT_EQ(dir->reopenStateFile(), 0);
    EXPECT_EQ(thrown([&] { dir->setState(3); }), "setState exception");
    EXPECT_EQ(testsupport::readFile(statePath(kTs + 1)), "0\n1700000000    \n");

    EXPECT_EQ(reader.finish(), 0);
    clock.clearWaits();
    EXPECT_EQ(dir->writeLock(60), 1) << "the reader is gone";
    EXPECT_TRUE(clock.waits().empty());
}

} // namespace
