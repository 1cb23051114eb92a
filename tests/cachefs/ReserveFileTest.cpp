// The reserve file under killed writers, full disks, read errors, hostile
// lines and deletion, and what a process's reservations leave in it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cachefs/JobResultsCacheFs.h"
#include "cachefs/TestCacheFs.h"
#include "platform/CNMessageBase.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"
#include "support/Seccomp.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr long kNow = 1700000000;
constexpr unsigned long long kMB = 1024 * 1024;
const std::string kT = std::to_string(kNow);

// The lines of a file, without the blank ones an interrupted rewrite pads with.
std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(readFile(path));
    for (std::string l; std::getline(in, l);) {
        if (l.find_first_not_of(' ') != std::string::npos)
            out.push_back(l);
    }
    return out;
}

std::string ownLine(pid_t pid, long blocks) {
    return "42:" + std::to_string(pid) + " " + std::to_string(blocks) + " " + kT;
}

struct ReserveFileTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string reserveFile = idx + "/OX_Index/reserveFile";
    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        KeyStore::set("idxcache.clients", "client1", "42");
        KeyStore::set("Depot", "sDISABLERESERVE", "NO");
        ::mkdir((idx + "/OX_Index").c_str(), 0755);
    }
    // body in a child on a simulated volume, whose central clock reads kNow;
    // the child ends like a killed job, without the last object's release.
    pid_t start(const std::function<int(TestCacheFs&)>& body,
                unsigned long long capacity = 1024 * kMB) {
        return testsupport::forkChild([=] {
            platform::SimulatedVolume volume(idx, capacity, 4096);
            platform::VirtualClock clock(kNow - 50);
            TestCacheFs fs;
            fs.centralTime = kNow;
            fs.initialize("client1");
            ::_exit(fs.isInitialized() ? body(fs) : 99);
            return 0;
        });
    }
};

// Killed between the write at offset 0 and the truncate: the file holds the
// new lines (and blanks), whether the new content is shorter or longer.
TEST_F(ReserveFileTest, AWriterKilledBeforeTheTruncateLeavesTheNewLines) {
    const std::string live = "57:230 700 " + kT;
    const std::string stale = "57:" + std::string(200, '1') + " 9 " + std::to_string(kNow - 90000);
    for (const std::string& old : {live + "\n" + stale + "\n", live + "\n"}) {
        writeFile(reserveFile, old);
        pid_t writer = testsupport::forkChild([] {
            ::setenv("IDXCACHE_CRASH_AT", "reserve.rewrite:1", 1);
            ::execl(IDXCACHE_EXEC_HELPER, "exec_helper", "reserve", "5", kT.c_str(), nullptr);
            return 127;
        });
        ASSERT_EQ(testsupport::waitChild(writer), platform::IDXCACHE_CRASH_EXIT);
        EXPECT_EQ(linesOf(reserveFile), (std::vector<std::string>{live, ownLine(writer, 5)}));
        // The next reservation skips the blanks without a word and drops them.
        pid_t next = start([&](TestCacheFs& fs) {
            platform::TestSink sink;
            return fs.reserveOnDisk(7, 2, "17", 100, false) == 1 && !sink.hasLine("no blocks") ? 0
                                                                                               : 1;
        });
        EXPECT_EQ(testsupport::waitChild(next), 0);
        EXPECT_EQ(readFile(reserveFile), live + "\n" + ownLine(next, 7) + "\n");
    }
}

TEST_F(ReserveFileTest, AWriteCutShortByTheFileSizeLimitLeavesTheOldContent) {
    const std::string old = "57:230 700 " + kT + "\n";
    writeFile(reserveFile, old);
    EXPECT_EQ(testsupport::waitChild(start([&](TestCacheFs& fs) {
                  const rlimit limit = {old.size() + 4, old.size() + 4};
                  ::signal(SIGXFSZ, SIG_IGN);
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  return fs.reserve(kMB, 2, "17", 100) == -1 ? 0 : 1;
              })),
              0);
    EXPECT_EQ(readFile(reserveFile), old);
}

