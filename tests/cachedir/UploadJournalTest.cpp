#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
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
    size_t pos = 0;
    while (pos < data.size()) {
        EXPECT_GE(data.size() - pos, Helper::kHeaderSize) << "truncated header at " << pos;
        if (data.size() - pos < Helper::kHeaderSize)
            break;
        const std::string header = data.substr(pos, Helper::kHeaderSize);
        EXPECT_EQ(header[2], ',') << "at " << pos;
        EXPECT_EQ(header[19], ',') << "at " << pos;
        const std::string field = header.substr(3, 16);
        const size_t digits = field.find_first_not_of(' ');
        EXPECT_NE(digits, std::string::npos) << "empty length at " << pos;
        if (digits == std::string::npos || header[2] != ',' || header[19] != ',')
            break;
        const std::string hex = field.substr(digits);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos)
            << "length '" << field << "' at " << pos;
        const size_t length = std::strtoul(hex.c_str(), nullptr, 16);
        pos += Helper::kHeaderSize;
        EXPECT_LE(length, data.size() - pos) << "payload runs past the end at " << pos;
        if (length > data.size() - pos)
            break;
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
    // Names of the journal files present, in order.
    std::vector<std::string> journalFiles() const {
        std::vector<std::string> names;
        for (int i = 0; i <= 6; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "TL_RST.upload_%05d", i);
            if (testsupport::exists(folder + "/" + name))
                names.push_back(name);
        }
        return names;
    }
    static void makeSparse(const std::string& path, off_t size) {
        testsupport::writeFile(path, "");
        ASSERT_EQ(::truncate(path.c_str(), size), 0);
    }
};

TEST(UploadJournalFolder, UploadFolderLocalPathAndFolderErrors) {
    struct Case {
        const char* cacheDir;
        const char* folder;
        const char* localPath; // of the cache directory itself
        bool folderError;
    };
    const Case cases[] = {
        {"/idx/OX_Index/2/scp_7_9/1700000000", "/idx", "OX_Index/2/scp_7_9/1700000000", false},
        {"/idx/CatalogServer/OX_FcsIndex/2/a/1", "/idx/CatalogServer", "OX_FcsIndex/2/a/1", false},
        // The last occurrence counts.
        {"/idx/OX_Index/OX_Snap/1", "/idx/OX_Index", "OX_Snap/1", false},
        {"C:\\idx\\OX_Index\\2\\a\\1", "C:\\idx", "OX_Index\\2\\a\\1", false},
        // A forward-slash occurrence wins over a later backslash one.
        {"/idx/OX_Index/a\\OX_b", "/idx", "OX_Index/a\\OX_b", false},
        {"/OX_Index/2/a/1", "", "OX_Index/2/a/1", false},
        {"/data/cache/2/a/1", "/data/cache/2/a/1", "/data/cache/2/a/1", true},
        {"/idx/OXIndex/1", "/idx/OXIndex/1", "/idx/OXIndex/1", true},
        {"", "", "", true},
    };
    for (const Case& c : cases) {
        platform::TestSink sink;
        Helper helper(c.cacheDir);
        EXPECT_EQ(helper.getUploadFolder(), c.folder) << c.cacheDir;
        EXPECT_EQ(helper.getLocalPath(c.cacheDir), c.localPath) << c.cacheDir;
        const std::string error = std::string("Failed to figure out index cache folder from cache "
                                              "directory path: [") +
                                  c.cacheDir + "].";
        if (c.folderError) {
            EXPECT_EQ(helper.getLastErrorDescription(), kNoError + error);
            ASSERT_EQ(sink.lines().size(), 1u) << c.cacheDir;
            EXPECT_EQ(sink.lines()[0].level, 1);
            EXPECT_EQ(sink.lines()[0].text, "IndexCacheDirMainTranLogHelper: " + error);
        } else {
            EXPECT_EQ(helper.getLastErrorDescription(), kNoError) << c.cacheDir;
            EXPECT_TRUE(sink.lines().empty()) << c.cacheDir;
        }
        // Reading the description clears it.
        EXPECT_EQ(helper.getLastErrorDescription(), kNoError);
    }

    Helper null(nullptr);
    EXPECT_EQ(null.getCacheDirPath(), "");
    EXPECT_EQ(null.getUploadFolder(), "");
}

