// Buffered file: whole-file record locks between processes and between
// objects of one process, waiting and back-off, and the fallback where
// open-file-description locks are rejected.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::HookClock;

// Lock requests from the library reach the kernel through fcntl64; this
// definition in the test program takes precedence over the C library's, so a
// test can make the next lock requests fail with a chosen errno (ENOLCK and
// EINTR cannot be provoked otherwise). Unarmed, every call passes straight
// through.
namespace {

struct LockFaults {
    std::deque<int> next;   // errnos for the next lock requests, in order
    int always = 0;         // errno for every lock request when non-zero
    bool rejectOfd = false; // every F_OFD_SETLK fails with EINVAL
    bool recording = false; // collect the commands of lock and unlock calls
    std::vector<int> commands;
    unsigned long requests = 0; // lock (not unlock) requests seen
};

LockFaults faults;

using FcntlFn = int (*)(int, int, ...);

FcntlFn realFcntl() {
    static FcntlFn fn = reinterpret_cast<FcntlFn>(::dlsym(RTLD_NEXT, "fcntl64"));
    return fn;
}

// Restores pass-through behaviour at the end of a test.
struct FaultScope {
    FaultScope() { faults = LockFaults(); }
    ~FaultScope() { faults = LockFaults(); }
};

} // namespace

extern "C" int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (cmd == F_SETLK || cmd == F_OFD_SETLK) {
        if (faults.recording)
            faults.commands.push_back(cmd);
        const auto* fl = static_cast<const struct flock64*>(arg);
        if (cmd == F_OFD_SETLK && faults.rejectOfd) {
            errno = EINVAL;
            return -1;
        }
        if (fl->l_type != F_UNLCK) {
            ++faults.requests;
            if (!faults.next.empty()) {
                errno = faults.next.front();
                faults.next.pop_front();
                return -1;
            }
            if (faults.always != 0) {
                errno = faults.always;
                return -1;
            }
        }
    }
    return realFcntl()(fd, cmd, arg);
}

namespace {

std::vector<unsigned long> repeated(std::vector<std::pair<size_t, unsigned long>> runs) {
    std::vector<unsigned long> out;
    for (const auto& [count, value] : runs)
        out.insert(out.end(), count, value);
    return out;
}

// Lock result of a fresh object in a forked child, shifted so 0..2 stay
// distinguishable from the child's own failure codes.
int lockInChild(const std::string& path, sfLockMode_t mode) {
    return testsupport::runInChild([&] {
               CXFile f;
               if (f.open(path.c_str(), sfOpenReadWrite) != 0)
                   return 100;
               return f.lock(mode, 0) + 10;
           }) -
           10;
}

// A forked child that holds a lock on path until released.
class LockHolder {
public:
    LockHolder(const std::string& path, sfLockMode_t mode) {
        pid_ = testsupport::forkChild([&] {
            CXFile f;
            if (f.open(path.c_str(), sfOpenReadWrite) != 0 || f.lock(mode, 0) != 1)
                return 1;
            ready_.post();
            if (!release_.wait())
                return 2;
            if (f.unlock() != 0)
                return 3;
            released_.post();
            done_.wait();
            return 0;
        });
        holding_ = ready_.wait();
    }
    ~LockHolder() {
        if (!releasedEarly_)
            release_.post();
        done_.post();
        testsupport::waitChild(pid_);
    }
    bool holding() const { return holding_; }
    // Releases the lock and returns once the child has done so.
    bool release() {
        releasedEarly_ = true;
        release_.post();
        return released_.wait();
    }

private:
    testsupport::ProcessSignal ready_, release_, released_, done_;
    pid_t pid_ = -1;
    bool holding_ = false;
    bool releasedEarly_ = false;
};

TEST_F(CXFileTest, LockSurvivesClosingAnotherDescriptorOfTheFile) {
    testsupport::writeFile(path, "x");
    CXFile holder;
    ASSERT_EQ(holder.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(holder.lock(sfLockExclusive, 0), 1);
    {
        CXFile other;
        ASSERT_EQ(other.open(path.c_str(), sfOpenRead), 0);
        ASSERT_EQ(other.close(), 0);
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 0);
    EXPECT_EQ(lockInChild(path, sfLockShared), 0);
    EXPECT_EQ(holder.isLocked(), 1);
}

TEST_F(CXFileTest, TwoObjectsOfOneProcessExcludeEachOther) {
    testsupport::writeFile(path, "x");
    CXFile a, b, c;
    ASSERT_EQ(a.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(b.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(c.open(path.c_str(), sfOpenReadWrite), 0);

    ASSERT_EQ(a.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(b.lock(sfLockExclusive, 0), 0);
    EXPECT_EQ(b.getLastError(), EAGAIN);
    EXPECT_EQ(b.lock(sfLockShared, 0), 0);
    EXPECT_EQ(b.isLocked(), 0);

    ASSERT_EQ(a.unlock(), 0);
    EXPECT_EQ(a.isLocked(), 0);
    ASSERT_EQ(b.lock(sfLockShared, 0), 1);
    ASSERT_EQ(c.lock(sfLockShared, 0), 1);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 0);
    ASSERT_EQ(b.unlock(), 0);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 0);
    ASSERT_EQ(c.close(), 0);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 1);
}

TEST_F(CXFileTest, UnlockCloseAndDestructorReleaseForOtherProcesses) {
    testsupport::writeFile(path, "x");
    {
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(lockInChild(path, sfLockShared), 0);
        ASSERT_EQ(f.unlock(), 0);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);

        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(f.close(), 0);
        EXPECT_EQ(f.isLocked(), 0);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);

        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockShared, 0), 1);
        EXPECT_EQ(lockInChild(path, sfLockShared), 1);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 0);
    }
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);
}

