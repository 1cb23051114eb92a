// Processes racing for one cache directory's lock: an open that waited while
// the directory was discarded or renamed, and a clean-up probe queued on the
// previous index while an update renames it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"

using namespace createopen;
using testsupport::ProcessSignal;

namespace {

// An update that stops just before its rename (it then holds the previous
// index's write lock) until the test lets it go.
struct PausingUpdater : CacheDirProbe {
    PausingUpdater(std::string previous, std::function<void()> pause)
        : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(0), previous_(std::move(previous)),
          pause_(std::move(pause)) {}
    // Called for the "renaming" line, right after the write-lock probe.
    long long getJobId() override {
        if (pause_ && getCacheDir() && previous_ == getCacheDir() && alreadyLocked()) {
            auto pause = std::move(pause_);
            pause_ = nullptr;
            pause();
        }
        return CacheDirProbe::getJobId();
    }
    std::string previous_;
    std::function<void()> pause_;
};

// A virtual clock that runs an action at the first wait.
struct ActingClock : platform::VirtualClock {
    explicit ActingClock(std::function<void()> action)
        : platform::VirtualClock(kNow), action_(std::move(action)) {}
    void sleepMs(unsigned long ms) override {
        platform::VirtualClock::sleepMs(ms);
        if (action_) {
            auto action = std::move(action_);
            action_ = nullptr;
            action();
        }
    }
    std::function<void()> action_;
};

// Whether some process waits in the kernel for a lock on this inode.
bool lockWaiterOn(ino_t ino) {
    const std::string tag = ":" + std::to_string(ino) + " ";
    std::istringstream locks(testsupport::readFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(tag) != std::string::npos)
            return true;
    }
    return false;
}

void ignoreSignal(int) {}

