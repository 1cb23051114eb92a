#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cachefs/TestCacheFs.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::writeFile;

// Checks inside forked children: report the failed condition and leave the child.
#define CHILD_CHECK(cond)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

namespace {

constexpr long kCentral = 1700000000;
constexpr unsigned long long kMB = 1024 * 1024;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        out.push_back(l);
    return out;
}

std::string me() {
    return std::to_string(::getpid());
}

// A pid that surely belongs to no process: a child that has been reaped.
std::string deadPid() {
    pid_t p = testsupport::forkChild([] { return 0; });
    testsupport::waitChild(p);
    return std::to_string(p);
}

struct ReserveTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string reserveFile = idx + "/OX_Index/reserveFile";
    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        KeyStore::set("idxcache.clients", "client1", "42");
        KeyStore::set("Depot", "sDISABLERESERVE", "NO");
    }
    // A large simulated volume, a virtual clock and an initialised cache
    // filesystem whose central clock reads kCentral; run inside a child.
    int withCacheFs(const std::function<int(TestCacheFs&, platform::SimulatedVolume&)>& body,
                    unsigned long long capacity = 1024 * kMB) {
        return runInChild([&] {
            platform::SimulatedVolume volume(idx, capacity, 4096);
            platform::VirtualClock clock(kCentral - 50);
            TestCacheFs fs;
            fs.centralTime = kCentral;
            fs.initialize("client1");
            if (!fs.isInitialized())
                return 2;
            return body(fs, volume);
        });
    }
};

TEST_F(ReserveTest, WithoutTheSwitchNothingIsReservedOnDisk) {
    KeyStore::remove("Depot", "sDISABLERESERVE");
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                  CHILD_CHECK(fs.reserveOnDisk(5, 2, "17", 100, false) == 1);
                  CHILD_CHECK(fs.release(10 * kMB, false) == 0);
                  return 0;
              }),
              0);
    EXPECT_FALSE(testsupport::exists(reserveFile));
}

TEST_F(ReserveTest, FirstReservationWritesOneLineAndSmallerOnesUseTheBuffer) {
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  platform::TestSink sink;
                  TestCacheFs::setMultiThreaded(false);
                  CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                  CHILD_CHECK(sink.hasLine("sDISABLERESERVE set to NO - space reservation is "
                                           "enabled"));
                  // (10485760 + 2500000) / 4096
                  CHILD_CHECK(readFile(reserveFile) ==
                              "42:" + me() + " 3170 " + std::to_string(kCentral) + "\n");
                  CHILD_CHECK(fs.getLastReservedBlocks() == 3170);
                  CHILD_CHECK(CacheFsBase::getReserveBuffer() == 3170ull * 4096);
                  ::unlink(reserveFile.c_str());
                  CHILD_CHECK(fs.reserve(kMB, 2, "17", 100) == 1);
                  CHILD_CHECK(!testsupport::exists(reserveFile));
                  CHILD_CHECK(CacheFsBase::getReserveBuffer() == 3170ull * 4096 - kMB);
                  CHILD_CHECK(fs.getLastReservedBytes() == kMB);
                  return 0;
              }),
              0);
}

TEST_F(ReserveTest, SingleModeReplacesTheLineMultiModeAddsToIt) {
    for (bool multi : {false, true}) {
        EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                      TestCacheFs::setMultiThreaded(multi);
                      CHILD_CHECK(fs.reserveOnDisk(3170, 2, "17", 100, false) == 1);
                      CHILD_CHECK(fs.reserveOnDisk(100, 2, "17", 100, false) == 1);
                      std::string expect = multi ? " 3270 " : " 100 ";
                      CHILD_CHECK(readFile(reserveFile) ==
                                  "42:" + me() + expect + std::to_string(kCentral) + "\n");
                      // Giving blocks back never goes below zero and drops the line.
                      CHILD_CHECK(fs.reserveOnDisk(-5000, 0, nullptr, 0, false) == 1);
                      CHILD_CHECK(readFile(reserveFile).empty());
                      CHILD_CHECK(CacheFsBase::getReserveBuffer() == 0);
                      return 0;
                  }),
                  0)
            << "multi=" << multi;
    }
}

