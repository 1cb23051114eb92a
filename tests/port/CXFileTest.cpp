#include "port/CXFile.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Env.h"
#include "support/TestSupport.h"

// Lock requests from the library reach the kernel through fcntl64; this
// definition in the test program takes precedence over the C library's, so a
// test can make the next lock requests fail with a chosen errno (ENOLCK and
// EINTR cannot be provoked otherwise). Unarmed, every call passes straight
// through.
namespace {

struct LockFaults {
    std::deque<int> next;   // errnos for the next lock requests, in order
    int always = 0;         // errno for every lock request when non-zero
    bool rejectOfd = false; // every F_OFD_SETLK fails with EINVAL
    bool recording = false; // collect the commands of lock and unlock calls
    std::vector<int> commands;
    unsigned long requests = 0; // lock (not unlock) requests seen
};

LockFaults faults;

using FcntlFn = int (*)(int, int, ...);

FcntlFn realFcntl() {
    static FcntlFn fn = reinterpret_cast<FcntlFn>(::dlsym(RTLD_NEXT, "fcntl64"));
    return fn;
}

// Restores pass-through behaviour at the end of a test.
struct FaultScope {
    FaultScope() { faults = LockFaults(); }
    ~FaultScope() { faults = LockFaults(); }
};

} // namespace

extern "C" int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (cmd == F_SETLK || cmd == F_OFD_SETLK) {
        if (faults.recording)
            faults.commands.push_back(cmd);
        const auto* fl = static_cast<const struct flock64*>(arg);
        if (cmd == F_OFD_SETLK && faults.rejectOfd) {
            errno = EINVAL;
            return -1;
        }
        if (fl->l_type != F_UNLCK) {
            ++faults.requests;
            if (!faults.next.empty()) {
                errno = faults.next.front();
                faults.next.pop_front();
                return -1;
            }
            if (faults.always != 0) {
                errno = faults.always;
                return -1;
            }
        }
    }
    return realFcntl()(fd, cmd, arg);
}

namespace {

using testsupport::ScratchHome;

std::vector<unsigned long> repeated(std::vector<std::pair<size_t, unsigned long>> runs) {
    std::vector<unsigned long> out;
    for (const auto& [count, value] : runs)
        out.insert(out.end(), count, value);
    return out;
}

// A virtual clock that lets a test act at the n-th sleep (1-based).
class HookClock : public platform::VirtualClock {
public:
    std::function<void(size_t)> onSleep;
    void sleepMs(unsigned long ms) override {
        VirtualClock::sleepMs(ms);
        if (onSleep)
            onSleep(waits().size());
    }
};

off_t descriptorOffset(const CXFile& f) {
    return ::lseek(f.getMainDescriptor(), 0, SEEK_CUR);
}

off_t sizeOnDisk(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + i % 53);
    return s;
}

class CXFileTest : public ::testing::Test {
protected:
    ScratchHome home;
    std::string path = home.sub("file");

    void openWith(CXFile& f, const std::string& content, unsigned int bufSize = 0,
                  sfOpenMode_t mode = sfOpenReadWrite) {
        testsupport::writeFile(path, content);
        ASSERT_EQ(f.open(path.c_str(), mode), 0);
        if (bufSize) {
            ASSERT_EQ(f.setBufSize(bufSize), 0);
        }
    }
};

// ---------------------------------------------------------------------------
// Line reader

struct LineCase {
    const char* name;
    std::string input;
    std::vector<std::pair<int, std::string>> lines; // result and text of each call
};

const std::vector<LineCase>& lineCases() {
    static const std::vector<LineCase> cases = {
        {"CrLfAndLf", "a\r\nb\nc", {{1, "a"}, {1, "b"}, {1, "c"}, {0, ""}}},
        {"CrInsideLine", "x\ry\n", {{1, "x\ry"}, {0, ""}}},
        {"CrCrLf", "\r\r\n", {{1, "\r"}, {0, ""}}},
        {"LoneLf", "\n", {{1, ""}, {0, ""}}},
        {"EmptyFile", "", {{0, ""}}},
        {"EmptyLines", "a\n\n\nb\n", {{1, "a"}, {1, ""}, {1, ""}, {1, "b"}, {0, ""}}},
        {"CrHeldAtEndOfFile", "abc\r", {{1, "abc"}, {0, ""}}},
        {"OnlyCr", "\r", {{0, ""}}},
        {"CrRunBeforeText", "\r\r\rx\n", {{1, "\r\r\rx"}, {0, ""}}},
        {"CrRunBeforeLf", "\r\r\r\n", {{1, "\r\r"}, {0, ""}}},
        {"CrCrLfThenCrLf", "a\r\r\nb\r\n", {{1, "a\r"}, {1, "b"}, {0, ""}}},
        {"CrAfterLfStartsNextLine", "a\n\rb\n", {{1, "a"}, {1, "\rb"}, {0, ""}}},
        {"LongLine", std::string(3000, 'x') + "\nyz", {{1, std::string(3000, 'x')}, {1, "yz"}}},
    };
    return cases;
}

TEST_F(CXFileTest, GetLineSplitsLinesAcrossAnyBufferSize) {
    for (unsigned int bufSize : {1024u, 1u, 2u, 3u, 7u}) {
        for (const LineCase& c : lineCases()) {
            SCOPED_TRACE(std::string(c.name) + " buffer " + std::to_string(bufSize));
            CXFile f;
            openWith(f, c.input, bufSize, sfOpenRead);
            char buf[4096];
            for (const auto& [result, text] : c.lines) {
                EXPECT_EQ(f.getLine(buf, sizeof buf), result);
                EXPECT_EQ(std::string(buf), text);
            }
            // End of file is sticky.
            EXPECT_EQ(f.getLine(buf, sizeof buf), 0);
            EXPECT_EQ(buf[0], '\0');
            EXPECT_EQ(f.getLastError(), 0);
        }
    }
}

struct TruncCase {
    const char* name;
    std::string input;
    unsigned long size;
    struct Step {
        int result;
        std::string text;
        int lastError;
    };
    std::vector<Step> steps;
};

