#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "jobresults/ResultsSupport.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/Env.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr long long kJob = 5151;

struct MergeTest : ResultsTest {
    std::string dir() const { return jobDir(kJob); }
    // Makes the results directory and its State file.
    void prepare() {
        StoreResults s(2, kJob, false, "client1");
        std::string raw;
        ASSERT_EQ(s.openRaw(RF_BACKUP, raw), 0);
        ::unlink(raw.c_str());
    }
    std::vector<std::string> firstPage() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        CQiSocket socket(fds[0]);
        RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
        r.getPage(1, 1, 1000, &socket, nullptr, 0);
        EvReturnData::Stream s;
        EvReturnData::readStream(fds[1], s);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<std::string> lines;
        for (const auto& rec : s.records)
            if (rec.field == EvReturnResults::kFieldLine)
                lines.push_back(rec.bytes);
        return lines;
    }
    std::string logLine(int n, const std::string& name, unsigned long long offset) const {
        return std::to_string(n) + ": " + dir() + "/" + name + " begins at offset " +
               std::to_string(offset) + "\n";
    }
};

TEST_F(MergeTest, RawFilesMergeByTimeStampAndLaterRoundsAppend) {
    prepare();
    platform::TestSink sink;
    writeFile(dir() + "/backup_10_300", "c\n");
    writeFile(dir() + "/backup_11_100", "a1\na2\n");
    writeFile(dir() + "/backup_12_200", "b"); // no final LF
    writeFile(dir() + "/backup_9_x", "z\n");
    EXPECT_EQ(firstPage(), (std::vector<std::string>{"z", "a1", "a2", "b", "c"}));
    EXPECT_EQ(readFile(dir() + "/raw.log"),
              logLine(1, "backup_9_x", 0) + logLine(2, "backup_11_100", 2) +
                  logLine(3, "backup_12_200", 8) + logLine(4, "backup_10_300", 10));
    EXPECT_EQ(testsupport::countContaining(sink, "backup_9_x' Invalid time stamp"), 1);
    EXPECT_FALSE(exists(dir() + "/backup_11_100"));
    // A second round of writers after the merge: appended, earlier lines kept.
    std::string raw;
    {
        StoreResults writer(2, kJob, false, "client1");
        ASSERT_EQ(writer.openRaw(RF_BACKUP, raw), 0);
        writeFile(raw, "d\n");
    }
    EXPECT_EQ(firstPage(), (std::vector<std::string>{"z", "a1", "a2", "b", "c", "d"}));
    const std::string log = readFile(dir() + "/raw.log");
    // Offsets stay absolute; each merge numbers its own raw files.
    EXPECT_EQ(log.substr(log.rfind("1: ")), "1: " + raw + " begins at offset 12\n");
}

TEST_F(MergeTest, NoInputFilesLeaveNoResultsFile) {
    prepare();
    RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
    EXPECT_EQ(r.generateFile(nullptr), 1);
    EXPECT_FALSE(exists(dir() + "/backup.out"));
}

TEST_F(MergeTest, UnreadableRawFileFailsCleanlyAndARetryCopiesOnce) {
    prepare();
    writeFile(dir() + "/backup_1_100", "a\n");
    ASSERT_EQ(::mkdir((dir() + "/backup_2_200").c_str(), 0755), 0); // opens, cannot be read
    writeFile(dir() + "/backup_3_300", "c\n");
    RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
    EXPECT_EQ(r.generateFile(nullptr), 1);
    EXPECT_EQ(readFile(dir() + "/backup.out"), "a\n");
    ::rmdir((dir() + "/backup_2_200").c_str());
    writeFile(dir() + "/backup_2_200", "b\n");
    EXPECT_EQ(r.generateFile(nullptr), 0);
    EXPECT_EQ(readFile(dir() + "/backup.out"), "a\nb\nc\n");
    EXPECT_EQ(readFile(dir() + "/raw.log"), logLine(1, "backup_1_100", 0) +
                                                logLine(1, "backup_2_200", 2) +
                                                logLine(2, "backup_3_300", 4));
}

TEST_F(MergeTest, PagerWaitsForRawWritersHoldingTheirLocks) {
    prepare();
    constexpr int kWriters = 3;
    testsupport::ProcessSignal ready[kWriters], release[kWriters];
    pid_t writers[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        writers[w] = testsupport::forkChild([&, w]() {
            StoreResults s(2, kJob, false, "client1");
            std::string raw;
            CHILD_CHECK(s.openRaw(RF_BACKUP, raw) == 0);
            ready[w].post();
            CHILD_CHECK(release[w].wait());
            // Written while the pager already waits for the merge.
            writeFile(raw, "w" + std::to_string(w) + "a\nw" + std::to_string(w) + "b\n");
            return 0;
        });
        ASSERT_TRUE(ready[w].wait());
    }
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const pid_t pager = testsupport::forkChild([&]() {
        CQiSocket socket(fds[0]);
        RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
        return r.getPage(1, 1, 100, &socket, nullptr, 0);
    });
    for (int w = 0; w < kWriters; ++w) {
        release[w].post();
        EXPECT_EQ(testsupport::waitChild(writers[w]), 0);
    }
    EvReturnData::Stream s;
    ASSERT_TRUE(EvReturnData::readStream(fds[1], s));
    EXPECT_EQ(testsupport::waitChild(pager), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    std::string text;
    for (const auto& rec : s.records)
        if (rec.field == EvReturnResults::kFieldLine)
            text += rec.bytes + " ";
    EXPECT_EQ(text.size(), 4u * 2 * kWriters);
    for (int w = 0; w < kWriters; ++w)
        EXPECT_NE(text.find("w" + std::to_string(w) + "a w" + std::to_string(w) + "b "),
                  std::string::npos)
            << text;
}

TEST_F(MergeTest, CheckBackupFileAddsARawFileAndReportsAFailedRename) {
    prepare();
    writeFile(dir() + "/backup.out", "a\n");
    writeFile(dir() + "/backup_1_100", "b\n");
    writeFile(dir() + "/raw.log", "1: x begins at offset 0\n");
    const std::string extra = home.path() + "/extra";
    platform::TestSink sink;
    RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
    EXPECT_EQ(r.checkBackupFile(extra.c_str()), 1); // nothing to rename
    EXPECT_EQ(testsupport::countContaining(sink, "checkBackupFile: cannot rename"), 1);
    EXPECT_TRUE(exists(dir() + "/raw.log"));
    writeFile(extra, "c\n");
    EXPECT_EQ(r.checkBackupFile(extra.c_str()), 0);
    EXPECT_FALSE(exists(extra) || exists(dir() + "/raw.log"));
    EXPECT_EQ(r.generateFile(nullptr), 0);
    EXPECT_EQ(readFile(dir() + "/backup.out"), "a\nb\nc\n");
}

TEST_F(MergeTest, EventMessageIds) {
    const std::pair<int, uint32_t> cases[] = {
        {1, 0x48000060},  {2, 0x4800005B},  {3, 0x4800005E},  {4, 0x48000061},  {5, 0x4800005C},
        {6, 0x4800005D},  {7, 0x48000062},  {8, 0x4800005F},  {11, 0x4800006C}, {12, 0x4800006D},
        {13, 0x48000087}, {15, 0x4800009C}, {17, 0x4800009D}, {99, 0x4800005E}, {0, 0x4800005E}};
    for (const auto& c : cases)
        EXPECT_EQ(RetrieveResults::GetEventMessageId(c.first), c.second) << c.first;
}

} // namespace