TEST(UploadJournalFolder, LocalPathOfOtherPaths) {
    Helper helper("/idx/OX_Index/2/a/1");
    const std::pair<const char*, const char*> cases[] = {
        {"/idx/OX_Index/2/a/1/file.trn", "OX_Index/2/a/1/file.trn"},
        {"/idx/x", "x"},
        {"/idx/", "/idx/"}, // no longer than the folder and one separator
        {"/idx", "/idx"},
        {"/other/OX_Index/2", "/other/OX_Index/2"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(helper.getLocalPath(c.first), c.second) << c.first;
}

TEST_F(UploadJournalTest, HeaderBytesPermissionsAndRecordsFollowingEachOther) {
    Helper helper(cacheDir.c_str());
    const std::string payload = "abcdefghijklmnopqrstuvwxyz";
    ASSERT_EQ(helper.appendUnprocessed(payload), 1) << helper.getLastErrorDescription();
    EXPECT_EQ(helper.getCurrentFileName(), "TL_RST.upload_00001");
    const std::string header = std::string("NA,") + std::string(14, ' ') + "1a,";
    ASSERT_EQ(header.size(), 20u);
    EXPECT_EQ(testsupport::readFile(journal("TL_RST.upload_00001")), header + payload);

    struct stat st;
    ASSERT_EQ(::stat(journal("TL_RST.upload_00001").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_EQ(helper.append('P', 'D', ""), 1);
    const std::string big(0x12345, 'z');
    ASSERT_EQ(helper.append('N', 'A', big), 1);
    EXPECT_EQ(testsupport::readFile(journal("TL_RST.upload_00001")),
              header + payload + "PD," + std::string(15, ' ') + "0," + "NA," +
                  std::string(11, ' ') + "12345," + big);
    const std::vector<Record> records =
        parseJournal(testsupport::readFile(journal("TL_RST.upload_00001")));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].flag, 'P');
    EXPECT_EQ(records[1].op, 'D');
    EXPECT_EQ(records[1].payload, "");
    EXPECT_EQ(records[2].payload, big);
    EXPECT_EQ(helper.getLastErrorDescription(), kNoError);
}

TEST_F(UploadJournalTest, JournalFileChoice) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, off_t>> existing; // name, size
        const char* expected;
        std::vector<std::string> after;
        const char* error;
    };
    const off_t kFull = 5000000;
    const Case cases[] = {
        {"empty folder", {}, "TL_RST.upload_00001", {"TL_RST.upload_00001"}, ""},
        {"highest number",
         {{"TL_RST.upload_00001", 10}, {"TL_RST.upload_00003", 10}},
         "TL_RST.upload_00003",
         {"TL_RST.upload_00001", "TL_RST.upload_00003"},
         ""},
        {"full file rolls over",
         {{"TL_RST.upload_00001", 10}, {"TL_RST.upload_00003", kFull}},
         "TL_RST.upload_00004",
         {"TL_RST.upload_00001", "TL_RST.upload_00003", "TL_RST.upload_00004"},
         ""},
        {"exactly the limit is not full",
         {{"TL_RST.upload_00002", 4999999}},
         "TL_RST.upload_00002",
         {"TL_RST.upload_00002"},
         ""},
        {"numbering starts at one",
         {{"TL_RST.upload_00000", 10}},
         "TL_RST.upload_00001",
         {"TL_RST.upload_00000", "TL_RST.upload_00001"},
         ""},
        {"other names are ignored",
         {{"XTL_RST.upload_00005", 10}, {"TL_RST.upload", 10}, {"TL_RST.cfg", 10}},
         "TL_RST.upload_00001",
         {"TL_RST.upload_00001"},
         ""},
        {"unreadable number is skipped",
         {{"TL_RST.upload_abc", 10}, {"TL_RST.upload_00002", 10}},
         "TL_RST.upload_00002",
         {"TL_RST.upload_00002"},
         "I/O Error - Failed to read curNumber variable"},
        {"number out of range is skipped",
         {{"TL_RST.upload_99999999999", 10}},
         "TL_RST.upload_00001",
         {"TL_RST.upload_00001"},
         "I/O Error - Failed to read curNumber variable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome scratch;
        folder = scratch.sub("idx", true);
        cacheDir = folder + "/OX_Index/2/a/1";
        for (const auto& e : c.existing)
            makeSparse(journal(e.first.c_str()), e.second);
        Helper helper(cacheDir.c_str());
        ASSERT_EQ(helper.appendUnprocessed("rec"), 1) << helper.getLastErrorDescription();
        EXPECT_EQ(helper.getCurrentFileName(), c.expected);
        EXPECT_EQ(journalFiles(), c.after);
        struct stat st;
        ASSERT_EQ(::stat(journal(c.expected).c_str(), &st), 0);
        off_t before = 0;
        for (const auto& e : c.existing)
            if (e.first == c.expected)
                before = e.second;
        EXPECT_EQ(st.st_size, before + 23) << "one record appended at the end";
        for (const auto& e : c.existing) {
            if (e.first == c.expected)
                continue;
            ASSERT_EQ(::stat(journal(e.first.c_str()).c_str(), &st), 0);
            EXPECT_EQ(st.st_size, e.second) << e.first << " is left alone";
        }
        EXPECT_EQ(helper.getLastErrorDescription(), kNoError + c.error);
    }
}

TEST_F(UploadJournalTest, CacheDirWithoutOXFolderKeepsItsJournalInItself) {
    const std::string dir = home.sub("plain", true);
    Helper helper(dir.c_str());
    ASSERT_EQ(helper.appendUnprocessed("x"), 1);
    EXPECT_EQ(testsupport::readFile(dir + "/TL_RST.upload_00001"),
              "NA," + std::string(15, ' ') + "1,x");
    EXPECT_EQ(helper.getLastErrorDescription(),
              kNoError + "Failed to figure out index cache folder from cache directory path: [" +
                  dir + "].");
}

TEST_F(UploadJournalTest, FolderAndFileFailures) {
    {
        const std::string missing = home.path() + "/missing";
        Helper helper((missing + "/OX_Index/2/a/1").c_str());
        EXPECT_EQ(helper.appendUnprocessed("x"), 0);
        EXPECT_EQ(helper.getLastErrorDescription(),
                  kNoError + "Failed to open folder '" + missing +
                      "' with error=2; FileError=No such file or directory");
        EXPECT_EQ(helper.getLastErrorDescription(), kNoError);
        EXPECT_FALSE(testsupport::exists(missing));
    }
    {
        // The journal name is taken by a directory.
        ASSERT_EQ(::mkdir(journal("TL_RST.upload_00001").c_str(), 0755), 0);
        Helper helper(cacheDir.c_str());
        EXPECT_EQ(helper.appendUnprocessed("x"), 0);
        EXPECT_EQ(helper.getLastErrorDescription(), kNoError + "Failed to open file '" +
                                                        journal("TL_RST.upload_00001") +
                                                        "'; FileError=Is a directory");
        // The mutex was given back: another writer is not held up.
        platform::VirtualClock clock;
        Helper other(cacheDir.c_str());
        EXPECT_TRUE(other.lock());
        other.unlock();
        EXPECT_TRUE(clock.waits().empty());
    }
}

// A write that stops part way (here at a file size limit) must not leave the
// start of a record behind: the reader would take the next record's header
// for payload and lose every record after it.
TEST_F(UploadJournalTest, FailedWriteLeavesNoPartialRecord) {
    struct Case {
        off_t room; // bytes that still fit below the limit
        const char* error;
    };
    const Case cases[] = {
        {10, "Failed to write record header to file '"},
        {25, "Failed to write record of 26 bytes to file '"},
        {0, "Failed to write record header to file '"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        testsupport::ScratchHome scratch;
        folder = scratch.sub("idx", true);
        cacheDir = folder + "/OX_Index/2/a/1";
        {
            Helper helper(cacheDir.c_str());
            ASSERT_EQ(helper.appendUnprocessed("first"), 1);
        }
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
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(testsupport::readFile(file), before);
        Helper helper(cacheDir.c_str());
        ASSERT_EQ(helper.appendUnprocessed("next"), 1);
        const std::vector<Record> records = parseJournal(testsupport::readFile(file));
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].payload, "first");
        EXPECT_EQ(records[1].payload, "next");
    }
}