TEST_F(CXFileTest, GetLineTruncatesAndResumesAtNextLine) {
    const std::vector<TruncCase> cases = {
        {"TenCharsSizeFive",
         "0123456789\nnext\n",
         5,
         {{-1, "0123", -2}, {1, "next", -2}, {0, "", -2}}},
        {"TruncatedLastLineWithoutLf", "0123456789", 5, {{-1, "0123", -2}, {0, "", -2}}},
        {"ExactFit", "abcd\n", 5, {{1, "abcd", 0}, {0, "", 0}}},
        {"OneOver", "abcde\n", 5, {{-1, "abcd", -2}}},
        {"StoredCrFits", "abc\r\r\n", 5, {{1, "abc\r", 0}}},
        {"StoredCrDoesNotFit", "abcd\r\r\n", 5, {{-1, "abcd", -2}}},
        {"DroppedCrNeedsNoRoom", "abcd\r\n", 5, {{1, "abcd", 0}}},
        {"CrThenTextOverflows", "abcd\rx\nz\n", 5, {{-1, "abcd", -2}, {1, "z", -2}}},
        {"SizeOneNonEmptyLine", "abc\nd\n", 1, {{-1, "", -2}, {-1, "", -2}, {0, "", -2}}},
        {"SizeOneEmptyLine", "\n", 1, {{1, "", 0}, {0, "", 0}}},
    };
    for (unsigned int bufSize : {1024u, 3u}) {
        for (const TruncCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " buffer " + std::to_string(bufSize));
            CXFile f;
            openWith(f, c.input, bufSize, sfOpenRead);
            for (const auto& step : c.steps) {
                // A canary just past the caller's size catches overruns.
                std::vector<char> buf(c.size + 1, '#');
                EXPECT_EQ(f.getLine(buf.data(), c.size), step.result);
                EXPECT_EQ(std::string(buf.data()), step.text);
                EXPECT_EQ(buf[c.size], '#');
                EXPECT_EQ(f.getLastError(), step.lastError);
            }
        }
    }
}

TEST_F(CXFileTest, GetLineWithSizeZeroIsRefused) {
    CXFile f;
    openWith(f, "abc\n", 0, sfOpenRead);
    char buf[1] = {'#'};
    EXPECT_EQ(f.getLine(buf, 0), -1);
    EXPECT_EQ(f.getLastError(), -1);
    EXPECT_EQ(buf[0], '#');
    // Nothing was consumed.
    char line[16];
    EXPECT_EQ(f.getLine(line, sizeof line), 1);
    EXPECT_STREQ(line, "abc");
}

TEST_F(CXFileTest, GetLineReportsReadErrorWithTerminatedBuffer) {
    // A directory opens read-only but read() fails with EISDIR.
    CXFile f;
    ASSERT_EQ(f.open(home.path().c_str(), sfOpenRead), 0);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(f.getLine(buf, sizeof buf), -1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(f.getLastError(), EISDIR);
}

// ---------------------------------------------------------------------------
// Wide line reader

std::string unitsToBytes(const std::wstring& w) {
    return std::string(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(wchar_t));
}

TEST_F(CXFileTest, GetLineWReadsFourByteUnits) {
    struct WideCase {
        const char* name;
        std::string bytes;
        std::vector<std::pair<int, std::wstring>> lines;
    };
    const std::vector<WideCase> cases = {
        {"CrLfAndLf", unitsToBytes(L"ab\r\ncd\n"), {{1, L"ab"}, {1, L"cd"}, {0, L""}}},
        {"CrRules", unitsToBytes(L"x\ry\n\r\r\n\n"), {{1, L"x\ry"}, {1, L"\r"}, {1, L""}}},
        {"LeadingBom", unitsToBytes(L"\xFEFFhello\n"), {{1, L"hello"}, {0, L""}}},
        {"SecondBomIsText", unitsToBytes(L"\xFEFF\xFEFFx\n"), {{1, L"\xFEFFx"}}},
        {"ThirdBomDroppedAgain", unitsToBytes(L"\xFEFF\xFEFF\xFEFFx\n"), {{1, L"\xFEFFx"}}},
        {"BomInsideLine",
         unitsToBytes(L"ab\xFEFF"
                      L"cd\n"),
         {{1, L"abcd"}}},
        {"BomBetweenCrAndLf", unitsToBytes(L"a\r\xFEFF\nb\n"), {{1, L"a"}, {1, L"b"}}},
        {"BomPairAtEnd",
         unitsToBytes(L"a\xFEFF"
                      L"b\xFEFF\xFEFF"),
         {{1, L"ab\xFEFF"}, {0, L""}}},
        // Only whole units with the value 10 or 13 end or hold a line.
        {"BytesOfLfInsideUnits",
         unitsToBytes(L"\x010A\x0D00\x0A0A\n"),
         {{1, L"\x010A\x0D00\x0A0A"}}},
        {"TrailingPartialUnitIgnored",
         unitsToBytes(L"ab\n") + std::string("\x01\x02", 2),
         {{1, L"ab"}, {0, L""}}},
        {"BomOnlyFile", unitsToBytes(L"\xFEFF"), {{0, L""}}},
    };
    for (unsigned int bufSize : {1024u, 4u, 6u, 9u}) {
        for (const WideCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " buffer " + std::to_string(bufSize));
            CXFile f;
            openWith(f, c.bytes, bufSize, sfOpenRead);
            wchar_t buf[64];
            for (const auto& [result, text] : c.lines) {
                EXPECT_EQ(f.getLineW(buf, sizeof buf), result);
                EXPECT_EQ(std::wstring(buf), text);
            }
        }
    }
}

