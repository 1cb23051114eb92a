// Locked marker files between real processes: held, busy, stale and left
// alone when only looked at.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

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

} // namespace
