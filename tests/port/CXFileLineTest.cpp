// Buffered file: the line reader and buffered writes around buffer boundaries.
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::pattern;
using cxfiletest::sizeOnDisk;

namespace {

TEST_F(CXFileTest, GetLineSplitsLinesAcrossAnyBufferSize) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"a\r\nb\nc", {"a", "b", "c"}},
        {"x\ry\n", {"x\ry"}},
        {"\r\r\n", {"\r"}},
        {"a\n\n\nb\n", {"a", "", "", "b"}},
        {"abc\r", {"abc"}},
        {"\r", {}},
        {"\r\r\r\n", {"\r\r"}},
        {"a\r\r\nb\r\n", {"a\r", "b"}},
        {"a\n\rb\n", {"a", "\rb"}},
        {std::string(3000, 'x') + "\nyz", {std::string(3000, 'x'), "yz"}},
    };
    for (unsigned int bufSize : {1024u, 1u, 2u, 3u, 7u}) {
        for (const auto& [input, lines] : cases) {
            SCOPED_TRACE(input.substr(0, 12) + " buffer " + std::to_string(bufSize));
            CXFile f;
            openWith(f, input, bufSize, sfOpenRead);
            char buf[4096];
            for (const std::string& line : lines) {
                EXPECT_EQ(f.getLine(buf, sizeof buf), 1);
                EXPECT_EQ(std::string(buf), line);
            }
            EXPECT_EQ(f.getLine(buf, sizeof buf), 0);
            EXPECT_EQ(f.getLine(buf, sizeof buf), 0); // end of file is sticky
            EXPECT_EQ(buf[0], '\0');
        }
    }
}

TEST_F(CXFileTest, GetLineTruncatesAndResumesAtNextLine) {
    struct Step {
        int result;
        std::string text;
        int lastError;
    };
    const std::vector<std::tuple<std::string, unsigned long, std::vector<Step>>> cases = {
        {"0123456789\nnext\n", 5, {{-1, "0123", -2}, {1, "next", -2}, {0, "", -2}}},
        {"abcd\n", 5, {{1, "abcd", 0}, {0, "", 0}}},
        {"abcd\r\r\n", 5, {{-1, "abcd", -2}}},
        {"abcd\rx\nz\n", 5, {{-1, "abcd", -2}, {1, "z", -2}}},
        {"abc\nd\n", 1, {{-1, "", -2}, {-1, "", -2}, {0, "", -2}}},
    };
    for (unsigned int bufSize : {1024u, 3u}) {
        for (const auto& [input, size, steps] : cases) {
            SCOPED_TRACE(input + " buffer " + std::to_string(bufSize));
            CXFile f;
            openWith(f, input, bufSize, sfOpenRead);
            for (const Step& step : steps) {
                std::vector<char> buf(size + 1, '#'); // a canary past the caller's size
                EXPECT_EQ(f.getLine(buf.data(), size), step.result);
                EXPECT_EQ(std::string(buf.data()), step.text);
                EXPECT_EQ(buf[size], '#');
                EXPECT_EQ(f.getLastError(), step.lastError);
            }
        }
    }
}

TEST_F(CXFileTest, BufWriteAroundTheBuffer) {
    // Bytes written through to disk before any flush, for writes into a 16-byte buffer.
    const std::vector<std::pair<std::vector<size_t>, off_t>> writes = {
        {{100}, 100},    {{16}, 16},    {{5}, 0},        {{15, 1}, 16},
        {{5, 100}, 105}, {{5, 20}, 16}, {{7, 7, 7}, 16},
    };
    for (const auto& [sizes, onDisk] : writes) {
        SCOPED_TRACE(onDisk);
        std::string expected;
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
        ASSERT_EQ(f.truncate(), 0);
        ASSERT_EQ(f.setBufSize(16), 0);
        for (size_t n : sizes) {
            std::string chunk = pattern(expected.size() + n).substr(expected.size());
            ASSERT_EQ(f.bufWrite(chunk.data(), n), static_cast<int>(n));
            expected += chunk;
        }
        EXPECT_EQ(sizeOnDisk(path), onDisk);
        EXPECT_EQ(f.getCurOffset(), expected.size());
        EXPECT_EQ(f.bufWriteFlush(), 0);
        EXPECT_EQ(testsupport::readFile(path), expected);
    }
}

TEST_F(CXFileTest, GetLineWReadsFourByteUnitsAfterAByteOrderMark) {
    const std::wstring text = L"\xFEFF"
                              L"ab\r\ncd\n";
    CXFile f;
    openWith(f, std::string(reinterpret_cast<const char*>(text.data()), text.size() * 4), 6,
             sfOpenRead);
    wchar_t buf[16];
    for (const wchar_t* line : {L"ab", L"cd"}) {
        EXPECT_EQ(f.getLineW(buf, sizeof buf), 1);
        EXPECT_EQ(std::wstring(buf), line);
    }
    EXPECT_EQ(f.getLineW(buf, sizeof buf), 0);
}

} // namespace