TEST_F(CXFileTest, GetLineWSizeCountsBytesIncludingTerminator) {
    struct SizeCase {
        unsigned long size;
        int result;
        std::wstring text;
        int lastError;
    };
    // Line "abcd" then "z".
    const std::vector<SizeCase> cases = {
        {12, -1, L"ab", -2}, {13, -1, L"ab", -2}, {15, -1, L"ab", -2},
        {8, -1, L"a", -2},   {20, 1, L"abcd", 0}, {4, -1, L"", -2},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        CXFile f;
        openWith(f, unitsToBytes(L"abcd\nz\n"), 0, sfOpenRead);
        std::vector<wchar_t> buf(c.size / sizeof(wchar_t) + 1, 0x7777);
        EXPECT_EQ(f.getLineW(buf.data(), c.size), c.result);
        EXPECT_EQ(std::wstring(buf.data()), c.text);
        EXPECT_EQ(buf[c.size / sizeof(wchar_t)], 0x7777);
        EXPECT_EQ(f.getLastError(), c.lastError);
        EXPECT_EQ(f.getLineW(buf.data(), c.size), c.size >= 8 ? 1 : -1);
        if (c.size >= 8) {
            EXPECT_EQ(std::wstring(buf.data()), L"z");
        }
    }
}

TEST_F(CXFileTest, GetLineWRefusesBufferWithoutRoomForTerminator) {
    for (unsigned long size : {0ul, 1ul, 3ul}) {
        CXFile f;
        openWith(f, unitsToBytes(L"a\n"), 0, sfOpenRead);
        wchar_t buf[1] = {0x7777};
        EXPECT_EQ(f.getLineW(buf, size), -1);
        EXPECT_EQ(f.getLastError(), -1);
        EXPECT_EQ(buf[0], 0x7777);
    }
}

TEST_F(CXFileTest, GetLineWReadsUnitsSplitAcrossPipeWrites) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string bytes = unitsToBytes(L"hi\n");
    // First write ends in the middle of the second unit.
    ASSERT_EQ(::write(fds[1], bytes.data(), 6), 6);
    pid_t child = testsupport::forkChild([&] {
        ::usleep(50000);
        return ::write(fds[1], bytes.data() + 6, bytes.size() - 6) > 0 ? 0 : 1;
    });
    ::close(fds[1]);
    {
        CXFile f;
        ASSERT_EQ(f.setHandles(fds[0], -1, sfOpenRead), 0);
        wchar_t buf[16];
        EXPECT_EQ(f.getLineW(buf, sizeof buf), 1);
        EXPECT_EQ(std::wstring(buf), L"hi");
        EXPECT_EQ(f.getLineW(buf, sizeof buf), 0);
    }
    EXPECT_EQ(testsupport::waitChild(child), 0);
    ::close(fds[0]);
}

// ---------------------------------------------------------------------------
// Line writer

TEST_F(CXFileTest, PutLineIsBufferedUntilClose) {
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    EXPECT_EQ(f.putLine("abc"), 0);
    EXPECT_EQ(testsupport::readFile(path), "");
    EXPECT_EQ(f.getCurOffset(), 4u);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(testsupport::readFile(path), "abc\n");
}

TEST_F(CXFileTest, PutLineWithFlushWritesAtOnce) {
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    EXPECT_EQ(f.putLine("first"), 0);
    EXPECT_EQ(f.putLine("second", true), 0);
    EXPECT_EQ(testsupport::readFile(path), "first\nsecond\n");
}

TEST_F(CXFileTest, PutLineKeepsEveryByteAroundBufferBoundaries) {
    for (unsigned int bufSize : {1u, 7u, 8u, 1024u}) {
        SCOPED_TRACE("buffer " + std::to_string(bufSize));
        std::string expected;
        {
            CXFile f;
            ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
            ASSERT_EQ(f.truncate(), 0);
            ASSERT_EQ(f.setBufSize(bufSize), 0);
            for (size_t len = 0; len <= 20; ++len) {
                std::string line = pattern(len);
                ASSERT_EQ(f.putLine(line.c_str()), 0);
                expected += line + "\n";
                ASSERT_EQ(f.getCurOffset(), expected.size());
                // Whatever is not yet on disk is less than one buffer.
                ASSERT_LT(expected.size() - static_cast<size_t>(sizeOnDisk(path)), bufSize);
            }
            ASSERT_EQ(f.close(), 0);
        }
        EXPECT_EQ(testsupport::readFile(path), expected);
    }
}

TEST_F(CXFileTest, PutLineThenGetLineRoundTrip) {
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    ASSERT_EQ(f.setBufSize(16), 0);
    const std::vector<std::string> lines = {"", "short", pattern(40), "x"};
    for (const auto& l : lines)
        ASSERT_EQ(f.putLine(l.c_str()), 0);
    ASSERT_EQ(f.seek(0, sfSeekSet), 0);
    char buf[128];
    for (const auto& l : lines) {
        ASSERT_EQ(f.getLine(buf, sizeof buf), 1);
        EXPECT_EQ(std::string(buf), l);
    }
    EXPECT_EQ(f.getLine(buf, sizeof buf), 0);
}

// ---------------------------------------------------------------------------
// Buffered transfer

TEST_F(CXFileTest, BufWritePaths) {
    struct WriteCase {
        const char* name;
        std::vector<size_t> writes;
        off_t onDisk; // bytes written through before any flush
    };
    const std::vector<WriteCase> cases = {
        {"LargeOnEmptyBufferGoesStraightThrough", {100}, 100},
        {"ExactlyOneBufferGoesStraightThrough", {16}, 16},
        {"SmallStaysBuffered", {5}, 0},
        {"FillingTheBufferWritesIt", {15, 1}, 16},
        {"PendingThenLargeWritesBoth", {5, 100}, 105},
        {"PendingThenMediumKeepsTail", {5, 20}, 16},
        {"SeveralSmall", {7, 7, 7}, 16},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected;
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
        ASSERT_EQ(f.truncate(), 0);
        ASSERT_EQ(f.setBufSize(16), 0);
        for (size_t n : c.writes) {
            std::string chunk = pattern(expected.size() + n).substr(expected.size());
            ASSERT_EQ(f.bufWrite(chunk.data(), n), static_cast<int>(n));
            expected += chunk;
        }
        EXPECT_EQ(sizeOnDisk(path), c.onDisk);
        EXPECT_EQ(f.getCurOffset(), expected.size());
        EXPECT_EQ(f.bufWriteFlush(), 0);
        EXPECT_EQ(testsupport::readFile(path), expected);
        EXPECT_EQ(f.getCurOffset(), expected.size());
        EXPECT_EQ(f.close(), 0);
    }
}