TEST_F(ReserveTest, StaleLinesAreDroppedAndLiveOnesKept) {
    std::string dead = deadPid(), live = me();
    std::string now = std::to_string(kCentral);
    ::mkdir((idx + "/OX_Index").c_str(), 0755);
    writeFile(reserveFile, "42:" + dead + " 500 " + now + "\n" + // dead, same host
                               "57:230 700 " + std::to_string(kCentral - 100) + "\n" +
                               "57:231 700 " + std::to_string(kCentral - 86401) + "\n" +
                               "57:232 800\n" +     // remote, no time
                               live + " 300 99\n" + // no host: same host
                               "42:" + live + " 10 " + std::to_string(kCentral - 100000) + "\n");
    KeyStore::set(kPlatformSection, "DebugLevel", "3");
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  platform::TestSink sink;
                  CHILD_CHECK(fs.reserveOnDisk(5, 2, "17", 100, false) == 1);
                  std::vector<std::string> got = lines(readFile(reserveFile));
                  std::vector<std::string> want = {"57:230 700 " + std::to_string(kCentral - 100),
                                                   "57:232 800", live + " 300",
                                                   "42:" + me() + " 5 " + now};
                  CHILD_CHECK(got == want);
                  CHILD_CHECK(sink.hasLine("time " + std::to_string(kCentral - 86401) + ", now " +
                                           now + ", discarding '57:231 700 " +
                                           std::to_string(kCentral - 86401) + "' (remote)"));
                  CHILD_CHECK(sink.hasLine("' (local)"));
                  CHILD_CHECK(sink.hasLine("reserveOnDisk: not our process and not running, "
                                           "discarding"));
                  return 0;
              }),
              0);
}

TEST_F(ReserveTest, MalformedLinesAreDroppedWithTheirMessages) {
    std::string live = std::to_string(::getppid());
    ::mkdir((idx + "/OX_Index").c_str(), 0755);
    writeFile(reserveFile, "nospace\n"
                           "\n"
                           "42:" +
                               live + " 11 " + std::to_string(kCentral) + "\n" +
                               "42:123 x\n"
                               "42:abc 5\n"
                               "\x01\x02 \x03\n" +
                               std::string(3000, 'z') + " 1\n" + "57:1 12\n");
    EXPECT_EQ(
        withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
            platform::TestSink sink;
            CHILD_CHECK(fs.reserveOnDisk(5, 2, "17", 100, false) == 1);
            std::vector<std::string> got = lines(readFile(reserveFile));
            std::vector<std::string> want = {"42:" + live + " 11 " + std::to_string(kCentral),
                                             "57:1 12",
                                             "42:" + me() + " 5 " + std::to_string(kCentral)};
            CHILD_CHECK(got == want);
            CHILD_CHECK(sink.hasLine("invalid line 'nospace' in reserve file " + reserveFile));
            CHILD_CHECK(sink.hasLine("invalid line '' in reserve file"));
            CHILD_CHECK(
                sink.hasLine("no blocks field in '42:123 x' in reserve file " + reserveFile));
            CHILD_CHECK(sink.hasLine("no blocks field in '\x01\x02 \x03'"));
            CHILD_CHECK(
                sink.hasLine("invalid pid field in '42:abc 5' in reserve file " + reserveFile));
            CHILD_CHECK(sink.hasLine("getLine from " + reserveFile + " failed, code -2"));
            return 0;
        }),
        0);
    // An empty file is fine too.
    writeFile(reserveFile, "");
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  CHILD_CHECK(fs.reserveOnDisk(5, 2, "17", 100, false) == 1);
                  CHILD_CHECK(lines(readFile(reserveFile)).size() == 1);
                  return 0;
              }),
              0);
}

TEST_F(ReserveTest, ReleaseRules) {
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  TestCacheFs::setMultiThreaded(false);
                  CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                  std::string before = readFile(reserveFile);
                  CHILD_CHECK(fs.release(1000000, false) == 0);
                  CHILD_CHECK(readFile(reserveFile) == before);
                  // Give back 4 MB: 1024 blocks fewer.
                  CHILD_CHECK(fs.release(4 * kMB, false) == 0);
                  CHILD_CHECK(readFile(reserveFile) ==
                              "42:" + me() + " 2146 " + std::to_string(kCentral) + "\n");
                  CHILD_CHECK(fs.getLastReservedBytes() == 6 * kMB);
                  // The file vanished meanwhile: the release writes no own line.
                  ::unlink(reserveFile.c_str());
                  CHILD_CHECK(fs.release(8 * kMB, false) == 0);
                  CHILD_CHECK(readFile(reserveFile).empty());
                  CHILD_CHECK(CacheFsBase::getReserveBuffer() == 0);
                  CHILD_CHECK(fs.getLastReservedBytes() == 0);
                  return 0;
              }),
              0);
}

