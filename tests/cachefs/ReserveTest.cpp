// The reserve file: its lines, who may drop them, and many processes at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cachefs/CleanUpSupport.h"
#include "cachefs/TestCacheFs.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"

using cleanup::kMB;
using platform::KeyStore;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::writeFile;

namespace {

constexpr long kCentral = 1700000000;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

std::string me() {
    return std::to_string(::getpid());
}

struct ReserveTest : cleanup::Fixture {
    std::string reserveFile = root + "/reserveFile";
    void SetUp() override {
        cleanup::Fixture::SetUp();
        KeyStore::set("Depot", "sDISABLERESERVE", "NO");
        ::mkdir(root.c_str(), 0755);
    }
    // In a child: a simulated volume, a virtual clock and an initialised cache
    // filesystem whose central clock reads kCentral.
    int withCacheFs(const std::function<int(TestCacheFs&)>& body,
                    unsigned long long capacity = 1024 * kMB) {
        return runInChild([&] {
            platform::SimulatedVolume volume(idx, capacity, 4096);
            platform::VirtualClock clock(kCentral - 50);
            TestCacheFs fs;
            fs.centralTime = kCentral;
            fs.initialize("client1");
            return fs.isInitialized() ? body(fs) : 2;
        });
    }
};

TEST_F(ReserveTest, OneLinePerProcessReplacedOrAddedToAndReleased) {
    for (bool multi : {false, true}) {
        EXPECT_EQ(withCacheFs([&](TestCacheFs& fs) {
                      TestCacheFs::setMultiThreaded(multi);
                      // (10485760 + 2500000) / 4096 blocks
                      CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 1);
                      const std::string now = " " + std::to_string(kCentral) + "\n";
                      CHILD_CHECK(readFile(reserveFile) == "42:" + me() + " 3170" + now);
                      CHILD_CHECK(CacheFsBase::getReserveBuffer() == 3170ull * 4096);
                      // Single mode: a smaller one is served from the buffer.
                      CHILD_CHECK(multi || (fs.reserve(kMB, 2, "17", 100) == 1 &&
                                            readFile(reserveFile) == "42:" + me() + " 3170" + now));
                      CHILD_CHECK(fs.reserveOnDisk(100, 2, "17", 100, false) == 1);
                      CHILD_CHECK(readFile(reserveFile) ==
                                  "42:" + me() + (multi ? " 3270" : " 100") + now);
                      CHILD_CHECK(fs.release(1000000, false) == 0); // under a block: kept
                      CHILD_CHECK(lines(readFile(reserveFile)).size() == 1);
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

TEST_F(ReserveTest, StaleAndMalformedLinesAreDroppedAndLiveOnesKept) {
    pid_t deadPid = testsupport::forkChild([] { return 0; });
    testsupport::waitChild(deadPid);
    const std::string dead = std::to_string(deadPid), live = std::to_string(::getpid());
    const std::string now = std::to_string(kCentral);
    writeFile(reserveFile, "42:" + dead + " 500 " + now + "\n" + // dead, same host
                               "57:230 700 " + std::to_string(kCentral - 100) + "\n" +
                               "57:231 700 " + std::to_string(kCentral - 86401) + "\n" +
                               "57:232 800\n" +     // remote, no time
                               live + " 300 99\n" + // no host: same host
                               "nospace\n\n42:123 x\n42:abc 5\n\x01\x02 \x03\n" +
                               std::string(3000, 'z') + " 1\n" + "57:1 12\n");
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs) {
                  CHILD_CHECK(fs.reserveOnDisk(5, 2, "17", 100, false) == 1);
                  return lines(readFile(reserveFile)) ==
                                 std::vector<std::string>{
                                     "57:230 700 " + std::to_string(kCentral - 100), "57:232 800",
                                     live + " 300", "57:1 12", "42:" + me() + " 5 " + now}
                             ? 0
                             : 1;
              }),
              0);
}

TEST_F(ReserveTest, LowSpaceCallsCleanUpAndABrokenFileRaisesTheFailureEvent) {
    const std::string other = "57:230 700 " + std::to_string(kCentral) + "\n";
    writeFile(reserveFile, other);
    // 40 MB volume, 30 MB stored: 10 MB free less 700 blocks promised elsewhere.
    writeFile(idx + "/filler", std::string(30 * kMB, 'f'));
    EXPECT_EQ(withCacheFs(
                  [&](TestCacheFs& fs) {
                      platform::TestSink sink;
                      fs.setJobId(77);
                      CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == 0);
                      CHILD_CHECK(readFile(reserveFile) == other);
                      CHILD_CHECK(fs.calls.size() == 1);
                      const CleanUpCall& c = fs.calls[0];
                      CHILD_CHECK(c.numBlocks == 3170 && !c.removeAllOld && c.logEvents &&
                                  c.useAccessTime && c.specificRealm == 0 &&
                                  c.specificApp == "NULL" && c.dontRemoveTime == 0 &&
                                  c.realmNumber == 2 && c.appNumber == "17" && c.timeStamp == 100);
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

    ::unlink(reserveFile.c_str());
    ::mkdir(reserveFile.c_str(), 0755); // a directory cannot be opened for writing
    EXPECT_EQ(withCacheFs([&](TestCacheFs& fs) {
                  platform::TestSink sink;
                  CHILD_CHECK(fs.reserve(10 * kMB, 2, "17", 100) == -1);
                  CHILD_CHECK((cleanup::eventArgs(sink, 0x0E00004D) ==
                               cleanup::Args{{"3170", idx + "/OX_Index"}}));
                  CHILD_CHECK(sink.events()[0].severity == "CRITICAL");
                  for (int i = 0; i < 20; ++i) // at most twelve such events per object
                      fs.reserve(10 * kMB, 2, "17", 100);
                  CHILD_CHECK(sink.countEvents(0x0E00004D) == 12);
                  return 0;
              }),
              0);
    TestCacheFs fs;
    EXPECT_EQ(fs.setDiskFree(20), 0);
    EXPECT_DOUBLE_EQ(fs.getFreeRatio(), 5.0);
    // A caller may drop the answer: the warning is the operator's only sign.
    platform::TestSink sink;
    EXPECT_EQ(fs.setDiskFree(100), -1);
    EXPECT_TRUE(sink.hasLine("setDiskFree:  invalid parameter 100 > 99 percent"));
    EXPECT_EQ(fs.getDiskFree(), 20u);
}

TEST_F(ReserveTest, EightProcessesReserveAndReleaseWithoutLosingOrDuplicatingLines) {
    platform::SimulatedVolume volume(idx, 1024 * kMB, 4096);
    std::vector<pid_t> kids;
    for (int p = 0; p < 8; ++p) {
        kids.push_back(testsupport::forkChild([&] {
            TestCacheFs::setMultiThreaded(false);
            TestCacheFs fs;
            fs.centralTime = kCentral;
            fs.initialize("client1");
            for (int r = 0; r < 10; ++r) {
                CacheFsBase::setReserveBuffer(0);
                if (fs.reserve((r % 5 + 1) * kMB, 2, "17", 100) != 1 || fs.release(0, true) != 0)
                    return 1;
            }
            return 0;
        }));
    }
    // Every snapshot read under the shared lock parses, with one line per process.
    bool consistent = true;
    for (int i = 0; i < 300; ++i) {
        CXFile f;
        if (f.open(reserveFile.c_str(), sfOpenRead) != 0)
            continue;
        consistent &= f.lock(sfLockShared, 60) == 1;
        std::map<std::string, int> owners;
        char buf[1100], owner[256];
        unsigned long blocks;
        unsigned long long t;
        while (f.getLine(buf, sizeof buf) == 1) {
            consistent &= std::sscanf(buf, "%255s %lu %llu", owner, &blocks, &t) == 3;
            consistent &= ++owners[owner] == 1;
        }
    }
    for (pid_t k : kids)
        EXPECT_EQ(testsupport::waitChild(k), 0);
    EXPECT_TRUE(consistent);
    EXPECT_EQ(readFile(reserveFile), "");
}

} // namespace