TEST_F(CXFileTest, BufReadStraightThroughAndBuffered) {
    const std::string content = pattern(5000);
    CXFile f;
    openWith(f, content, 0, sfOpenRead);
    std::string got(2000, '\0');
    // A request of at least one buffer on an empty buffer is one direct read.
    ASSERT_EQ(f.bufRead(got.data(), 2000), 2000);
    EXPECT_EQ(got, content.substr(0, 2000));
    EXPECT_EQ(descriptorOffset(f), 2000);
    EXPECT_EQ(f.getCurOffset(), 2000u);
    // A small one fills a whole buffer.
    got.assign(10, '\0');
    ASSERT_EQ(f.bufRead(got.data(), 10), 10);
    EXPECT_EQ(got, content.substr(2000, 10));
    EXPECT_EQ(descriptorOffset(f), 3024);
    EXPECT_EQ(f.getCurOffset(), 2010u);
}

TEST_F(CXFileTest, BufReadOffsetIsLogicalNotDescriptorPosition) {
    for (size_t fileSize : {100u, 5000u}) {
        SCOPED_TRACE("file size " + std::to_string(fileSize));
        CXFile f;
        openWith(f, pattern(fileSize), 0, sfOpenRead);
        char buf[10];
        ASSERT_EQ(f.bufRead(buf, 10), 10);
        EXPECT_EQ(f.getCurOffset(), 10u);
        EXPECT_EQ(descriptorOffset(f), static_cast<off_t>(std::min<size_t>(fileSize, 1024)));
    }
}

TEST_F(CXFileTest, BufReadDrainsBufferThenReadsRestDirectly) {
    const std::string content = pattern(100);
    CXFile f;
    openWith(f, content, 16, sfOpenRead);
    std::string a(10, '\0'), b(50, '\0');
    ASSERT_EQ(f.bufRead(a.data(), 10), 10);
    EXPECT_EQ(descriptorOffset(f), 16);
    ASSERT_EQ(f.bufRead(b.data(), 50), 50);
    EXPECT_EQ(a + b, content.substr(0, 60));
    EXPECT_EQ(descriptorOffset(f), 60);
    EXPECT_EQ(f.getCurOffset(), 60u);
}

TEST_F(CXFileTest, BufReadShortAtEndOfFile) {
    struct ShortCase {
        unsigned int bufSize;
        std::vector<std::pair<unsigned long, int>> reads; // asked, returned
    };
    const std::vector<ShortCase> cases = {
        {1024, {{100, 30}, {100, 0}}},
        {16, {{100, 30}, {100, 0}}},
        {16, {{10, 10}, {100, 20}, {5, 0}}},
        {16, {{25, 25}, {10, 5}, {1, 0}}},
    };
    const std::string content = pattern(30);
    for (const ShortCase& c : cases) {
        SCOPED_TRACE("buffer " + std::to_string(c.bufSize));
        CXFile f;
        openWith(f, content, c.bufSize, sfOpenRead);
        std::string got;
        for (const auto& [asked, returned] : c.reads) {
            std::string buf(asked, '\0');
            ASSERT_EQ(f.bufRead(buf.data(), asked), returned);
            got += buf.substr(0, static_cast<size_t>(returned));
        }
        EXPECT_EQ(got, content);
    }
}

TEST_F(CXFileTest, BufReadFlushDiscardsBufferedBytes) {
    CXFile f;
    openWith(f, "abcdefgh", 0, sfOpenRead);
    char buf[4] = {};
    ASSERT_EQ(f.bufRead(buf, 2), 2);
    f.bufReadFlush();
    EXPECT_EQ(f.bufRead(buf, 2), 0);
}

TEST_F(CXFileTest, SetBufSizeSetsTransferBlock) {
    struct SizeCase {
        std::vector<unsigned int> sizes;
        size_t fileSize;
        off_t firstBlock;
    };
    const std::vector<SizeCase> cases = {
        {{512}, 2000, 512},
        {{65536}, 100000, 65536},
        {{65536, 512}, 100000, 512},
        {{100, 3000}, 5000, 3000},
    };
    for (const SizeCase& c : cases) {
        CXFile f;
        openWith(f, pattern(c.fileSize), 0, sfOpenRead);
        for (unsigned int s : c.sizes)
            ASSERT_EQ(f.setBufSize(s), 0);
        char buf[10];
        ASSERT_EQ(f.bufRead(buf, 10), 10);
        EXPECT_EQ(descriptorOffset(f), c.firstBlock);
        EXPECT_EQ(std::string(buf, 10), pattern(10));
    }
}

TEST_F(CXFileTest, SetBufSizeGrowingKeepsBufferedData) {
    CXFile f;
    const std::string content = pattern(3000);
    openWith(f, content, 0, sfOpenRead);
    std::string got(10, '\0');
    ASSERT_EQ(f.bufRead(got.data(), 10), 10);
    ASSERT_EQ(f.setBufSize(1 << 20), 0);
    std::string rest(1014, '\0');
    ASSERT_EQ(f.bufRead(rest.data(), rest.size()), 1014);
    EXPECT_EQ(got + rest, content.substr(0, 1024));
}

TEST_F(CXFileTest, SetBufSizeZeroIsRefused) {
    CXFile f;
    EXPECT_EQ(f.setBufSize(0), -1);
    EXPECT_EQ(f.getLastError(), EINVAL);
}

// ---------------------------------------------------------------------------
// Unbuffered transfer, seek, truncate

