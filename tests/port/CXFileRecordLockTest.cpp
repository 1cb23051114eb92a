// Buffered file: whole-file record locks between processes and between
// objects of one process, and waiting for a lock held elsewhere.
#include <fcntl.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::HookClock;

namespace {

// Lock result of a fresh object in a forked child (100: the child failed).
int lockInChild(const std::string& path, sfLockMode_t mode) {
    return testsupport::runInChild([&] {
               CXFile f;
               return f.open(path.c_str(), sfOpenReadWrite) != 0 ? 110 : f.lock(mode, 0) + 10;
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
            release_.wait();
            if (f.unlock() != 0)
                return 3;
            released_.post();
            done_.wait();
            return 0;
        });
        EXPECT_TRUE(ready_.wait());
    }
    ~LockHolder() {
        release_.post();
        done_.post();
        EXPECT_EQ(testsupport::waitChild(pid_), 0);
    }
    bool release() {
        release_.post();
        return released_.wait();
    }

private:
    testsupport::ProcessSignal ready_, release_, released_, done_;
    pid_t pid_ = -1;
};

TEST_F(CXFileTest, ObjectsAndProcessesExcludeEachOther) {
    testsupport::writeFile(path, "x");
    CXFile a, b, c;
    ASSERT_EQ(a.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(b.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(c.open(path.c_str(), sfOpenRead), 0);
    ASSERT_EQ(a.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(b.lock(sfLockShared, 0), 0);
    EXPECT_EQ(b.getLastError(), EAGAIN);
    EXPECT_EQ(b.isLocked(), 0);
    // Closing another descriptor of the file keeps the lock.
    ASSERT_EQ(c.close(), 0);
    EXPECT_EQ(lockInChild(path, sfLockShared), 0);
    EXPECT_EQ(c.open(path.c_str(), sfOpenRead), 0);
    EXPECT_EQ(c.lock(sfLockExclusive, 5), -1); // a read-only descriptor
    EXPECT_EQ(c.getLastError(), EBADF);

    ASSERT_EQ(a.putLine("under lock"), 0);
    ASSERT_EQ(a.unlock(), 0);
    EXPECT_EQ(testsupport::readFile(path), "under lock\n"); // unlock flushes
    ASSERT_EQ(b.lock(sfLockShared, 0), 1);
    ASSERT_EQ(c.lock(sfLockShared, 0), 1);
    EXPECT_EQ(lockInChild(path, sfLockShared), 1);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 0);
    ASSERT_EQ(b.unlock(), 0);
    ASSERT_EQ(c.close(), 0);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(a.close(), 0);
    EXPECT_EQ(a.isLocked(), 0);
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);
    {
        CXFile d;
        ASSERT_EQ(d.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(d.lock(sfLockExclusive, 0), 1);
    }
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 1); // the destructor released it
}

TEST_F(CXFileTest, LockWaitsInGrowingStepsUntilTimeout) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    HookClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockShared, 0), 0);
    EXPECT_TRUE(clock.waits().empty());
    EXPECT_EQ(f.lock(sfLockShared, 200), 0);
    EXPECT_EQ(f.getLastError(), EAGAIN);
    // 1 s until 30 s are waited, 2 s until 60, 5 s until 120, then 10 s,
    // the last step cut to what is left of the time-out.
    std::vector<unsigned long> expected;
    for (auto [count, step] :
         std::vector<std::pair<int, unsigned long>>{{31, 1}, {15, 2}, {12, 5}, {7, 10}, {1, 9}})
        expected.insert(expected.end(), count, step);
    EXPECT_EQ(clock.waitSeconds(), expected);
    // Time passing outside the sleeps shortens the wait; a release ends it.
    clock.clearWaits();
    clock.onSleep = [&](size_t n) {
        clock.advance(n == 2 ? 10 : 0);
        if (n == 3) {
            ASSERT_TRUE(holder.release());
        }
    };
    EXPECT_EQ(f.lock(sfLockExclusive, 13), 1);
    EXPECT_EQ(clock.waits().size(), 3u);
}

} // namespace