TEST_F(CXFileTest, UnlockFlushesPendingWrites) {
    CXFile f;
    openWith(f, "");
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.putLine("under lock"), 0);
    EXPECT_EQ(f.unlock(), 0);
    EXPECT_EQ(testsupport::readFile(path), "under lock\n");
}

TEST_F(CXFileTest, LockOnReadOnlyDescriptorFailsWithErrno) {
    CXFile f;
    openWith(f, "x", 0, sfOpenRead);
    EXPECT_EQ(f.lock(sfLockExclusive, 5), -1);
    EXPECT_EQ(f.getLastError(), EBADF);
    EXPECT_EQ(f.isLocked(), 0);
    EXPECT_EQ(f.lock(sfLockShared, 0), 1);
}

TEST_F(CXFileTest, LockHeldElsewhereWithZeroTimeoutReturnsAtOnce) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockShared);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 0);
    EXPECT_TRUE(clock.waits().empty());
    EXPECT_EQ(f.lock(sfLockShared, 0), 1);
}

TEST_F(CXFileTest, LockWaitsOneSecondStepsUntilTimeout) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 5), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000, 1000, 1000}));
    EXPECT_EQ(f.isLocked(), 0);
    EXPECT_EQ(f.getLastError(), EAGAIN);
}

TEST_F(CXFileTest, LockStepsGrowWithTimeWaited) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockShared, 200), 0);
    // 1 s until 30 s are waited, 2 s until 60, 5 s until 120, then 10 s,
    // the last step cut to what is left of the time-out.
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {15, 2}, {12, 5}, {7, 10}, {1, 9}}));

    // A short time-out cuts the grown step as well.
    clock.clearWaits();
    EXPECT_EQ(f.lock(sfLockShared, 33), 0);
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {1, 2}}));
    clock.clearWaits();
    EXPECT_EQ(f.lock(sfLockShared, 32), 0);
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {1, 1}}));
}

TEST_F(CXFileTest, LockTimeoutCountsClockTimeNotSleeps) {
    // Time passing outside the sleeps (another busy process, a slow disk)
    // shortens the wait.
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 2)
            clock.advance(10);
    };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 13), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));
}

