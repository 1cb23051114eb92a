#include <sys/stat.h>
#include <unistd.h>

#include "jobresults/ResultsSupport.h"
#include "jobresults/StoreResults.h"
#include "platform/Env.h"
#include "port/CXFile.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct StoreResultsTest : ResultsTest {
    const long long job = 5;
    std::string dir() const { return jobDir(job); }
};

TEST_F(StoreResultsTest, OpenFileAppendsOrTruncatesAndKeepsTheRestoreMap) {
    {
        StoreResults w(2, job, false, "client1");
        ASSERT_EQ(w.openFile(RF_BACKUP, true, true), 0);
        ASSERT_EQ(w.putLine(std::string(99, 'b').c_str(), false), 0);
        ASSERT_EQ(w.closeFile(), 0);
    }
    StoreResults w(2, job, false, "client1");
    ASSERT_EQ(w.openFile(RF_BACKUP, false, false), 0);
    EXPECT_EQ(w.getCurOffset(), 100u);
    EXPECT_FALSE(exists(dir() + "/1.map"));
    ASSERT_EQ(w.putLine("", false), 0);
    EXPECT_EQ(w.getCurOffset(), 101u);
    ASSERT_EQ(w.closeFile(), 0);

    writeFile(dir() + "/restore.out", "old\n");
    ASSERT_EQ(w.openFile(RF_RESTORE, false, true), 0);
    EXPECT_TRUE(w.isMapValid());
    EXPECT_EQ(readFile(dir() + "/restore.out"), "");
    ASSERT_EQ(w.setRestoreStatusOnObject("a\tb\nc", 3, false), 0);
    ASSERT_EQ(w.closeFile(), 0);
    EXPECT_EQ(readFile(dir() + "/restore.out"), "a b c 3\n");
    EXPECT_EQ(mapOffsets(dir() + "/2.map"), std::vector<uint64_t>{0});
}

TEST_F(StoreResultsTest, RestoreResultsReachTheDiskEveryTwentyLinesOrKilobyte) {
    struct Case {
        size_t lineLength;
        int lines;
        size_t onDisk; // bytes another process sees before close
    };
    const Case cases[] = {
        {10, 25, 20 * 11}, // the 20th line forces the flush
        {4, 45, 40 * 5},   // each line counts as 5 bytes: every 20 lines
        {200, 7, 6 * 201}, // 1,206 bytes > 1,023 at the 6th line
    };
    for (const Case& c : cases) {
        StoreResults w(2, job, false, "client1");
        ASSERT_EQ(w.openFile(RF_RESTORE, false, true), 0);
        for (int i = 0; i < c.lines; ++i)
            ASSERT_EQ(w.putLine(std::string(c.lineLength, 'r').c_str(), false), 0);
        const std::string path = dir() + "/restore.out";
        EXPECT_EQ(
            testsupport::runInChild([&] { return static_cast<int>(readFile(path).size() / 5); }),
            static_cast<int>(c.onDisk / 5))
            << c.lineLength;
        EXPECT_EQ(mapOffsets(dir() + "/2.map").size() * 5, readFile(dir() + "/2.map").size());
        ASSERT_EQ(w.closeFile(), 0);
    }
}

TEST_F(StoreResultsTest, RawNamesOfOneProcessNeverCollide) {
    platform::VirtualClock clock;
    StoreResults a(2, job, false, "client1"), b(2, job, false, "client1");
    std::string first, second;
    ASSERT_EQ(a.openRaw(RF_BACKUP, first), 0);
    ASSERT_EQ(b.openRaw(RF_BACKUP, second), 0);
    const std::string stem = dir() + "/backup_" + std::to_string(::getpid()) + "_";
    EXPECT_EQ(first, stem + "1700000000");
    EXPECT_EQ(second, stem + "1700000001");
    EXPECT_TRUE(exists(first) && exists(second));
    EXPECT_EQ(readFile(dir() + "/State"), "0\n1700000000\n");
}

TEST_F(StoreResultsTest, RawWritersShareTheStateLockAndTheMergerWaitsForAll) {
    const int kWriters = 4;
    testsupport::ProcessSignal ready[kWriters];
    testsupport::ProcessSignal done;
    pid_t pids[kWriters];
    for (int i = 0; i < kWriters; ++i) {
        pids[i] = testsupport::forkChild([&, i] {
            StoreResults w(2, job, false, "client1");
            std::string raw;
            CHILD_CHECK(w.openRaw(RF_BACKUP, raw) == 0);
            writeFile(raw, "line of " + std::to_string(i) + "\n");
            ready[i].post();
            CHILD_CHECK(done.wait());
            return 0;
        });
    }
    for (auto& r : ready)
        ASSERT_TRUE(r.wait());
    const std::string state = dir() + "/State";
    EXPECT_EQ(readFile(state).substr(0, 2), "0\n");
    EXPECT_EQ(testsupport::runInChild([&] {
                  CXFile f;
                  CHILD_CHECK(f.open(state.c_str(), sfOpenReadWrite) == 0);
                  CHILD_CHECK(f.lock(sfLockShared, 0) == 1 && f.unlock() == 0);
                  return f.lock(sfLockExclusive, 0);
              }),
              0)
        << "shared with the writers, exclusive only after them";
    for (int i = 0; i < kWriters; ++i)
        done.post();
    for (pid_t p : pids)
        EXPECT_EQ(testsupport::waitChild(p), 0);
    CXFile merger;
    ASSERT_EQ(merger.open(state.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(merger.lock(sfLockExclusive, 0), 1);
}

TEST_F(StoreResultsTest, AStateFileThatIsALinkIsNeverWrittenThrough) {
    StoreResults w(2, job, false, "client1");
    ASSERT_EQ(w.openFile(RF_BACKUP, false, true), 0);
    ASSERT_EQ(w.closeFile(), 0);
    const std::string outside = home.sub("outside");
    ::unlink((dir() + "/State").c_str());
    ASSERT_EQ(::symlink(outside.c_str(), (dir() + "/State").c_str()), 0);
    std::string raw;
    EXPECT_EQ(w.openRaw(RF_BACKUP, raw), 1);
    EXPECT_FALSE(exists(outside));
    writeFile(outside, "3\n42\n");
    EXPECT_EQ(w.openRaw(RF_BACKUP, raw), 1);
    EXPECT_EQ(readFile(outside), "3\n42\n");
}

} // namespace
