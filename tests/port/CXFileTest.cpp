// Buffered file: unbuffered transfer, seek, truncate, descriptors handed in,
// open and close, and calls made in the wrong state.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CXFileTestSupport.h"

using cxfiletest::CXFileTest;
using cxfiletest::HookClock;
using cxfiletest::sizeOnDisk;

namespace {

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
} // namespace