TEST_F(ReserveTest, LowSpaceCallsCleanUpAndFailsWhenItFreesTooLittle) {
    std::string other = "57:230 700 " + std::to_string(kCentral) + "\n";
    ::mkdir((idx + "/OX_Index").c_str(), 0755);
    writeFile(reserveFile, other);
    // 40 MB volume, 30 MB stored: 10 MB free less 700 blocks promised elsewhere.
    writeFile(idx + "/filler", std::string(30 * kMB, 'f'));
    EXPECT_EQ(withCacheFs(
                  [&](TestCacheFs& fs, platform::SimulatedVolume&) {
                      platform::TestSink sink;
                      fs.setJobId(77);
                      fs.onCleanUp = [](unsigned long) { return 0; };
                      CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 0);
                      CHILD_CHECK(readFile(reserveFile) == other);
                      CHILD_CHECK(fs.calls.size() == 1);
                      const CleanUpCall& c = fs.calls[0];
                      CHILD_CHECK(c.numBlocks == 3170 && !c.removeAllOld && c.logEvents &&
                                  c.useAccessTime && c.specificRealm == 0 &&
                                  c.specificApp == "NULL" && c.dontRemoveTime == 0 &&
                                  c.realmNumber == 2 && c.appNumber == "17" && c.timeStamp == 100);
                      CHILD_CHECK(sink.hasLine("reserveOnDisk: not enough space (1859 < 3170), "
                                               "calling cleanUp"));
                      CHILD_CHECK(sink.hasLine("reserveOnDisk: still not enough space, exit"));
                      auto causes = sink.pendingCauses();
                      CHILD_CHECK(causes.size() == 1 && causes[0].jobId == 77 &&
                                  causes[0].messageId == 0x0E00007B &&
                                  causes[0].messageType == 150);
                      // A clean-up that frees the filler lets the reservation through.
                      fs.onCleanUp = [&](unsigned long) {
                          ::unlink((idx + "/filler").c_str());
                          return 1;
                      };
                      CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                      CHILD_CHECK(lines(readFile(reserveFile)).size() == 2);
                      return 0;
                  },
                  40 * kMB),
              0);
}

TEST_F(ReserveTest, ABrokenReserveFileRaisesTheFailureEvent) {
    ::mkdir((idx + "/OX_Index").c_str(), 0755);
    ::mkdir(reserveFile.c_str(), 0755); // a directory cannot be opened for writing
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs, platform::SimulatedVolume&) {
                  platform::TestSink sink;
                  CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == -1);
                  CHILD_CHECK(sink.hasLine("cannot open reserve file " + reserveFile));
                  CHILD_CHECK(sink.hasLine("reserveOnDisk(): open reserveFile failed: errno="));
                  CHILD_CHECK(sink.hasLine("reserve(): reserveOnDisk() exception: errno="));
                  auto events = sink.events();
                  CHILD_CHECK(events.size() == 1 && events[0].number == 0x0E00004D &&
                              events[0].severity == "CRITICAL" && events[0].args.size() == 2 &&
                              events[0].args[0].value == "3170" &&
                              events[0].args[1].value == idx + "/OX_Index");
                  // At most twelve such events per object.
                  for (int i = 0; i < 20; ++i)
                      fs.reserve(10 * kMB, 2, "17", 100);
                  CHILD_CHECK(sink.countEvents(0x0E00004D) == 12);
                  return 0;
              }),
              0);
}

TEST_F(ReserveTest, DiskFreePercent) {
    TestCacheFs fs;
    platform::TestSink sink;
    EXPECT_EQ(fs.setDiskFree(20), 0);
    EXPECT_DOUBLE_EQ(fs.getFreeRatio(), 5.0);
    EXPECT_EQ(fs.setDiskFree(100), -1);
    EXPECT_EQ(fs.getDiskFree(), 20u);
    EXPECT_TRUE(sink.hasLine("setDiskFree:  invalid parameter 100 > 99 percent"));
    EXPECT_EQ(fs.setDiskFree(0), 0);
    EXPECT_DOUBLE_EQ(fs.getFreeRatio(), 0.0);
    EXPECT_TRUE(sameHost("", "x"));
    EXPECT_TRUE(sameHost("AbC", "aBc"));
    EXPECT_FALSE(sameHost("42", "57"));
    EXPECT_STREQ(bToS(true), "true");
    EXPECT_STREQ(bToS(false), "false");
}

