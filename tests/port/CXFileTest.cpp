// Buffered file: transfer, seek, truncate, open and close, handed-in
// descriptors and calls made in the wrong state.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::sizeOnDisk;

namespace {

TEST_F(CXFileTest, TransferSeekAndTruncate) {
    CXFile f;
    openWith(f, "hello world");
    char buf[8] = {};
    ASSERT_EQ(f.bufRead(buf, 5), 5);
    ASSERT_EQ(f.seek(6, sfSeekSet), 0); // drops what was read ahead
    ASSERT_EQ(f.bufRead(buf, 5), 5);
    EXPECT_STREQ(buf, "world");
    ASSERT_EQ(f.seek(0, sfSeekEnd), 0);
    ASSERT_EQ(f.bufWrite("!!", 2), 2);
    EXPECT_EQ(testsupport::readFile(path), "hello world");
    ASSERT_EQ(f.seek(1, sfSeekSet), 0); // flushes pending writes
    EXPECT_EQ(testsupport::readFile(path), "hello world!!");
    EXPECT_EQ(f.read(buf, 4), 4);
    EXPECT_EQ(f.getCurOffset(), 5u);
    EXPECT_EQ(f.seek(-10, sfSeekSet), -1);
    EXPECT_EQ(f.getLastError(), EINVAL);
    EXPECT_EQ(f.getCurOffset(), 5u);

    ASSERT_EQ(f.bufWrite("xyz", 3), 3);
    EXPECT_EQ(f.truncate(), 0); // pending writes go too
    EXPECT_EQ(sizeOnDisk(path), 0);
    EXPECT_EQ(f.getCurOffset(), 0u);
    ASSERT_EQ(f.putLine("new"), 0);
    EXPECT_EQ(testsupport::readFile(path), "");
    ASSERT_EQ(f.close(), 0);
    EXPECT_EQ(testsupport::readFile(path), "new\n");
    EXPECT_EQ(f.close(), 0); // closed: nothing to do
}

TEST_F(CXFileTest, DestructorFlushesAndFailedFlushStillCloses) {
    {
        CXFile f;
        ASSERT_EQ(f.open(path.c_str(), sfOpenCreate), 0);
        ASSERT_EQ(f.putLine("from destructor"), 0);
    }
    EXPECT_EQ(testsupport::readFile(path), "from destructor\n");

    CXFile f;
    ASSERT_EQ(f.open("/dev/full", sfOpenWrite), 0);
    ASSERT_EQ(f.bufWrite("abc", 3), 3);
    EXPECT_EQ(f.close(), -1);
    EXPECT_EQ(f.getLastError(), ENOSPC);
    EXPECT_EQ(f.isOpened(), 0);
}

TEST_F(CXFileTest, WrongStateCallsFailWithMinusOne) {
    char buf[16];
    wchar_t wbuf[16];
    const std::vector<std::pair<int, std::function<int(CXFile&)>>> cases = {
        // -1: closed, else the open mode.
        {-1, [&](CXFile& f) { return f.read(buf, 1); }},
        {-1, [&](CXFile& f) { return f.write("x", 1); }},
        {-1, [&](CXFile& f) { return f.bufRead(buf, 1); }},
        {-1, [&](CXFile& f) { return f.bufWrite("x", 1); }},
        {-1, [&](CXFile& f) { return f.putLine("x"); }},
        {-1, [&](CXFile& f) { return f.getLine(buf, sizeof buf); }},
        {-1, [&](CXFile& f) { return f.getLineW(wbuf, sizeof wbuf); }},
        {-1, [&](CXFile& f) { return f.seek(0, sfSeekSet); }},
        {-1, [&](CXFile& f) { return f.lock(sfLockExclusive, 0); }},
        {-1, [&](CXFile& f) { return f.unlock(); }},
        {-1, [&](CXFile& f) { return f.truncate(); }},
        {-1, [&](CXFile& f) { return f.selectForRead(0); }},
        {-1, [&](CXFile& f) { return f.setBufSize(0); }},
        {sfOpenRead, [&](CXFile& f) { return f.write("x", 1); }},
        {sfOpenRead, [&](CXFile& f) { return f.bufWrite("x", 1); }},
        {sfOpenRead, [&](CXFile& f) { return f.putLine("x"); }},
        {sfOpenWrite, [&](CXFile& f) { return f.read(buf, 1); }},
        {sfOpenWrite, [&](CXFile& f) { return f.bufRead(buf, 1); }},
        {sfOpenWrite, [&](CXFile& f) { return f.getLine(buf, sizeof buf); }},
        {sfOpenWrite, [&](CXFile& f) { return f.getLineW(wbuf, sizeof wbuf); }},
        {sfOpenRead, [&](CXFile& f) { return f.getLine(buf, 0); }},
        {sfOpenRead, [&](CXFile& f) { return f.getLineW(wbuf, 3); }},
        {sfOpenRead, [&](CXFile& f) { return f.open(path.c_str(), sfOpenRead); }},
        {sfOpenRead, [&](CXFile& f) { return f.seek(0, static_cast<sfSeekMode_t>(3)); }},
        {sfOpenReadWrite, [&](CXFile& f) { return f.lock(static_cast<sfLockMode_t>(2), 0); }},
        {sfOpenReadWrite, [&](CXFile& f) { return f.unlock(); }},
        {sfOpenReadWrite,
         [&](CXFile& f) { return f.lock(sfLockExclusive, 0) == 1 ? f.lock(sfLockShared, 0) : 9; }},
    };
    testsupport::writeFile(path, "content\n");
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        CXFile f;
        if (cases[i].first >= 0) {
            ASSERT_EQ(f.open(path.c_str(), static_cast<sfOpenMode_t>(cases[i].first)), 0);
        }
        EXPECT_EQ(cases[i].second(f), -1);
        EXPECT_NE(f.getLastError(), 0);
    }
    EXPECT_EQ(testsupport::readFile(path), "content\n");
    CXFile f;
    EXPECT_EQ(f.open(path.c_str(), static_cast<sfOpenMode_t>(5)), -1);
    EXPECT_EQ(f.getLastError(), EINVAL);
}

TEST(CXFileMutexName, LastSixComponents) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a/b/c/d/e/f/g/h", "c_d_e_f_g_h"},
        {"/a/b/c/d/e/f", "a_b_c_d_e_f"},
        {"/a/b/c", "a_b_c"},
        {"rel/a/b", "rel_a_b"},
        {"r/a/b/c/d/e/f", "a_b_c_d_e_f"},
        {"", ""},
        {"/", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(CXFile::mutexNameFromPath(in), out) << in;
}

} // namespace