// Lines the rewrite drops (more than a day old, no process of this host,
// a count beyond the block range) promise no space, also when it runs short.
TEST_F(ReserveFileTest, LinesTheRewriteDropsNeitherCountNorStay) {
    const std::string stale = "57:1 900000 " + std::to_string(kNow - 86401);
    const std::string pid0 = "42:0 900000 " + kT, huge = "57:2 18446744073709551615 " + kT;
    const std::string beforeEpoch = "57:4 900000 -27000666666666666666666";
    struct Case {
        std::string live;
        int result;
        size_t cleanUps;
    };
    for (const Case& c : {Case{"57:3 10 " + kT, 1, 0}, Case{"57:3 9000 " + kT, 0, 1}}) {
        SCOPED_TRACE(c.live);
        writeFile(reserveFile,
                  stale + "\n" + pid0 + "\n" + huge + "\n" + beforeEpoch + "\n" + c.live + "\n");
        pid_t child = start(
            [&](TestCacheFs& fs) {
                const int rc = fs.reserveOnDisk(5000, 2, "17", 100, false);
                return rc == c.result && fs.calls.size() == c.cleanUps ? 0 : 1;
            },
            40 * kMB);
        ASSERT_EQ(testsupport::waitChild(child), 0);
        std::vector<std::string> want = {c.live};
        if (c.result == 1)
            want.push_back(ownLine(child, 5000));
        EXPECT_EQ(linesOf(reserveFile), want);
    }
}

TEST_F(ReserveFileTest, AReadErrorLeavesEveryLineInPlace) {
    const std::string others = "57:230 700 " + kT + "\n57:231 800 " + kT + "\n";
    writeFile(reserveFile, others);
    pid_t child = start([](TestCacheFs& fs) {
        if (fs.reserveOnDisk(5, 2, "17", 100, false) != 1)
            return 1;
        // The next descriptor the process opens is the reserve file's (the
        // first reservation opened the rest for good): its reads fail.
        const int next = ::open("/dev/null", O_RDONLY);
        ::close(next);
        if (!testsupport::failSyscall(SYS_read, 0, static_cast<unsigned long>(next), EIO))
            return 77;
        try {
            fs.reserveOnDisk(6, 2, "17", 100, false);
        } catch (const char*) {
            return 0;
        }
        return 2;
    });
    const int rc = testsupport::waitChild(child);
    if (rc == 77)
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(reserveFile), others + ownLine(child, 5) + "\n");
}

// What reserve took, pad included, release gives back; the single mode's
// next reservation replaces the line anyway.
TEST_F(ReserveFileTest, AReservationAndItsReleaseLeaveTheLineWhereItWas) {
    struct Case {
        bool multi;
        unsigned long long bytes;
        long before; // the line's blocks before and after; 0: no line
    };
    for (const Case& c :
         {Case{true, 10 * kMB, 100}, Case{true, kMB, 100}, Case{false, 10 * kMB, 0}}) {
        writeFile(reserveFile, "");
        pid_t child = start([&](TestCacheFs& fs) {
            TestCacheFs::setMultiThreaded(c.multi);
            if (c.before && fs.reserveOnDisk(c.before, 2, "17", 100, false) != 1)
                return 1;
            return fs.reserve(c.bytes, 2, "17", 100) == 1 && fs.release(c.bytes, false) == 0 ? 0
                                                                                             : 2;
        });
        ASSERT_EQ(testsupport::waitChild(child), 0);
        EXPECT_EQ(readFile(reserveFile), c.before ? ownLine(child, c.before) + "\n" : "")
            << c.multi << " " << c.bytes;
    }
}

// A clock that runs an action at every sleep (a wait for a lock).
class StepClock : public platform::VirtualClock {
public:
    explicit StepClock(std::function<void()> step) : VirtualClock(kNow - 50), step_(step) {}
    void sleepMs(unsigned long ms) override {
        step_();
        VirtualClock::sleepMs(ms);
    }

private:
    std::function<void()> step_;
};

