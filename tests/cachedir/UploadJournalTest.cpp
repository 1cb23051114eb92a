// The upload journal "TL_RST.upload_": record format, failed writes and
// several processes appending at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "support/TestSupport.h"

namespace {

using Helper = IndexCacheDirMainTranLogHelper;

const std::string kNoError = "IndexCacheDirMainTranLogHelper: ";

struct Record {
    char flag;
    char op;
    std::string payload;
};

// Walks a journal file record by record, as its reader does: each header
// gives the length of the payload that follows it. Fails the test on a
// header that does not have the journal's form.
std::vector<Record> parseJournal(const std::string& data) {
    std::vector<Record> records;
    for (size_t pos = 0; pos < data.size();) {
        const std::string header = data.substr(pos, Helper::kHeaderSize);
        size_t length = 0;
        EXPECT_EQ(std::sscanf(header.c_str(), "%*c%*c,%16zx,", &length), 1) << "at " << pos;
        EXPECT_TRUE(header.size() == Helper::kHeaderSize && header[2] == ',' && header[19] == ',')
            << "at " << pos;
        pos += Helper::kHeaderSize;
        if (header.size() != Helper::kHeaderSize || length > data.size() - pos) {
            ADD_FAILURE() << "record runs past the end at " << pos;
            break;
        }
        records.push_back({header[0], header[1], data.substr(pos, length)});
        pos += length;
    }
    return records;
}

struct UploadJournalTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string folder = home.sub("idx", true);
    std::string cacheDir = folder + "/OX_Index/2/scp_7_9/1700000000";

    std::string journal(const char* name) const { return folder + "/" + name; }
};

// A write that stops part way (here at a file size limit) must not leave the
// start of a record behind: the reader would take the next record's header
// for payload and lose every record after it.
TEST_F(UploadJournalTest, FailedWriteLeavesNoPartialRecord) {
    struct Case {
        off_t room; // bytes that still fit below the limit
        const char* error;
    };
    const Case cases[] = {
        {10, "Failed to write record of 26 bytes to file '"},
        {25, "Failed to write record of 26 bytes to file '"},
        {0, "Failed to write record of 26 bytes to file '"},
    };
    for (const Case& c : cases) {
        testsupport::ScratchHome scratch;
        folder = scratch.sub("idx", true);
        cacheDir = folder + "/OX_Index/2/a/1";
        {
            Helper helper(cacheDir.c_str());
            ASSERT_EQ(helper.appendUnprocessed("first"), 1);
            ASSERT_EQ(helper.append('P', 'D', ""), 1);
        }
        EXPECT_EQ(testsupport::readFile(journal("TL_RST.upload_00001")),
                  "NA," + std::string(15, ' ') + "5,firstPD," + std::string(15, ' ') + "0,");
        struct stat st;
        ASSERT_EQ(::stat(journal("TL_RST.upload_00001").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        const std::string before = testsupport::readFile(journal("TL_RST.upload_00001"));
        const std::string file = journal("TL_RST.upload_00001");
        const std::string expectedError = kNoError + c.error + file + "'; FileError=File too large";
        const int rc = testsupport::runInChild([&] {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(before.size() + c.room);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return 10;
            Helper helper(cacheDir.c_str());
            if (helper.appendUnprocessed("abcdefghijklmnopqrstuvwxyz") != 0)
                return 11;
            if (helper.getLastErrorDescription() != expectedError)
                return 12;
            return 0;
        });
        EXPECT_EQ(rc, 0) << c.room;
        EXPECT_EQ(testsupport::readFile(file), before);
        Helper helper(cacheDir.c_str());
        ASSERT_EQ(helper.appendUnprocessed("next"), 1);
        const std::vector<Record> records = parseJournal(testsupport::readFile(file));
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].payload, "first");
        EXPECT_EQ(records[2].payload, "next");
    }
}

TEST_F(UploadJournalTest, ThreeProcessesAppendWholeRecords) {
    constexpr int kWriters = 3;
    constexpr int kRecords = 200;
    // Payload lengths vary so that records of different sizes interleave.
    auto payload = [](int writer, int i) {
        return "w" + std::to_string(writer) + "-" + std::to_string(i) + ":" +
               std::string(static_cast<size_t>((i * 7919 + writer * 1013) % 20000),
                           static_cast<char>('a' + writer));
    };
    testsupport::ProcessSignal start;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(testsupport::forkChild([&, w] {
            if (!start.wait())
                return 10;
            for (int i = 0; i < kRecords; ++i) {
                Helper helper(cacheDir.c_str());
                if (helper.appendUnprocessed(payload(w, i)) != 1)
                    return 11;
            }
            return 0;
        }));
    }
    for (int w = 0; w < kWriters; ++w)
        start.post();
    for (pid_t pid : children)
        EXPECT_EQ(testsupport::waitChild(pid), 0);

    // About 6 MB in all: the writers roll over to a second file on the way.
    const std::vector<std::string> files = {"TL_RST.upload_00001", "TL_RST.upload_00002"};
    EXPECT_FALSE(testsupport::exists(journal("TL_RST.upload_00003")));
    std::vector<Record> records;
    for (const std::string& name : files) {
        const std::string data = testsupport::readFile(journal(name.c_str()));
        if (name == files.front()) {
            EXPECT_GT(data.size(), 4999999u);
        }
        const std::vector<Record> part = parseJournal(data);
        records.insert(records.end(), part.begin(), part.end());
    }
    ASSERT_EQ(records.size(), static_cast<size_t>(kWriters * kRecords));
    std::map<int, int> next; // each writer's records keep their order
    for (const Record& r : records) {
        EXPECT_EQ(r.flag, 'N');
        EXPECT_EQ(r.op, 'A');
        const int w = r.payload[1] - '0';
        ASSERT_TRUE(w >= 0 && w < kWriters) << r.payload.substr(0, 20);
        EXPECT_EQ(r.payload, payload(w, next[w]));
        ++next[w];
    }
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(next[w], kRecords);
}

} // namespace
