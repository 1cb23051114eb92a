// Lock files: the record lock combined with the file's named mutex.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/Env.h"
#include "platform/FXNamedMutex.h"
#include "port/CXFileLock.h"
#include "support/TestSupport.h"

using testsupport::ProcessSignal;
using testsupport::ScratchHome;

namespace {

std::string lockFile(const ScratchHome& home) {
    const std::string path = home.sub("a/b/c/d/e/f/g", true) + "/State";
    testsupport::writeFile(path, "0\n");
    return path;
}

} // namespace

TEST(CXFileLock, SecondThreadWithItsOwnObjectIsRefused) {
    ScratchHome home;
    const std::string path = lockFile(home);
    CXFileLock first;
    ASSERT_EQ(first.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
    ASSERT_NE(first.namedMutex(), nullptr);
    EXPECT_EQ(first.namedMutex()->getName(), CXFile::mutexNameFromPath(path));
    EXPECT_EQ(first.namedMutex()->getLockCount(), 1);

    int second = -2;
    std::thread([&] {
        CXFileLock other;
        if (other.open(path.c_str(), sfOpenReadWrite) == 0)
            second = other.lock(sfLockExclusive, 0);
    }).join();
    EXPECT_EQ(second, 0);
    EXPECT_EQ(first.isLocked(), 1) << "the refused thread must not drop the holder's lock";

    EXPECT_EQ(first.unlock(), 0);
    EXPECT_EQ(first.namedMutex()->getLockCount(), 0);
    std::thread([&] {
        CXFileLock other;
        if (other.open(path.c_str(), sfOpenReadWrite) == 0)
            second = other.lock(sfLockExclusive, 0);
    }).join();
    EXPECT_EQ(second, 1);
}

// The record lock is free but another thread holds the file's mutex: the
// lock waits for the mutex within the time-out, then gives the record lock
// back so that the file is not left locked by a caller told it is busy.
TEST(CXFileLock, MutexHeldElsewhereMakesTheLockBusyAndReleasesTheRecordLock) {
    ScratchHome home;
    const std::string path = lockFile(home);
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
    EXPECT_EQ(waited, 3000u) << "the mutex wait takes the same time-out";

    // Another process can take the record lock now.
    EXPECT_EQ(testsupport::runInChild([&] {
                  CXFile g;
                  if (g.open(path.c_str(), sfOpenReadWrite) != 0)
                      return 2;
                  return g.lock(sfLockExclusive, 0) == 1 ? 0 : 1;
              }),
              0);

    ASSERT_TRUE(foreign.Unlock());
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
}

TEST(CXFileLock, AnotherProcessWaitsForTheRecordLockThroughTheClock) {
    ScratchHome home;
    const std::string path = lockFile(home);
    ProcessSignal held, release;
    pid_t child = testsupport::forkChild([&] {
        CXFileLock f;
        if (f.open(path.c_str(), sfOpenReadWrite) != 0 || f.lock(sfLockExclusive, 0) != 1)
            return 1;
        held.post();
        release.wait();
        return f.unlock();
    });
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        CXFileLock f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        EXPECT_EQ(f.lock(sfLockExclusive, 2), 0);
        EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000}));
        EXPECT_EQ(f.namedMutex(), nullptr) << "no mutex without the record lock";
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

TEST(CXFileLock, SharedLocksTakeNoMutex) {
    ScratchHome home;
    const std::string path = lockFile(home);
    CXFileLock a, b;
    ASSERT_EQ(a.open(path.c_str(), sfOpenRead), 0);
    ASSERT_EQ(b.open(path.c_str(), sfOpenRead), 0);
    EXPECT_EQ(a.lock(sfLockShared, 0), 1);
    EXPECT_EQ(b.lock(sfLockShared, 0), 1);
    EXPECT_EQ(a.namedMutex(), nullptr);
    EXPECT_EQ(a.unlock(), 0);
    EXPECT_EQ(b.unlock(), 0);
}

TEST(CXFileLock, UnlockWithoutLockAndAfterAnExclusiveOne) {
    ScratchHome home;
    const std::string path = lockFile(home);
    CXFileLock f;
    EXPECT_EQ(f.unlock(), 0) << "not locked";
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.unlock(), 0);
    // A shared lock later must not try to give back a mutex it never took.
    ASSERT_EQ(f.lock(sfLockShared, 0), 1);
    EXPECT_EQ(f.namedMutex()->getLockCount(), 0);
    EXPECT_EQ(f.unlock(), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
}

TEST(CXFileLock, CloseAndDestructionReleaseTheMutex) {
    ScratchHome home;
    const std::string path = lockFile(home);
    const std::string name = CXFile::mutexNameFromPath(path);
    {
        CXFileLock f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(f.close(), 0);
        FXNamedMutex probe(name);
        EXPECT_TRUE(probe.TryLock()) << "close released the mutex";
        probe.Unlock();
        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    }
    FXNamedMutex probe(name);
    EXPECT_TRUE(probe.TryLock()) << "destruction released the mutex";
}

TEST(CXFileLock, ReopenedOnAnotherFileTakesThatFilesMutex) {
    ScratchHome home;
    const std::string first = lockFile(home);
    const std::string second = home.sub("other", true) + "/State";
    testsupport::writeFile(second, "0\n");
    CXFileLock f;
    ASSERT_EQ(f.open(first.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.close(), 0);
    ASSERT_EQ(f.open(second.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(f.namedMutex()->getName(), CXFile::mutexNameFromPath(second));
    FXNamedMutex firstsMutex(CXFile::mutexNameFromPath(first));
    EXPECT_TRUE(firstsMutex.TryLock()) << "the first file's mutex is not held any more";
    FXNamedMutex secondsMutex(CXFile::mutexNameFromPath(second));
    EXPECT_FALSE(secondsMutex.TryLock());
}
