#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "jobresults/ResultsSupport.h"
#include "jobresults/StoreResults.h"
#include "platform/CrashPoint.h"

using jobresults::decodeMapEntry;
using jobresults::encodeMapEntry;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Line starts of a narrow file as the line reader counts lines.
std::vector<uint64_t> referenceOffsets(const std::string& text) {
    std::vector<uint64_t> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            if (text.substr(start) != "\r")
                out.push_back(start);
            break;
        }
        out.push_back(start);
        start = lf + 1;
    }
    return out;
}

struct LineMapTest : ResultsTest {
    const long long job = 77;
    std::string file() const { return jobDir(job) + "/backup.out"; }
    std::string map() const { return jobDir(job) + "/1.map"; }

    // The map generateMap makes of the backup results as they are on disk.
    std::vector<uint64_t> generated(bool wide = false) {
        StoreResults reader(2, job, false, "client1");
        EXPECT_EQ(reader.computeFileNames(RF_BACKUP), 0);
        EXPECT_EQ(reader.generateMap(wide), 0);
        return mapOffsets(map());
    }
    // Opens the backup results with their map, puts line (none when null),
    // closes; the answer of putLine.
    int append(const char* line, bool flush = false, bool truncate = false) {
        StoreResults writer(2, job, false, "client1");
        EXPECT_EQ(writer.openFile(RF_BACKUP, true, truncate), 0);
        int rc = line ? writer.putLine(line, flush) : 0;
        EXPECT_EQ(writer.closeFile(), 0);
        return rc;
    }
    void makeJobDir() { append(nullptr, false, true); }
    // Makes a sparse backup.out of size bytes whose last line is "x" and a
    // map in step with it.
    void sparseFile(uint64_t size) {
        makeJobDir();
        ::unlink(file().c_str());
        int fd = ::open(file().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite64(fd, "\nx\n", 3, static_cast<off64_t>(size - 3)), 3);
        ::close(fd);
        unsigned char entries[10];
        encodeMapEntry(0, entries);
        encodeMapEntry(size - 2, entries + 5);
        writeFile(map(), std::string(reinterpret_cast<char*>(entries), 10));
    }
};

TEST(LineMapCodec, FortyBitLittleEndianEntries) {
    struct Case {
        uint64_t offset;
        const char* bytes; // 5 bytes, or null when the offset has no entry
    };
    const Case cases[] = {
        {0, "\0\0\0\0\0"},
        {0x0102030405ull, "\x05\x04\x03\x02\x01"},
        {1ull << 32, "\0\0\0\0\x01"},
        {(1ull << 40) - 1, "\xff\xff\xff\xff\xff"},
        {1ull << 40, nullptr},
    };
    for (const Case& c : cases) {
        unsigned char out[5] = {9, 9, 9, 9, 9};
        ASSERT_EQ(encodeMapEntry(c.offset, out), c.bytes != nullptr) << c.offset;
        if (c.bytes) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 5), std::string(c.bytes, 5));
            EXPECT_EQ(decodeMapEntry(out), c.offset);
        } else {
            EXPECT_EQ(out[0], 9) << "nothing written";
        }
    }
}

TEST_F(LineMapTest, GeneratesOneEntryPerLineAsTheReaderCountsThem) {
    const std::string longLine(200000, 'z');
    struct Case {
        std::string content;
        std::vector<uint64_t> offsets;
    };
    const Case cases[] = {
        {"", {}},
        {"a\nb\n", {0, 2}},
        {"a\nb", {0, 2}},
        {"a\r\nb\r\n", {0, 3}},
        {"a\n\r", {0}},
        {"a\n\r\r", {0, 2}},
        {"\n\n", {0, 1}},
        {"x\ry\n", {0}},
        {"a\n" + longLine + "\nb\n", {0, 2, 200003}},
    };
    makeJobDir();
    for (const Case& c : cases) {
        writeFile(file(), c.content);
        EXPECT_EQ(generated(), c.offsets) << c.content.substr(0, 20);
        EXPECT_EQ(c.offsets, referenceOffsets(c.content));
    }
    // Wide lines: 4-byte units, one of them longer than the reader takes.
    std::wstring wide = L"ab\ncd\n" + std::wstring(110000, L'w') + L"\ne\n";
    writeFile(file(), std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 4));
    EXPECT_EQ(generated(true), (std::vector<uint64_t>{0, 12, 24, 24 + 110001 * 4}));
}