TEST_F(CXFileTest, ReadAndWriteAreUnbufferedAndTracked) {
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    EXPECT_EQ(f.write("hello", 5), 5);
    EXPECT_EQ(testsupport::readFile(path), "hello");
    EXPECT_EQ(f.getCurOffset(), 5u);
    ASSERT_EQ(f.seek(1, sfSeekSet), 0);
    char buf[8] = {};
    EXPECT_EQ(f.read(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_EQ(f.getCurOffset(), 5u);
    EXPECT_EQ(f.read(buf, sizeof buf), 0);
}

TEST_F(CXFileTest, SeekFlushesWritesAndDiscardsReads) {
    CXFile f;
    openWith(f, "hello world");
    char buf[6] = {};
    ASSERT_EQ(f.bufRead(buf, 5), 5);
    ASSERT_EQ(f.seek(6, sfSeekSet), 0);
    EXPECT_EQ(f.getCurOffset(), 6u);
    ASSERT_EQ(f.bufRead(buf, 5), 5);
    EXPECT_STREQ(buf, "world");
    ASSERT_EQ(f.seek(0, sfSeekEnd), 0);
    EXPECT_EQ(f.getCurOffset(), 11u);
    ASSERT_EQ(f.bufWrite("!!", 2), 2);
    EXPECT_EQ(testsupport::readFile(path), "hello world");
    ASSERT_EQ(f.seek(0, sfSeekSet), 0);
    EXPECT_EQ(testsupport::readFile(path), "hello world!!");
    ASSERT_EQ(f.bufRead(buf, 5), 5);
    EXPECT_STREQ(buf, "hello");
}

TEST_F(CXFileTest, SeekFailureKeepsPosition) {
    CXFile f;
    openWith(f, "abc");
    ASSERT_EQ(f.seek(2, sfSeekSet), 0);
    EXPECT_EQ(f.seek(-10, sfSeekSet), -1);
    EXPECT_EQ(f.getLastError(), EINVAL);
    EXPECT_EQ(f.getCurOffset(), 2u);
}

TEST_F(CXFileTest, TruncateEmptiesTheFileIncludingPendingWrites) {
    CXFile f;
    openWith(f, "old content");
    ASSERT_EQ(f.seek(4, sfSeekSet), 0);
    ASSERT_EQ(f.bufWrite("xyz", 3), 3);
    EXPECT_EQ(f.truncate(), 0);
    EXPECT_EQ(sizeOnDisk(path), 0);
    EXPECT_EQ(f.getCurOffset(), 0u);
    ASSERT_EQ(f.putLine("new"), 0);
    ASSERT_EQ(f.close(), 0);
    EXPECT_EQ(testsupport::readFile(path), "new\n");
}

TEST_F(CXFileTest, SelectForReadOnPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        CXFile f;
        ASSERT_EQ(f.setHandles(fds[0], fds[1], sfOpenReadWrite), 0);
        EXPECT_EQ(f.selectForRead(0), 0);
        ASSERT_EQ(f.putLine("ping", true), 0);
        EXPECT_EQ(f.selectForRead(0), 1);
        char buf[16];
        EXPECT_EQ(f.getLine(buf, sizeof buf), 1);
        EXPECT_STREQ(buf, "ping");

        CXFile writer;
        ASSERT_EQ(writer.setHandles(-1, fds[1], sfOpenWrite), 0);
        EXPECT_EQ(writer.getMainDescriptor(), fds[1]);
        EXPECT_EQ(writer.selectForRead(0), -1);
    }
    // Handed-in descriptors survive the objects.
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), 0);
    EXPECT_EQ(::fcntl(fds[1], F_GETFD), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(CXFileTest, SetHandlesMayReplaceHandedInDescriptorsOnly) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CXFile piped;
    ASSERT_EQ(piped.setHandles(fds[0], fds[1], sfOpenRead), 0);
    EXPECT_EQ(piped.getMainDescriptor(), fds[0]);
    EXPECT_EQ(piped.setHandles(fds[0], fds[1], sfOpenWrite), 0);
    EXPECT_EQ(piped.getMainDescriptor(), fds[1]);
    EXPECT_EQ(piped.isOpened(), 1);

    CXFile own;
    openWith(own, "x");
    EXPECT_EQ(own.setHandles(fds[0], fds[1], sfOpenRead), -1);
    EXPECT_EQ(own.getLastError(), -1);
    EXPECT_NE(own.getMainDescriptor(), fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
}

// ---------------------------------------------------------------------------
// Open, close, destruction

TEST_F(CXFileTest, OpenModesAndPermissions) {
    const mode_t oldMask = ::umask(022);
    {
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
        EXPECT_EQ(f.getPath(), path);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0744u);
    }
    {
        const std::string other = home.sub("private");
        CXFile f;
        ASSERT_EQ(f.open(other.c_str(), sfOpenCreateNew, 0, 0600), 0);
        struct stat st;
        ASSERT_EQ(::stat(other.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    ::umask(oldMask);
    {
        // No O_TRUNC: opening for writing keeps the content.
        testsupport::writeFile(path, "keep me");
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenWrite), 0);
        ASSERT_EQ(f.write("K", 1), 1);
        ASSERT_EQ(f.close(), 0);
        EXPECT_EQ(testsupport::readFile(path), "Keep me");
    }
}

TEST_F(CXFileTest, OpenCreateNewOnExistingFileFailsWithoutRetries) {
    testsupport::writeFile(path, "");
    platform::VirtualClock clock;
    CXFile f;
    EXPECT_EQ(f.open(path.c_str(), sfOpenCreateNew), -1);
    EXPECT_EQ(f.getLastError(), EEXIST);
    EXPECT_TRUE(clock.waits().empty());
    EXPECT_EQ(f.isOpened(), 0);
}

TEST_F(CXFileTest, OpenRetriesEveryFailureOnceASecond) {
    testsupport::writeFile(path, "");
    platform::VirtualClock clock;
    CXFile f;
    EXPECT_EQ(f.open(path.c_str(), sfOpenCreateNew, 3), -1);
    EXPECT_EQ(f.getLastError(), EEXIST);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));

    clock.clearWaits();
    const std::string missing = home.sub("missing");
    EXPECT_EQ(f.open(missing.c_str(), sfOpenRead, 2), -1);
    EXPECT_EQ(f.getLastError(), ENOENT);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000}));
}

TEST_F(CXFileTest, OpenSucceedsWhenFileAppearsDuringRetries) {
    HookClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 2)
            testsupport::writeFile(path, "late\n");
    };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenRead, 5), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000}));
    char buf[8];
    EXPECT_EQ(f.getLine(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "late");
}

TEST_F(CXFileTest, OpenStoresPathBeforeValidating) {
    CXFile f;
    EXPECT_EQ(f.open(path.c_str(), static_cast<sfOpenMode_t>(5)), -1);
    EXPECT_EQ(f.getLastError(), EINVAL);
    EXPECT_EQ(f.getPath(), path);
    EXPECT_EQ(f.isOpened(), 0);
}

