// Buffered file: line readers (narrow and wide), line writer and buffered
// transfer around buffer boundaries.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::descriptorOffset;
using cxfiletest::pattern;
using cxfiletest::sizeOnDisk;

namespace {

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
} // namespace