// Another process holds the mutex for longer than the 30 seconds an append
// waits: the append fails instead of writing unserialised.
TEST_F(UploadJournalTest, AppendFailsWhenTheMutexIsHeldElsewhere) {
    testsupport::ProcessSignal held, release;
    const pid_t holder = testsupport::forkChild([&] {
        Helper helper(cacheDir.c_str());
        if (!helper.lock())
            return 10;
        held.post();
        if (!release.wait())
            return 11;
        helper.unlock();
        return 0;
    });
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        Helper helper(cacheDir.c_str());
        EXPECT_EQ(helper.appendUnprocessed("not serialised"), 0);
        const std::vector<unsigned long> waits = clock.waits();
        EXPECT_FALSE(waits.empty());
        EXPECT_EQ(std::accumulate(waits.begin(), waits.end(), 0ul), 30000ul);
        EXPECT_EQ(helper.getLastErrorDescription(),
                  kNoError +
                      "Failed to lock mutex TranLog_mutex within 30000 ms; MutexError:timed out "
                      "waiting for mutex 'TranLog_mutex'");
        EXPECT_TRUE(journalFiles().empty()) << "nothing written without the mutex";
        EXPECT_FALSE(helper.lock());
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(holder), 0);

    Helper helper(cacheDir.c_str());
    EXPECT_EQ(helper.appendUnprocessed("serialised"), 1);
    EXPECT_EQ(parseJournal(testsupport::readFile(journal("TL_RST.upload_00001"))).size(), 1u);
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
    const std::vector<std::string> files = journalFiles();
    ASSERT_EQ(files, (std::vector<std::string>{"TL_RST.upload_00001", "TL_RST.upload_00002"}));
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
