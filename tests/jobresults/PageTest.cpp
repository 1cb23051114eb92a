#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "jobresults/ResultsSupport.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/Env.h"

using testsupport::writeFile;

namespace {

constexpr long long kJob = 4242;

struct PageTest : ResultsTest {
    platform::VirtualClock clock;
    int fds[2] = {-1, -1};
    void SetUp() override {
        ResultsTest::SetUp();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    }
    void TearDown() override {
        ::close(fds[0]);
        ::close(fds[1]);
        EXPECT_TRUE(clock.waits().empty()); // the page never pauses
    }
    void store(int lines) {
        StoreResults s(2, kJob, false, "client1");
        ASSERT_EQ(s.openFile(RF_BACKUP, true, true), 0);
        for (int i = 1; i <= lines; ++i)
            ASSERT_EQ(s.putLine(("line " + std::to_string(i)).c_str(), true), 0);
        ASSERT_EQ(s.closeFile(), 0);
    }
    // The answer as text: "total num line | lines... | last status".
    std::string page(long long line, long long num, int& rc) {
        CQiSocket socket(fds[0]);
        RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
        rc = r.getPage(7, line, num, &socket, nullptr, 0);
        return readAnswer();
    }
    std::string readAnswer() {
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        char probe;
        if (::recv(fds[1], &probe, 1, MSG_PEEK) != 1)
            return "nothing";
        ::fcntl(fds[1], F_SETFL, 0);
        EvReturnData::Stream s;
        if (!EvReturnData::readStream(fds[1], s) || s.messageType != 1084 || s.seqNo != 7)
            return "bad stream";
        std::string out;
        for (const auto& r : s.records) {
            if (r.field == EvReturnResults::kFieldLine)
                out += "[" + r.bytes + "]";
            else if (r.field == EvReturnData::kEndField)
                out +=
                    " s" + std::to_string(static_cast<int>(static_cast<unsigned char>(r.bytes[0])));
            else
                out += " " + std::to_string(r.field) + "=" + std::to_string(r.asInt());
        }
        return out;
    }
};

TEST_F(PageTest, RecordSequencesOfPagesAndFailures) {
    store(10);
    struct Case {
        long long line, num;
        int rc;
        std::string answer;
    } cases[] = {
        {1, 2, 0, " 4140=10 4141=2 4142=1[line 1][line 2] 4147=2 s0"},
        {5, 3, 0, " 4140=10 4141=3 4142=5[line 5][line 6][line 7] 4147=7 s0"},
        {10, 5, 0, " 4140=10 4141=5 4142=10[line 10] 4147=10 s0"},
        // Past the end: answered on the caller's socket, not elsewhere.
        {11, 1, 1, " 4140=0 4141=1 4142=11 4147=0 s4"},
        {0, 1, 1, "nothing"},
        // A page size beyond 32 bits is the largest page, not its low bits.
        {9, (1LL << 32) + 1, 0, " 4140=10 4141=4294967297 4142=9[line 9][line 10] 4147=10 s0"},
        {9, -5, 0, " 4140=10 4141=-5 4142=9 4147=8 s0"},
    };
    for (const Case& c : cases) {
        int rc = -1;
        EXPECT_EQ(page(c.line, c.num, rc), c.answer) << c.line;
        EXPECT_EQ(rc, c.rc) << c.line;
    }
}

TEST_F(PageTest, EmptyResultsAnswerOnTheSocketWithLastLineOne) {
    store(0);
    platform::TestSink sink;
    int rc = -1;
    EXPECT_EQ(page(1, 5, rc), " 4140=0 4141=5 4142=1 4147=1 s0");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::countContaining(sink, "job results is empty."), 1);
}

TEST_F(PageTest, WithoutASocketTheAnswerGoesToTheDefaultChannel) {
    store(2);
    RetrieveResults r(2, kJob, RF_BACKUP, "client1", 0);
    ASSERT_EQ(r.getPage(3, 2, 5, nullptr, nullptr, 0), 0);
    std::vector<EvReturnData::Stream> streams;
    ASSERT_TRUE(EvReturnData::parseStreams(
        testsupport::readFile(EvReturnData::defaultChannelPath()), streams));
    ASSERT_EQ(streams.size(), 1u);
    ASSERT_EQ(streams[0].records.size(), 6u);
    EXPECT_EQ(streams[0].seqNo, 3);
    EXPECT_EQ(streams[0].records[3].bytes, "line 2");
    EXPECT_EQ(streams[0].records[4].asInt(), 2);
}

TEST_F(PageTest, MissingNamesFailOnTheSocket) {
    CQiSocket socket(fds[0]);
    RetrieveResults r(RF_PAGING_BKP, (tmp + "/nothing.bkp").c_str(), "client1", 0);
    EXPECT_EQ(r.getPage(7, 1, 1, &socket, nullptr, 0), 1);
    EXPECT_EQ(readAnswer(), " 4140=0 4141=1 4142=1 4147=0 s1");
}

TEST_F(PageTest, MapIsRebuiltWhenMissingOrEmptyAndExtendedWhenBehind) {
    store(3);
    const std::string map = jobDir(kJob) + "/1.map";
    int rc = -1;
    for (const char* damage : {"remove", "empty"}) {
        platform::TestSink sink;
        if (std::string(damage) == "remove")
            ::unlink(map.c_str());
        else
            writeFile(map, "");
        EXPECT_EQ(page(3, 1, rc), " 4140=3 4141=1 4142=3[line 3] 4147=3 s0") << damage;
        EXPECT_EQ(testsupport::countContaining(sink, "automatically replaced"), 1) << damage;
    }
    // Lines that reached the file without their entries are found at the next page.
    {
        int fd = ::open((jobDir(kJob) + "/backup.out").c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd, "line 4\nline 5\n", 14), 14);
        ::close(fd);
    }
    EXPECT_EQ(page(4, 5, rc), " 4140=5 4141=5 4142=4[line 4][line 5] 4147=5 s0");
    EXPECT_EQ(mapOffsets(map), (std::vector<uint64_t>{0, 7, 14, 21, 28}));
    // A map that claims more than the file holds is made again.
    writeFile(jobDir(kJob) + "/backup.out", "a\nb\n");
    EXPECT_EQ(page(1, 9, rc), " 4140=2 4141=9 4142=1[a][b] 4147=2 s0");
}

} // namespace