TEST_F(CXFileTest, LockGivesUpWhenClockGoesBackwards) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t) { clock.advance(-100); };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 60), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000}));
}

TEST_F(CXFileTest, LockTakenOnceTheOtherProcessReleases) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 3) {
            ASSERT_TRUE(holder.release());
        }
    };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 60), 1);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));
    EXPECT_EQ(f.isLocked(), 1);
}

// The cases below inject errnos that a healthy kernel does not produce on
// demand.

TEST_F(CXFileTest, LockRetriesInterruptedRequestsAtOnce) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.next = {EINTR, EINTR, EINTR};
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(faults.requests, 4u);
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(CXFileTest, LockBacksOffWhenLockRecordsRunOut) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    // The time-out of 0 does not apply to this case.
    faults.next.assign(7, ENOLCK);
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(clock.waitSeconds(), (std::vector<unsigned long>{1, 2, 4, 8, 16, 32, 32}));
    ASSERT_EQ(f.unlock(), 0);

    // Gives up once more than 299 seconds have gone into backing off.
    clock.clearWaits();
    faults.always = ENOLCK;
    EXPECT_EQ(f.lock(sfLockExclusive, 1000), -1);
    EXPECT_EQ(f.getLastError(), ENOLCK);
    EXPECT_EQ(clock.waitSeconds(), repeated({{1, 1}, {1, 2}, {1, 4}, {1, 8}, {1, 16}, {9, 32}}));
}

TEST_F(CXFileTest, LockOtherErrorFailsAtOnce) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.next = {EDEADLK};
    EXPECT_EQ(f.lock(sfLockExclusive, 100), -1);
    EXPECT_EQ(f.getLastError(), EDEADLK);
    EXPECT_EQ(faults.requests, 1u);
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(CXFileTest, LockGivesUpAfterHalfAMillionAttempts) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.always = EINTR;
    EXPECT_EQ(f.lock(sfLockExclusive, 0), -1);
    EXPECT_EQ(f.getLastError(), -7777);
    EXPECT_EQ(faults.requests, 500000u);
    EXPECT_TRUE(clock.waits().empty());

    // Waiting attempts count too.
    faults.requests = 0;
    faults.always = EAGAIN;
    EXPECT_EQ(f.lock(sfLockExclusive, ULONG_MAX), -1);
    EXPECT_EQ(f.getLastError(), -7777);
    EXPECT_EQ(faults.requests, 500000u);
    EXPECT_EQ(clock.waits().size(), 500000u);
}

TEST_F(CXFileTest, LockFallsBackToProcessLocksWhereOfdIsRejected) {
    testsupport::writeFile(path, "x");
    // In a child: the fallback is remembered for the rest of the process.
    const int rc = testsupport::runInChild([&] {
        faults = LockFaults();
        faults.rejectOfd = true;
        faults.recording = true;
        CXFile f;
        if (f.open(path.c_str(), sfOpenReadWrite) != 0)
            return 1;
        if (f.lock(sfLockExclusive, 0) != 1)
            return 2;
        if (faults.commands != std::vector<int>{F_OFD_SETLK, F_SETLK})
            return 3;
        faults.commands.clear();
        if (f.unlock() != 0)
            return 4;
        if (faults.commands != std::vector<int>{F_SETLK})
            return 5;
        faults.commands.clear();
        if (f.lock(sfLockShared, 0) != 1)
            return 6;
        if (faults.commands != std::vector<int>{F_SETLK})
            return 7;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(CXFileTest, UnlockUsesTheKindOfLockTaken) {
    FaultScope scope;
    CXFile f;
    openWith(f, "x");
    faults.recording = true;
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.unlock(), 0);
    EXPECT_EQ(faults.commands, (std::vector<int>{F_OFD_SETLK, F_OFD_SETLK}));
}

} // namespace