TEST_F(ReserveTest, TheLastObjectReleasesTheProcesssLineInEitherMode) {
    for (bool multi : {false, true}) {
        EXPECT_EQ(runInChild([&] {
                      platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
                      TestCacheFs::setMultiThreaded(multi);
                      // Objects that never initialised, or initialised twice,
                      // must not skew the count of live objects.
                      { TestCacheFs never; }
                      {
                          TestCacheFs twice;
                          twice.initialize("client1");
                          twice.initialize("client1");
                      }
                      CHILD_CHECK(CacheFsBase::getNumObjects() == 0);
                      {
                          TestCacheFs fs;
                          fs.centralTime = kCentral;
                          fs.initialize("client1");
                          CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                          CHILD_CHECK(!readFile(reserveFile).empty());
                      }
                      CHILD_CHECK(readFile(reserveFile).empty());
                      return 0;
                  }),
                  0)
            << "multi=" << multi;
        ::unlink(reserveFile.c_str());
    }
}

// Every line of the file, read under a shared lock so no half-rewritten file is seen.
bool snapshotParses(const std::string& path, std::map<std::string, int>& owners) {
    CXFile f;
    if (f.open(path.c_str(), sfOpenRead, 0, 0) != 0)
        return true; // not created yet
    if (f.lock(sfLockShared, 60) != 1)
        return false;
    char buf[1100];
    int rc;
    owners.clear();
    while ((rc = f.getLine(buf, sizeof buf)) == 1) {
        char owner[256];
        unsigned long blocks;
        unsigned long long t;
        if (std::sscanf(buf, "%255s %lu %llu", owner, &blocks, &t) != 3)
            return false;
        ++owners[owner];
    }
    return rc == 0;
}

TEST_F(ReserveTest, EightProcessesReserveAndReleaseWithoutLosingOrDuplicatingLines) {
    const int kProcs = 8, kRounds = 10;
    platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.push_back(testsupport::forkChild([&] {
            TestCacheFs::setMultiThreaded(false);
            TestCacheFs fs;
            fs.centralTime = kCentral;
            fs.initialize("client1");
            for (int r = 0; r < kRounds; ++r) {
                CacheFsBase::setReserveBuffer(0);
                if (fs.reserve((r % 5 + 1) * kMB, 2, "17", 100) != 1)
                    return 1;
                if (fs.release(0, true) != 0)
                    return 2;
            }
            return 0;
        }));
    }
    bool parsed = true, single = true;
    for (int i = 0; i < 300; ++i) {
        std::map<std::string, int> owners;
        parsed &= snapshotParses(reserveFile, owners);
        for (const auto& o : owners)
            single &= o.second == 1;
    }
    for (pid_t k : kids)
        EXPECT_EQ(testsupport::waitChild(k), 0);
    EXPECT_TRUE(parsed);
    EXPECT_TRUE(single) << "at most one line per process";
    EXPECT_EQ(readFile(reserveFile), "");
}

TEST_F(ReserveTest, AKilledHoldersLineIsDroppedByTheNextReservation) {
    platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
    testsupport::ProcessSignal reserved;
    pid_t holder = testsupport::forkChild([&] {
        TestCacheFs fs;
        fs.centralTime = kCentral;
        fs.initialize("client1");
        if (fs.reserve(10 * kMB, 2, "17", 100) != 1)
            return 1;
        reserved.post();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(reserved.wait());
    ::kill(holder, SIGKILL);
    EXPECT_EQ(testsupport::waitChild(holder), 128 + SIGKILL);
    std::string content = readFile(reserveFile);
    ASSERT_NE(content.find("42:" + std::to_string(holder) + " 3170"), std::string::npos);
    // Lines of another host: one just under a day old, one just over, one without time.
    std::string young = "57:230 700 " + std::to_string(kCentral + 10 - 86400);
    std::string old = "57:231 700 " + std::to_string(kCentral + 10 - 86401);
    writeFile(reserveFile, content + young + "\n" + old + "\n57:232 9\n");
    EXPECT_EQ(runInChild([&] {
                  TestCacheFs fs;
                  fs.centralTime = kCentral + 10;
                  fs.initialize("client1");
                  CHILD_CHECK(fs.reserveOnDisk(7, 2, "17", 100, false) == 1);
                  std::vector<std::string> want = {
                      young, "57:232 9", "42:" + me() + " 7 " + std::to_string(kCentral + 10)};
                  CHILD_CHECK(lines(readFile(reserveFile)) == want);
                  return 0;
              }),
              0);
}

} // namespace