TEST_F(LineMapTest, WriterMapEqualsGeneratedMapOverRandomLines) {
    const char* pieces[] = {"", "abc", "\r", "\n", "x\r\ny", "tab\there", "\r\r", "long line "};
    std::mt19937 rng(1234);
    std::string expected;
    for (int round = 0; round < 12; ++round) {
        StoreResults writer(2, job, false, "client1");
        ASSERT_EQ(writer.openFile(RF_BACKUP, true, round == 0), 0);
        const int lines = static_cast<int>(rng() % 40);
        for (int i = 0; i < lines; ++i) {
            std::string text;
            for (unsigned k = rng() % 4; k > 0; --k)
                text += pieces[rng() % 8];
            ASSERT_EQ(writer.putLine(text.c_str(), rng() % 5 == 0), 0);
            expected += text + "\n";
        }
        ASSERT_EQ(writer.getCurOffset(), expected.size());
        ASSERT_EQ(writer.closeFile(), 0);
        ASSERT_EQ(readFile(file()), expected);
        const std::string written = readFile(map());
        ASSERT_EQ(mapOffsets(map()), referenceOffsets(expected)) << "round " << round;
        generated();
        ASSERT_EQ(readFile(map()), written) << "round " << round;
    }
}

TEST_F(LineMapTest, OpenWithMapRebuildsAMapOutOfStepWithItsFile) {
    struct Case {
        const char* name;
        std::string content;
        std::string map; // "-" for a missing map
    };
    unsigned char e[15];
    encodeMapEntry(0, e);
    encodeMapEntry(2, e + 5);
    encodeMapEntry(4, e + 10);
    const std::string three(reinterpret_cast<char*>(e), 15);
    const Case cases[] = {
        {"missing", "a\nb\n", "-"},
        {"empty", "a\nb\n", ""},
        {"not a multiple of 5", "a\nb\n", three.substr(0, 7)},
        {"short", "a\nb\n", three.substr(0, 5)},
        {"stale", "a\nbb\n", three.substr(0, 10)},
        {"longer than its file", "a\n", three},
        {"cut last line", "a\nb", three.substr(0, 5)},
    };
    makeJobDir();
    for (const Case& c : cases) {
        writeFile(file(), c.content);
        ::unlink(map().c_str());
        if (c.map != "-")
            writeFile(map(), c.map);
        ASSERT_EQ(append("new"), 0) << c.name;
        const std::string content = readFile(file());
        EXPECT_EQ(content.substr(content.size() - 4), "new\n") << c.name;
        EXPECT_EQ(mapOffsets(map()), referenceOffsets(content)) << c.name;
    }
}

TEST_F(LineMapTest, LinesPastFourGiBKeepTheirFifthByteAndStopAtTheFortyBitLimit) {
    sparseFile(1ull << 32);
    ASSERT_EQ(append("y", true), 0);
    EXPECT_EQ(readFile(map()).substr(10), std::string("\0\0\0\0\x01", 5));
    sparseFile(1ull << 40);
    EXPECT_EQ(append("past the limit", true), 1);
    struct stat st;
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 1ull << 40);
    EXPECT_EQ(mapOffsets(map()), (std::vector<uint64_t>{0, (1ull << 40) - 2}));
}

TEST_F(LineMapTest, AFailedWriteDropsTheMapAndTakesTheOffsetFromTheFile) {
    // The process may write at most 64 bytes to a file.
    ASSERT_EQ(testsupport::runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  struct rlimit limit = {64, 64};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  StoreResults writer(2, job, false, "client1");
                  CHILD_CHECK(writer.openFile(RF_BACKUP, true, true) == 0);
                  int rc = 0;
                  for (int i = 0; i < 10 && rc == 0; ++i)
                      rc = writer.putLine("ten bytes", true);
                  CHILD_CHECK(rc == 1);
                  CHILD_CHECK(!exists(map()));
                  CHILD_CHECK(writer.getCurOffset() == readFile(file()).size());
                  CHILD_CHECK(writer.putLine("more", true) == 1);
                  return writer.closeFile();
              }),
              0);
    append(nullptr);
    EXPECT_EQ(mapOffsets(map()), referenceOffsets(readFile(file())));
}

// The writer runs as the command-line tool: a fresh process, so that its crash
// point and its reservation settings are its own.
int putLines(const std::string& lines, const std::string& options, const char* crashAt = "") {
    const std::string command = "printf '" + lines + "' | IDXCACHE_CRASH_AT=" + crashAt + " " +
                                IDXCACHE_CLI + " results put --job 77 --kind 1 " + options +
                                " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LineMapTest, AWriterKilledBetweenLineAndEntryLeavesAMapTheNextOpenRebuilds) {
    ASSERT_EQ(putLines("a\\nb\\n", "--flush --truncate", "results.line:2"),
              platform::IDXCACHE_CRASH_EXIT);
    EXPECT_EQ(readFile(file()), "a\nb\n");
    EXPECT_EQ(mapOffsets(map()), std::vector<uint64_t>{0});
    ASSERT_EQ(putLines("c\\n", ""), 0);
    EXPECT_EQ(mapOffsets(map()), (std::vector<uint64_t>{0, 2, 4}));
}

TEST_F(LineMapTest, ALineWithoutSpaceWritesNothing) {
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "n");
    ASSERT_EQ(putLines("first\\n", "--truncate"), 0);
    EXPECT_EQ(putLines("second\\n", "--capacity 65536"), 1);
    EXPECT_EQ(readFile(file()), "first\n");
    EXPECT_EQ(mapOffsets(map()), std::vector<uint64_t>{0});
}

} // namespace