TEST_F(CXFileTest, ReopenAfterCloseServesTheNewFile) {
    const std::string second = home.sub("second");
    testsupport::writeFile(second, "second file\n");
    CXFile f;
    openWith(f, "first file\n", 0, sfOpenRead);
    char buf[32];
    ASSERT_EQ(f.bufRead(buf, 3), 3);
    ASSERT_EQ(f.close(), 0);
    EXPECT_EQ(f.isOpened(), 0);
    EXPECT_EQ(f.getMainDescriptor(), -1);
    ASSERT_EQ(f.open(second.c_str(), sfOpenRead), 0);
    EXPECT_EQ(f.getPath(), second);
    EXPECT_EQ(f.getLine(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "second file");
}

TEST_F(CXFileTest, CloseFlushesAndClosesDescriptor) {
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    const int fd = f.getMainDescriptor();
    ASSERT_EQ(f.bufWrite("pending", 7), 7);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(testsupport::readFile(path), "pending");
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(f.close(), 0); // closed: nothing to do
}

TEST_F(CXFileTest, DestructorFlushesAndClosesOwnDescriptor) {
    int fd;
    {
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
        fd = f.getMainDescriptor();
        ASSERT_EQ(f.putLine("from destructor"), 0);
    }
    EXPECT_EQ(testsupport::readFile(path), "from destructor\n");
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST_F(CXFileTest, FailedFlushStillClosesAndReportsError) {
    CXFile f;
    ASSERT_EQ(f.open("/dev/full", sfOpenWrite), 0);
    ASSERT_EQ(f.bufWrite("abc", 3), 3);
    EXPECT_EQ(f.close(), -1);
    EXPECT_EQ(f.getLastError(), ENOSPC);
    EXPECT_EQ(f.isOpened(), 0);
    // The lost bytes do not reappear in the next file.
    ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
    EXPECT_EQ(f.bufWriteFlush(), 0);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(testsupport::readFile(path), "");
}

TEST_F(CXFileTest, WriteFailuresStoreErrno) {
    CXFile f;
    ASSERT_EQ(f.open("/dev/full", sfOpenWrite), 0);
    EXPECT_EQ(f.write("abc", 3), -1);
    EXPECT_EQ(f.getLastError(), ENOSPC);
    const std::string big(4096, 'x');
    EXPECT_EQ(f.bufWrite(big.data(), big.size()), -1);
    EXPECT_EQ(f.getLastError(), ENOSPC);
    EXPECT_EQ(f.putLine("abc", true), -1);
    EXPECT_EQ(f.bufWriteFlush(), -1); // still pending
}

TEST_F(CXFileTest, ShortWriteReportsMinusTwoAndCountsWrittenBytes) {
    // Past the file-size limit write() returns a short count instead of failing.
    const int rc = testsupport::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {10, 10};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            return 1;
        CXFile f;
        if (f.open(path.c_str(), sfOpenCreate) != 0)
            return 2;
        if (f.write("0123456789abcdef", 16) != -1)
            return 3;
        if (f.getLastError() != -2)
            return 4;
        if (f.getCurOffset() != 10)
            return 5;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::readFile(path), "0123456789");
}

TEST_F(CXFileTest, WrongStateCallsFailWithMinusOne) {
    struct StateCase {
        const char* name;
        int opened; // -1 closed, else the sfOpenMode_t
        std::function<int(CXFile&)> call;
    };
    char buf[16];
    wchar_t wbuf[16];
    const std::vector<StateCase> cases = {
        {"ReadClosed", -1, [&](CXFile& f) { return f.read(buf, 1); }},
        {"WriteClosed", -1, [&](CXFile& f) { return f.write("x", 1); }},
        {"BufReadClosed", -1, [&](CXFile& f) { return f.bufRead(buf, 1); }},
        {"BufWriteClosed", -1, [&](CXFile& f) { return f.bufWrite("x", 1); }},
        {"PutLineClosed", -1, [&](CXFile& f) { return f.putLine("x"); }},
        {"GetLineClosed", -1, [&](CXFile& f) { return f.getLine(buf, sizeof buf); }},
        {"GetLineWClosed", -1, [&](CXFile& f) { return f.getLineW(wbuf, sizeof wbuf); }},
        {"SeekClosed", -1, [&](CXFile& f) { return f.seek(0, sfSeekSet); }},
        {"LockClosed", -1, [&](CXFile& f) { return f.lock(sfLockExclusive, 0); }},
        {"UnlockClosed", -1, [&](CXFile& f) { return f.unlock(); }},
        {"TruncateClosed", -1, [&](CXFile& f) { return f.truncate(); }},
        {"SelectClosed", -1, [&](CXFile& f) { return f.selectForRead(0); }},
        {"WriteOnReadOnly", sfOpenRead, [&](CXFile& f) { return f.write("x", 1); }},
        {"BufWriteOnReadOnly", sfOpenRead, [&](CXFile& f) { return f.bufWrite("x", 1); }},
        {"PutLineOnReadOnly", sfOpenRead, [&](CXFile& f) { return f.putLine("x"); }},
        {"ReadOnWriteOnly", sfOpenWrite, [&](CXFile& f) { return f.read(buf, 1); }},
        {"BufReadOnWriteOnly", sfOpenWrite, [&](CXFile& f) { return f.bufRead(buf, 1); }},
        {"GetLineOnWriteOnly", sfOpenWrite, [&](CXFile& f) { return f.getLine(buf, sizeof buf); }},
        {"OpenWhileOpen", sfOpenRead, [&](CXFile& f) { return f.open(path.c_str(), sfOpenRead); }},
        {"SeekOriginThree", sfOpenRead,
         [&](CXFile& f) { return f.seek(0, static_cast<sfSeekMode_t>(3)); }},
        {"LockModeTwo", sfOpenReadWrite,
         [&](CXFile& f) { return f.lock(static_cast<sfLockMode_t>(2), 0); }},
        {"UnlockNotLocked", sfOpenReadWrite, [&](CXFile& f) { return f.unlock(); }},
        {"LockWhileLocked", sfOpenReadWrite,
         [&](CXFile& f) {
             if (f.lock(sfLockExclusive, 0) != 1)
                 return 99;
             return f.lock(sfLockShared, 0);
         }},
    };
    testsupport::writeFile(path, "content\n");
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        CXFile f;
        if (c.opened >= 0) {
            ASSERT_EQ(f.open(path.c_str(), static_cast<sfOpenMode_t>(c.opened)), 0);
        }
        EXPECT_EQ(c.call(f), -1);
        EXPECT_EQ(f.getLastError(), -1);
    }
    EXPECT_EQ(testsupport::readFile(path), "content\n");
}