// The administrator deletes the reserve file while a reservation waits for
// its lock and another process makes and locks a new one: the waiter must
// take the new file's lock, not the deleted file's.
TEST_F(ReserveFileTest, AReserveFileDeletedWhileAReservationWaitsIsFollowed) {
    writeFile(reserveFile, "");
    testsupport::ProcessSignal waiting, proceed;
    // Forked before the test opens the file, so that it shares none of its locks.
    pid_t waiter = testsupport::forkChild([&] {
        platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
        StepClock clock([&] {
            waiting.post();
            proceed.wait();
        });
        TestCacheFs fs;
        fs.centralTime = kNow;
        fs.initialize("client1");
        proceed.wait();
        ::_exit(fs.reserveOnDisk(5, 2, "17", 100, false) == 1 ? 0 : 1);
        return 0;
    });
    CXFile old, fresh;
    ASSERT_EQ(old.open(reserveFile.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(old.lock(sfLockExclusive, 0), 1);
    proceed.post();
    ASSERT_TRUE(waiting.wait());
    ::unlink(reserveFile.c_str());
    ASSERT_EQ(fresh.open(reserveFile.c_str(), sfOpenCreate), 0);
    ASSERT_EQ(fresh.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(fresh.putLine(("57:230 700 " + kT).c_str(), true), 0);
    old.close();
    proceed.post();
    EXPECT_TRUE(waiting.wait()) << "the waiter must wait for the new file's holder";
    fresh.close();
    proceed.post();
    EXPECT_EQ(testsupport::waitChild(waiter), 0);
    EXPECT_EQ(readFile(reserveFile), "57:230 700 " + kT + "\n" + ownLine(waiter, 5) + "\n");
}

TEST_F(ReserveFileTest, OverflowingCountsAndForgedRequesterIdsAreRefused) {
    pid_t child = start([&](TestCacheFs& fs) {
        platform::TestSink sink;
        if (fs.reserve(ULLONG_MAX - 1000, 2, "17", 100) != -1 ||
            !sink.hasLine("reserve(): reservation too large") || !readFile(reserveFile).empty())
            return 1;
        CNMessageBase request;
        auto serve = [&](const char* pid) {
            request.setString(cacheops::kPidField, cacheops::kPidTag, cacheops::kBaseClassKey,
                              cacheops::kPidFieldKey, pid);
            fs.setRequestBeingServed(&request);
            try {
                return fs.reserveOnDisk(5, 2, "17", 100, false);
            } catch (const char*) {
                return -1;
            }
        };
        if (serve("77 1\n57:1") != -1 || serve("12345678901") != -1 || serve("4321") != 1)
            return 2;
        return readFile(reserveFile) == "42:4321 5 " + kT + "\n" ? 0 : 3;
    });
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

// A single-threaded process with an index object and a job-results object:
// blocks reserved on the index root never answer a job-results reservation.
TEST_F(ReserveFileTest, EachReserveFileHasItsOwnSingleModeBuffer) {
    const std::string results = home.sub("jr", true);
    KeyStore::set(kPlatformSection, "JobResultsDir", results);
    pid_t child = start([&](TestCacheFs& index) {
        TestCacheFs::setMultiThreaded(false);
        JobResultsCacheFs jobResults(kJobResultsAppType, TCacheTypeTape, false);
        jobResults.initialize("client1");
        if (index.reserve(10 * kMB, 2, "17", 100) != 1 ||
            jobResults.reserve(kMB, 0, nullptr, 0) != 1)
            return 1;
        if (linesOf(results + "/OX_JobResults/reserveFile").size() != 1)
            return 2;
        ::unlink(reserveFile.c_str());
        return index.reserve(kMB, 2, "17", 100) == 1 && !testsupport::exists(reserveFile) ? 0 : 3;
    });
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

// The thread mode is the host's: a job-results object leaves it as it was. In
// either mode the last object on a reserve file gives back the process's line.
TEST_F(ReserveFileTest, TheHostChoosesTheThreadModeAndTheLastObjectReleasesTheLine) {
    for (bool multi : {false, true}) {
        writeFile(reserveFile, "");
        EXPECT_EQ(testsupport::runInChild([&] {
                      platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
                      platform::VirtualClock clock(kNow - 50);
                      TestCacheFs::setMultiThreaded(multi);
                      { JobResultsCacheFs results(kJobResultsAppType, TCacheTypeTape, false); }
                      CHILD_CHECK(CacheFsBase::isMultiThreaded() == multi);
                      {
                          TestCacheFs fs;
                          fs.centralTime = kNow;
                          fs.initialize("client1");
                          CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                          CHILD_CHECK(linesOf(reserveFile).size() == 1);
                      }
                      CHILD_CHECK(linesOf(reserveFile).empty());
                      return 0;
                  }),
                  0)
            << "multi=" << multi;
    }
}

} // namespace
