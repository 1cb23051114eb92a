// Named mutexes: exclusion between processes and threads, waits through the
// platform clock, and release by a dying holder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>
#include <thread>

#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "platform/FXNamedMutex.h"
#include "platform/OxNamedMutex.h"
#include "support/TestSupport.h"

using testsupport::ProcessSignal;

namespace {

// A child that takes the mutex, reports it held, and gives it back when told to.
pid_t holdInChild(const std::string& name, ProcessSignal& held, ProcessSignal& release) {
    return testsupport::forkChild([&] {
        OxNamedMutex m(name);
        if (!m.lock(0))
            return 1;
        held.post();
        release.wait();
        return m.unlock() ? 0 : 2;
    });
}

TEST(OxNamedMutex, LockFileNamesAreSafeBoundedAndDistinct) {
    for (const char* name : {"TranLog_mutex", "PAGING_FILESEARCH", "v1.2-x"})
        EXPECT_EQ(OxNamedMutex::lockFileName(name), std::string(name) + ".lock");
    // Changed names carry a hash of the original, so "a/b" and "a_b" (and an
    // empty name) do not share a lock file.
    const std::string slash = OxNamedMutex::lockFileName("a/b");
    EXPECT_EQ(slash.rfind("a_b-", 0), 0u) << slash;
    EXPECT_NE(slash, OxNamedMutex::lockFileName("a_b"));
    EXPECT_GT(OxNamedMutex::lockFileName("").size(), std::string(".lock").size());
}

TEST(OxNamedMutex, OtherProcessesWaitThroughTheClockAndADeadHolderReleases) {
    testsupport::ScratchHome home;
    ProcessSignal held, release;
    pid_t child = holdInChild("procs", held, release);
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        OxNamedMutex m("procs");
        EXPECT_FALSE(m.lock(300));
        EXPECT_EQ(m.lastError(), ETIMEDOUT);
        std::vector<unsigned long> expected(10, 10);
        expected.insert(expected.end(), 4, 50);
        EXPECT_EQ(clock.waits(), expected);
        clock.clearWaits();
        FXNamedMutex fx("procs");
        EXPECT_FALSE(fx.TryLock(CTimeInterval::fromSeconds(2)));
        const auto w = clock.waits();
        EXPECT_EQ(std::accumulate(w.begin(), w.end(), 0ul), 2000u);
        CNamedMutex c("procs");
        EXPECT_EQ(c.lock(1), ETIMEDOUT);
        EXPECT_EQ(c.getErrorText(), "timed out waiting for mutex 'procs'");
    }
    bool took = false;
    std::thread waiter([&] { took = OxNamedMutex("procs").lock(OxNamedMutex::kInfinite); });
    release.post();
    waiter.join();
    EXPECT_TRUE(took);
    EXPECT_EQ(testsupport::waitChild(child), 0);

    ProcessSignal never;
    child = holdInChild("dies", held, never);
    ASSERT_TRUE(held.wait());
    OxNamedMutex m("dies");
    EXPECT_FALSE(m.lock(0));
    ::kill(child, SIGKILL);
    EXPECT_EQ(testsupport::waitChild(child), 128 + SIGKILL);
    EXPECT_TRUE(m.lock(0));
}

} // namespace
