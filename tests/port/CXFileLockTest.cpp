// Lock files: the record lock combined with the file's named mutex.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/Env.h"
#include "platform/FXNamedMutex.h"
#include "port/CXFileLock.h"
#include "support/TestSupport.h"

namespace {

class FileLockTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string path = home.sub("a/b/c/d/e/f/g", true) + "/State";
    void SetUp() override { testsupport::writeFile(path, "0\n"); }
    int lockInThread() {
        int rc = -2;
        std::thread([&] {
            CXFileLock other;
            if (other.open(path.c_str(), sfOpenReadWrite) == 0)
                rc = other.lock(sfLockExclusive, 0);
        }).join();
        return rc;
    }
};

TEST_F(FileLockTest, SecondThreadIsRefusedUntilUnlockCloseOrDestruction) {
    {
        CXFileLock first;
        ASSERT_EQ(first.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
        EXPECT_EQ(first.namedMutex()->getName(), CXFile::mutexNameFromPath(path));
        EXPECT_EQ(lockInThread(), 0);
        EXPECT_EQ(first.isLocked(), 1); // the refused thread must not drop the holder's lock
        EXPECT_EQ(first.unlock(), 0);
        EXPECT_EQ(lockInThread(), 1);
        // A shared lock later must not give back a mutex it never took.
        ASSERT_EQ(first.lock(sfLockShared, 0), 1);
        EXPECT_EQ(first.namedMutex()->getLockCount(), 0);
        EXPECT_EQ(first.unlock(), 0);
        ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(first.close(), 0);
        EXPECT_EQ(lockInThread(), 1);
        ASSERT_EQ(first.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
    }
    EXPECT_EQ(lockInThread(), 1);
}

// The record lock is free but another thread holds the file's mutex: the
// lock waits for the mutex within the time-out, then gives the record lock
// back so that the file is not left locked by a caller told it is busy.
TEST_F(FileLockTest, MutexHeldElsewhereMakesTheLockBusyAndReleasesTheRecordLock) {
    FXNamedMutex foreign(CXFile::mutexNameFromPath(path));
    ASSERT_TRUE(foreign.TryLock());
    platform::VirtualClock clock;
    CXFileLock f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    int rc = -2;
    std::thread([&] { rc = f.lock(sfLockExclusive, 3); }).join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(f.isLocked(), 0);
    unsigned long waited = 0;
    for (unsigned long w : clock.waits())
        waited += w;
    EXPECT_EQ(waited, 3000u);
    EXPECT_EQ(testsupport::runInChild([&] {
                  CXFile g;
                  return g.open(path.c_str(), sfOpenReadWrite) == 0 &&
                                 g.lock(sfLockExclusive, 0) == 1
                             ? 0
                             : 1;
              }),
              0);
    ASSERT_TRUE(foreign.Unlock());
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
}

} // namespace
