// Locked marker files between real processes: held, busy, stale and left
// alone when only looked at.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <vector>

#include "platform/Env.h"
#include "port/CXLockedMarkerFile.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::ProcessSignal;

namespace {

// A child that holds the marker until told to let go (then removes it).
pid_t holdInChild(const std::string& folder, ProcessSignal& held, ProcessSignal& release) {
    return testsupport::forkChild([&] {
        CXLockedMarkerFile m(folder, 0);
        if (m.openLocked("holder") != 0)
            return 1;
        held.post();
        release.wait();
        return m.unLockAndRemove() == 0 ? 0 : 2;
    });
}

int isLockedInChild(const std::string& folder) {
    return testsupport::runInChild([&] { return CXLockedMarkerFile(folder, 0).isLocked(); });
}

// A virtual clock that runs hook once, at the first sleep.
class HookedClock : public platform::VirtualClock {
public:
    explicit HookedClock(std::function<void()> hook) : hook_(std::move(hook)) {}
    void sleepMs(unsigned long ms) override {
        if (hook_) {
            std::function<void()> h = std::move(hook_);
            hook_ = nullptr;
            h();
        }
        VirtualClock::sleepMs(ms);
    }

private:
    std::function<void()> hook_;
};

class MarkerTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string folder = home.sub("cache", true);
    std::string marker = folder + "/restoreInProgress";
};

TEST_F(MarkerTest, MarkerOfALiveHolderIsBusyAndSurvivesItsObservers) {
    ProcessSignal held, release;
    pid_t child = holdInChild(folder, held, release);
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 1);
        EXPECT_TRUE(clock.waits().empty());
        CXLockedMarkerFile waiter(folder, 3);
        EXPECT_EQ(waiter.openLocked("me"), 1);
        EXPECT_EQ(clock.waits().size(), 3u);
        EXPECT_EQ(waiter.lock(), 1); // still busy
    }
    EXPECT_EQ(testsupport::readFile(marker), std::string("holder\0", 7));
    EXPECT_EQ(isLockedInChild(folder), 1);
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    EXPECT_FALSE(exists(marker));
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 0);
}

TEST_F(MarkerTest, MarkerOfAKilledProcessIsStaleAndRemoved) {
    ProcessSignal held, never;
    pid_t child = holdInChild(folder, held, never);
    ASSERT_TRUE(held.wait());
    ::kill(child, SIGKILL);
    ASSERT_EQ(testsupport::waitChild(child), 128 + SIGKILL);
    ASSERT_TRUE(exists(marker));
    platform::VirtualClock clock;
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 0);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{5000});
    EXPECT_FALSE(exists(marker));
}

TEST_F(MarkerTest, MarkerTakenDuringTheStaleCheckPauseIsHeld) {
    testsupport::writeFile(marker, "");
    ProcessSignal go, held, release;
    pid_t child = testsupport::forkChild([&] {
        go.wait();
        CXLockedMarkerFile m(folder, 0);
        if (m.openLocked(nullptr) != 0)
            return 1;
        held.post();
        release.wait();
        return 0;
    });
    HookedClock clock([&] {
        go.post();
        held.wait();
    });
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 1);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{5000});
    EXPECT_TRUE(exists(marker));
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

} // namespace