TEST_F(CXFileTest, LastErrorSurvivesSuccessAndCanBeCopied) {
    CXFile a;
    EXPECT_EQ(a.unlock(), -1);
    openWith(a, "x\n");
    char buf[4];
    EXPECT_EQ(a.getLine(buf, sizeof buf), 1);
    EXPECT_EQ(a.getLastError(), -1);

    CXFile b;
    EXPECT_EQ(b.open(home.sub("nope").c_str(), sfOpenRead), -1);
    EXPECT_EQ(a.setLastError(b), ENOENT);
    EXPECT_EQ(a.getLastError(), ENOENT);
}

TEST(CXFileMutexName, LastSixComponents) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a/b/c/d/e/f/g/h", "c_d_e_f_g_h"},
        {"/x/a/b/c/d/e/f", "a_b_c_d_e_f"},
        {"/a/b/c/d/e/f", "a_b_c_d_e_f"},
        {"/a/b/c", "a_b_c"},
        {"/lock", "lock"},
        {"rel/a/b", "rel_a_b"},
        {"r/a/b/c/d/e/f", "a_b_c_d_e_f"},
        {"", ""},
        {"/", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(CXFile::mutexNameFromPath(in), out) << in;
}

// ---------------------------------------------------------------------------
// Locks

// Lock result of a fresh object in a forked child, shifted so 0..2 stay
// distinguishable from the child's own failure codes.
int lockInChild(const std::string& path, sfLockMode_t mode) {
    return testsupport::runInChild([&] {
               CXFile f;
               if (f.open(path.c_str(), sfOpenReadWrite) != 0)
                   return 100;
               return f.lock(mode, 0) + 10;
           }) -
           10;
}

// A forked child that holds a lock on path until released.
class LockHolder {
public:
    LockHolder(const std::string& path, sfLockMode_t mode) {
        pid_ = testsupport::forkChild([&] {
            CXFile f;
            if (f.open(path.c_str(), sfOpenReadWrite) != 0 || f.lock(mode, 0) != 1)
                return 1;
            ready_.post();
            if (!release_.wait())
                return 2;
            if (f.unlock() != 0)
                return 3;
            released_.post();
            done_.wait();
            return 0;
        });
        holding_ = ready_.wait();
    }
    ~LockHolder() {
        if (!releasedEarly_)
            release_.post();
        done_.post();
        testsupport::waitChild(pid_);
    }
    bool holding() const { return holding_; }
    // Releases the lock and returns once the child has done so.
    bool release() {
        releasedEarly_ = true;
        release_.post();
        return released_.wait();
    }

private:
    testsupport::ProcessSignal ready_, release_, released_, done_;
    pid_t pid_ = -1;
    bool holding_ = false;
    bool releasedEarly_ = false;
};

TEST_F(CXFileTest, LockSurvivesClosingAnotherDescriptorOfTheFile) {
    testsupport::writeFile(path, "x");
    CXFile holder;
    ASSERT_EQ(holder.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(holder.lock(sfLockExclusive, 0), 1);
    {
        CXFile other;
        ASSERT_EQ(other.open(path.c_str(), sfOpenRead), 0);
        ASSERT_EQ(other.close(), 0);
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 0);
    EXPECT_EQ(lockInChild(path, sfLockShared), 0);
    EXPECT_EQ(holder.isLocked(), 1);
}

TEST_F(CXFileTest, TwoObjectsOfOneProcessExcludeEachOther) {
    testsupport::writeFile(path, "x");
    CXFile a, b, c;
    ASSERT_EQ(a.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(b.open(path.c_str(), sfOpenReadWrite), 0);
    ASSERT_EQ(c.open(path.c_str(), sfOpenReadWrite), 0);

    ASSERT_EQ(a.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(b.lock(sfLockExclusive, 0), 0);
    EXPECT_EQ(b.getLastError(), EAGAIN);
    EXPECT_EQ(b.lock(sfLockShared, 0), 0);
    EXPECT_EQ(b.isLocked(), 0);

    ASSERT_EQ(a.unlock(), 0);
    EXPECT_EQ(a.isLocked(), 0);
    ASSERT_EQ(b.lock(sfLockShared, 0), 1);
    ASSERT_EQ(c.lock(sfLockShared, 0), 1);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 0);
    ASSERT_EQ(b.unlock(), 0);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 0);
    ASSERT_EQ(c.close(), 0);
    EXPECT_EQ(a.lock(sfLockExclusive, 0), 1);
}

TEST_F(CXFileTest, UnlockCloseAndDestructorReleaseForOtherProcesses) {
    testsupport::writeFile(path, "x");
    {
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(lockInChild(path, sfLockShared), 0);
        ASSERT_EQ(f.unlock(), 0);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);

        ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
        ASSERT_EQ(f.close(), 0);
        EXPECT_EQ(f.isLocked(), 0);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);

        ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
        ASSERT_EQ(f.lock(sfLockShared, 0), 1);
        EXPECT_EQ(lockInChild(path, sfLockShared), 1);
        EXPECT_EQ(lockInChild(path, sfLockExclusive), 0);
    }
    EXPECT_EQ(lockInChild(path, sfLockExclusive), 1);
}

TEST_F(CXFileTest, UnlockFlushesPendingWrites) {
    CXFile f;
    openWith(f, "");
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.putLine("under lock"), 0);
    EXPECT_EQ(f.unlock(), 0);
    EXPECT_EQ(testsupport::readFile(path), "under lock\n");
}