// Runs the calling process on the lowest CPU it may use: two processes
// pinned so share one CPU, and the one woken first runs first.
void pinToOneCpu() {
    cpu_set_t allowed;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            ::sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

using LockRaceScenarioTest = CacheDirFixture;

TEST_F(LockRaceScenarioTest, AnOpenThatWaitedOnADiscardOrARenameTakesTheNextIndex) {
    for (const bool rename : {false, true}) {
        SCOPED_TRACE(rename ? "rename" : "discard");
        deleteDir(root.c_str());
        makeDir(100, kClosed);
        makeDir(200, "2\n1699990000    \n");
        testsupport::writeFile(dirPath(200) + "/table", "rows");
        ProcessSignal holding, go, done, finish;
        // Holds directory 200's write lock, then discards it or renames it
        // (an update that keeps the lock across the rename).
        pid_t mover = testsupport::forkChild([&] {
            if (rename) {
                platform::KeyStore::set("Depot", "sSPACESAVER", "y");
                CacheDirProbe::rearmFirstConstruction();
                platform::VirtualClock clock(kNow);
                PausingUpdater dir(dirPath(200), [&] {
                    holding.post();
                    go.wait();
                });
                dir.initialize("client1");
                CHILD_CHECK(dir.update(false, 0, false));
                done.post();
                finish.wait();
                return dir.close(false);
            }
            CacheDirProbe dir(200);
            dir.initialize("client1");
            CHILD_CHECK(dir.reopenStateFile() == 0 && dir.writeLock(0) == 1);
            holding.post();
            go.wait();
            CHILD_CHECK(dir.discard(true) == 0);
            done.post();
            return 0;
        });
        ASSERT_TRUE(holding.wait());
        EXPECT_EQ(testsupport::runInChild([&] {
                      // Directory 200 is being read: open waits for its lock,
                      // and lets the mover act while it waits.
                      ActingClock clock([&] {
                          go.post();
                          done.wait();
                      });
                      CacheDirProbe dir(0);
                      dir.initialize("client1");
                      const char* path = dir.open(0, false);
                      CHILD_CHECK(path && std::string(path) == dirPath(100));
                      return dir.close(false);
                  }),
                  0);
        finish.post();
        EXPECT_EQ(testsupport::waitChild(mover), 0);
    }
}

TEST_F(LockRaceScenarioTest, AWaiterForTheLockNeverGetsAnIndexUnlockedOrAHusk) {
    // The mover takes the write lock of 100, calls hold () while it has it,
    // renames it by an update or discards it, then calls done () with
    // whatever it still holds.
    using Step = std::function<void()>;
    using Mover = std::function<bool(const Step& hold, const Step& done)>;
    const Mover update = [this](const Step& hold, const Step& done) {
        platform::KeyStore::set("Depot", "sSPACESAVER", "y");
        CacheDirProbe::rearmFirstConstruction();
        platform::VirtualClock clock(kNow);
        PausingUpdater dir(dirPath(100), hold);
        dir.initialize("client1");
        if (!dir.update(false, 0, false))
            return false;
        done();
        return true;
    };
    const Mover discard = [](const Step& hold, const Step& done) {
        CacheDirProbe dir(100);
        dir.initialize("client1");
        if (dir.reopenStateFile() != 0 || dir.writeLock(0) != 1)
            return false;
        hold();
        if (dir.discard(true) != 0)
            return false;
        done();
        return true;
    };
    for (const auto& [name, move] : {std::make_pair("update", update), {"discard", discard}}) {
        SCOPED_TRACE(name);
        deleteDir(root.c_str());
        makeDir(100, kClosed);
        struct stat st;
        ASSERT_EQ(::stat(statePath(100).c_str(), &st), 0);
        ProcessSignal queue, moved, finish;
        // A clean-up that opened the State file and waits in the kernel for
        // its write lock. Woken when the lock is released, it runs before
        // the mover goes on (best effort without the privilege); granted a
        // file still linked, it could take the directory for its own.
        pid_t prober = testsupport::forkChild([&] {
            pinToOneCpu();
            struct sched_param rt {};
            rt.sched_priority = 1;
            ::sched_setscheduler(0, SCHED_FIFO, &rt);
            struct sigaction sa {};
            sa.sa_handler = ignoreSignal; // no SA_RESTART: the wait ends with EINTR
            ::sigaction(SIGUSR1, &sa, nullptr);
            CHILD_CHECK(queue.wait());
            const int fd = ::open(statePath(100).c_str(), O_RDWR | O_CLOEXEC);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            if (::fcntl(fd, F_OFD_SETLKW, &fl) != 0)
                return errno == EINTR ? 0 : 2;
            struct stat held;
            return ::fstat(fd, &held) == 0 && held.st_nlink == 0 ? 0 : 1;
        });
        pid_t mover = testsupport::forkChild([&] {
            pinToOneCpu();
            const bool ok = move(
                [&] {
                    queue.post();
                    for (int i = 0; i < 5000 && !lockWaiterOn(st.st_ino); ++i)
                        ::usleep(1000);
                },
                [&] {
                    moved.post();
                    finish.wait();
                });
            return ok ? 0 : 1;
        });
        ASSERT_TRUE(moved.wait());
        ::kill(prober, SIGUSR1);
        EXPECT_EQ(testsupport::waitChild(prober), 0) << "granted a lock on a usable directory";
        finish.post();
        EXPECT_EQ(testsupport::waitChild(mover), 0);
    }
}

TEST_F(LockRaceScenarioTest, AnExactOpenOfADirectoryBeingWrittenFailsBusy) {
    makeDir(299, kClosed);
    makeDir(300, "3\n1699990000    \n");
    lifecycle::LockHolder writer(300, true);
    ASSERT_TRUE(writer.holding());
    auto dir = make(0);
    EXPECT_EQ(dir->open(300, true), nullptr);
    EXPECT_EQ(dir->getErrno(), -4);
    EXPECT_EQ(testsupport::readFile(statePath(299)), kClosed) << "299 was not asked for";
    EXPECT_EQ(writer.release(), 0);
}

} // namespace
