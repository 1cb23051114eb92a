// Named mutexes: exclusion between processes and between threads of one
// process, waits through the platform clock, and release by a dying holder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>
#include <thread>

#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "platform/FXNamedMutex.h"
#include "platform/OxCriticalSection.h"
#include "platform/OxNamedMutex.h"
#include "support/TestSupport.h"

using testsupport::ProcessSignal;
using testsupport::ScratchHome;

namespace {

unsigned long total(const std::vector<unsigned long>& waits) {
    return std::accumulate(waits.begin(), waits.end(), 0ul);
}

// A child that takes the mutex, reports it held, and gives it back (by
// exiting) when told to.
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

} // namespace

TEST(OxNamedMutexFileName, NamesBecomeSafeBoundedAndStayDistinct) {
    struct Case {
        const char* name;
        const char* expected; // null: only checked for shape
    };
    const Case cases[] = {
        {"TranLog_mutex", "TranLog_mutex.lock"},
        {"PAGING_FILESEARCH", "PAGING_FILESEARCH.lock"},
        {"0_lock", "0_lock.lock"},
        {"v1.2-x", "v1.2-x.lock"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OxNamedMutex::lockFileName(c.name), c.expected) << c.name;

    // Changed names carry a hash of the original, so "a/b" and "a_b" (and an
    // empty name) do not share a lock file.
    const std::string slash = OxNamedMutex::lockFileName("a/b");
    EXPECT_EQ(slash.rfind("a_b-", 0), 0u) << slash;
    EXPECT_NE(slash, OxNamedMutex::lockFileName("a_b"));
    EXPECT_NE(slash, OxNamedMutex::lockFileName("a b"));
    EXPECT_EQ(slash.find('/'), std::string::npos);
    EXPECT_GT(OxNamedMutex::lockFileName("").size(), std::string(".lock").size());

    const std::string longA(1000, 'x'), longB = std::string(999, 'x') + "y";
    const std::string fa = OxNamedMutex::lockFileName(longA);
    const std::string fb = OxNamedMutex::lockFileName(longB);
    EXPECT_LE(fa.size(), 255u);
    EXPECT_NE(fa, fb);
}

TEST(OxNamedMutex, LockFileLivesBelowTheHome) {
    ScratchHome home;
    OxNamedMutex m("dir/name");
    EXPECT_EQ(m.filePath(), home.path() + "/locks/" + OxNamedMutex::lockFileName("dir/name"));
    ASSERT_TRUE(m.lock(0));
    EXPECT_TRUE(testsupport::exists(m.filePath()));
    EXPECT_TRUE(m.unlock());
}

TEST(OxNamedMutex, SameObjectNestsAndCountsItsLocks) {
    ScratchHome home;
    OxNamedMutex m("nested");
    EXPECT_EQ(m.lockCount(), 0);
    ASSERT_TRUE(m.lock(0));
    ASSERT_TRUE(m.lock(0));
    EXPECT_EQ(m.lockCount(), 2);
    OxNamedMutex other("nested");
    EXPECT_FALSE(other.lock(0));
    EXPECT_TRUE(m.unlock());
    EXPECT_FALSE(other.lock(0)) << "still held once";
    EXPECT_TRUE(m.unlock());
    EXPECT_EQ(m.lockCount(), 0);
    EXPECT_FALSE(m.unlock());
    EXPECT_EQ(m.lastError(), EPERM);
    EXPECT_TRUE(other.lock(0));
    EXPECT_TRUE(other.unlock());
}

TEST(OxNamedMutex, TwoThreadsExcludeEachOther) {
    ScratchHome home;
    OxNamedMutex first("threads");
    ASSERT_TRUE(first.lock(0));
    bool tookWhileHeld = true;
    std::thread([&] {
        OxNamedMutex second("threads");
        tookWhileHeld = second.lock(0);
    }).join();
    EXPECT_FALSE(tookWhileHeld);

    // The same object used by another thread does not count as nesting.
    bool sameObjectOtherThread = true;
    int error = 0;
    std::thread([&] {
        sameObjectOtherThread = first.lock(0);
        error = first.lastError();
    }).join();
    EXPECT_FALSE(sameObjectOtherThread);
    EXPECT_EQ(error, ETIMEDOUT);

    ASSERT_TRUE(first.unlock());
    bool tookAfterRelease = false;
    std::thread([&] {
        OxNamedMutex second("threads");
        tookAfterRelease = second.lock(0) && second.unlock();
    }).join();
    EXPECT_TRUE(tookAfterRelease);
}

TEST(OxNamedMutex, WaitForAnotherProcessPollsTheClockUntilTheTimeOut) {
    ScratchHome home;
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
        EXPECT_FALSE(m.lock(0));
        EXPECT_TRUE(clock.waits().empty());

        clock.clearWaits();
        EXPECT_FALSE(m.lock(5000));
        EXPECT_EQ(total(clock.waits()), 5000u);
        EXPECT_EQ(clock.waits().back(), 250u);
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    OxNamedMutex m("procs");
    EXPECT_TRUE(m.lock(0));
}

TEST(OxNamedMutex, DeadHolderReleasesIt) {
    ScratchHome home;
    ProcessSignal held, never;
    pid_t child = holdInChild("dies", held, never);
    ASSERT_TRUE(held.wait());
    OxNamedMutex m("dies");
    EXPECT_FALSE(m.lock(0));
    ::kill(child, SIGKILL);
    EXPECT_EQ(testsupport::waitChild(child), 128 + SIGKILL);
    EXPECT_TRUE(m.lock(0));
}

TEST(OxNamedMutex, UnlimitedWaitEndsWhenTheHolderReleases) {
    ScratchHome home;
    ProcessSignal held, release;
    pid_t child = holdInChild("forever", held, release);
    ASSERT_TRUE(held.wait());
    bool took = false;
    std::thread waiter([&] {
        OxNamedMutex m("forever");
        took = m.lock(OxNamedMutex::kInfinite);
    });
    release.post();
    waiter.join();
    EXPECT_TRUE(took);
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

TEST(FXNamedMutex, TimeOutsAreSpansOfHundredNanoseconds) {
    EXPECT_EQ(CTimeInterval::fromSeconds(2).ticks(), 20000000);
    EXPECT_EQ(CTimeInterval::fromSeconds(2).milliseconds(), 2000u);
    EXPECT_EQ(CTimeInterval(15000).milliseconds(), 1u);
    EXPECT_EQ(CTimeInterval(-5).milliseconds(), 0u);

    ScratchHome home;
    ProcessSignal held, release;
    pid_t child = holdInChild("fx", held, release);
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        FXNamedMutex m("fx");
        EXPECT_FALSE(m.TryLock());
        EXPECT_TRUE(clock.waits().empty());
        EXPECT_FALSE(m.TryLock(CTimeInterval::fromSeconds(2)));
        EXPECT_EQ(total(clock.waits()), 2000u);
        EXPECT_EQ(m.getLockCount(), 0);
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    FXNamedMutex m("fx");
    FXLockableResource& r = m;
    EXPECT_TRUE(r.Lock());
    EXPECT_EQ(m.getLockCount(), 1);
    EXPECT_TRUE(r.Unlock());
    EXPECT_FALSE(r.Unlock());
}

TEST(CNamedMutex, LockReportsTimeOutWithText) {
    ScratchHome home;
    ProcessSignal held, release;
    pid_t child = holdInChild("jobResultCleanup", held, release);
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        CNamedMutex m("jobResultCleanup");
        EXPECT_EQ(m.lock(1), ETIMEDOUT);
        EXPECT_EQ(m.getErrorText(), "timed out waiting for mutex 'jobResultCleanup'");
        EXPECT_EQ(clock.waits(), std::vector<unsigned long>{1});
        EXPECT_FALSE(m.isLocked());
        EXPECT_EQ(m.unlock(), -1);
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    CNamedMutex m("jobResultCleanup");
    EXPECT_EQ(m.lock(1), 0);
    EXPECT_TRUE(m.isLocked());
    EXPECT_EQ(m.unlock(), 0);
}

TEST(MDLock, HoldsUntilReleaseOrEndOfScope) {
    ScratchHome home;
    auto heldElsewhere = [] {
        return testsupport::runInChild([] {
            OxNamedMutex m("PAGING_CLEANUP");
            return m.lock(0) ? 0 : 1;
        });
    };
    {
        MDLock lock("PAGING_CLEANUP");
        EXPECT_FALSE(lock.isSet());
        ASSERT_TRUE(lock.set(0xFFFFFFFFul));
        EXPECT_TRUE(lock.isSet());
        EXPECT_EQ(heldElsewhere(), 1);
        lock.release();
        EXPECT_FALSE(lock.isSet());
        EXPECT_EQ(heldElsewhere(), 0);
        ASSERT_TRUE(lock.set(0));
    }
    EXPECT_EQ(heldElsewhere(), 0);
}

TEST(OxCriticalSection, RecursiveForItsHolderExclusiveForOthers) {
    OxCriticalSection cs;
    ASSERT_TRUE(cs.enter(true));
    ASSERT_TRUE(cs.enter(false));
    bool otherEntered = true;
    std::thread([&] { otherEntered = cs.enter(false); }).join();
    EXPECT_FALSE(otherEntered);
    cs.leave();
    std::thread([&] { otherEntered = cs.enter(false); }).join();
    EXPECT_FALSE(otherEntered) << "entered twice, left once";
    cs.leave();
    EXPECT_FALSE(cs.heldByMe());
    EXPECT_THROW(cs.leave(), std::logic_error);
    bool leftByOther = false;
    std::thread([&] {
        if (cs.enter(false)) {
            cs.leave();
            leftByOther = true;
        }
    }).join();
    EXPECT_TRUE(leftByOther);
}

TEST(OxCriticalSection, LeaveByANonHolderThrows) {
    OxCriticalSection cs;
    ASSERT_TRUE(cs.enter(true));
    bool threw = false;
    std::thread([&] {
        try {
            cs.leave();
        } catch (const std::logic_error&) {
            threw = true;
        }
    }).join();
    EXPECT_TRUE(threw);
    cs.leave();
}