TEST_F(CXFileTest, LockOnReadOnlyDescriptorFailsWithErrno) {
    CXFile f;
    openWith(f, "x", 0, sfOpenRead);
    EXPECT_EQ(f.lock(sfLockExclusive, 5), -1);
    EXPECT_EQ(f.getLastError(), EBADF);
    EXPECT_EQ(f.isLocked(), 0);
    EXPECT_EQ(f.lock(sfLockShared, 0), 1);
}

TEST_F(CXFileTest, LockHeldElsewhereWithZeroTimeoutReturnsAtOnce) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockShared);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 0);
    EXPECT_TRUE(clock.waits().empty());
    EXPECT_EQ(f.lock(sfLockShared, 0), 1);
}

TEST_F(CXFileTest, LockWaitsOneSecondStepsUntilTimeout) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 5), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000, 1000, 1000}));
    EXPECT_EQ(f.isLocked(), 0);
    EXPECT_EQ(f.getLastError(), EAGAIN);
}

TEST_F(CXFileTest, LockStepsGrowWithTimeWaited) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    platform::VirtualClock clock;
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockShared, 200), 0);
    // 1 s until 30 s are waited, 2 s until 60, 5 s until 120, then 10 s,
    // the last step cut to what is left of the time-out.
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {15, 2}, {12, 5}, {7, 10}, {1, 9}}));

    // A short time-out cuts the grown step as well.
    clock.clearWaits();
    EXPECT_EQ(f.lock(sfLockShared, 33), 0);
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {1, 2}}));
    clock.clearWaits();
    EXPECT_EQ(f.lock(sfLockShared, 32), 0);
    EXPECT_EQ(clock.waitSeconds(), repeated({{31, 1}, {1, 1}}));
}

TEST_F(CXFileTest, LockTimeoutCountsClockTimeNotSleeps) {
    // Time passing outside the sleeps (another busy process, a slow disk)
    // shortens the wait.
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 2)
            clock.advance(10);
    };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 13), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));
}

TEST_F(CXFileTest, LockGivesUpWhenClockGoesBackwards) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t) { clock.advance(-100); };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 60), 0);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000}));
}

TEST_F(CXFileTest, LockTakenOnceTheOtherProcessReleases) {
    testsupport::writeFile(path, "x");
    LockHolder holder(path, sfLockExclusive);
    ASSERT_TRUE(holder.holding());
    HookClock clock;
    clock.onSleep = [&](size_t n) {
        if (n == 3) {
            ASSERT_TRUE(holder.release());
        }
    };
    CXFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWrite), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 60), 1);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));
    EXPECT_EQ(f.isLocked(), 1);
}

// The cases below inject errnos that a healthy kernel does not produce on
// demand.

TEST_F(CXFileTest, LockRetriesInterruptedRequestsAtOnce) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.next = {EINTR, EINTR, EINTR};
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(faults.requests, 4u);
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(CXFileTest, LockBacksOffWhenLockRecordsRunOut) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    // The time-out of 0 does not apply to this case.
    faults.next.assign(7, ENOLCK);
    EXPECT_EQ(f.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(clock.waitSeconds(), (std::vector<unsigned long>{1, 2, 4, 8, 16, 32, 32}));
    ASSERT_EQ(f.unlock(), 0);

    // Gives up once more than 299 seconds have gone into backing off.
    clock.clearWaits();
    faults.always = ENOLCK;
    EXPECT_EQ(f.lock(sfLockExclusive, 1000), -1);
    EXPECT_EQ(f.getLastError(), ENOLCK);
    EXPECT_EQ(clock.waitSeconds(), repeated({{1, 1}, {1, 2}, {1, 4}, {1, 8}, {1, 16}, {9, 32}}));
}

TEST_F(CXFileTest, LockOtherErrorFailsAtOnce) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.next = {EDEADLK};
    EXPECT_EQ(f.lock(sfLockExclusive, 100), -1);
    EXPECT_EQ(f.getLastError(), EDEADLK);
    EXPECT_EQ(faults.requests, 1u);
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(CXFileTest, LockGivesUpAfterHalfAMillionAttempts) {
    FaultScope scope;
    platform::VirtualClock clock;
    CXFile f;
    openWith(f, "x");
    faults.always = EINTR;
    EXPECT_EQ(f.lock(sfLockExclusive, 0), -1);
    EXPECT_EQ(f.getLastError(), -7777);
    EXPECT_EQ(faults.requests, 500000u);
    EXPECT_TRUE(clock.waits().empty());

    // Waiting attempts count too.
    faults.requests = 0;
    faults.always = EAGAIN;
    EXPECT_EQ(f.lock(sfLockExclusive, ULONG_MAX), -1);
    EXPECT_EQ(f.getLastError(), -7777);
    EXPECT_EQ(faults.requests, 500000u);
    EXPECT_EQ(clock.waits().size(), 500000u);
}

TEST_F(CXFileTest, LockFallsBackToProcessLocksWhereOfdIsRejected) {
    testsupport::writeFile(path, "x");
    // In a child: the fallback is remembered for the rest of the process.
    const int rc = testsupport::runInChild([&] {
        faults = LockFaults();
        faults.rejectOfd = true;
        faults.recording = true;
        CXFile f;
        if (f.open(path.c_str(), sfOpenReadWrite) != 0)
            return 1;
        if (f.lock(sfLockExclusive, 0) != 1)
            return 2;
        if (faults.commands != std::vector<int>{F_OFD_SETLK, F_SETLK})
            return 3;
        faults.commands.clear();
        if (f.unlock() != 0)
            return 4;
        if (faults.commands != std::vector<int>{F_SETLK})
            return 5;
        faults.commands.clear();
        if (f.lock(sfLockShared, 0) != 1)
            return 6;
        if (faults.commands != std::vector<int>{F_SETLK})
            return 7;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(CXFileTest, UnlockUsesTheKindOfLockTaken) {
    FaultScope scope;
    CXFile f;
    openWith(f, "x");
    faults.recording = true;
    ASSERT_EQ(f.lock(sfLockExclusive, 0), 1);
    ASSERT_EQ(f.unlock(), 0);
    EXPECT_EQ(faults.commands, (std::vector<int>{F_OFD_SETLK, F_OFD_SETLK}));
}

} // namespace
