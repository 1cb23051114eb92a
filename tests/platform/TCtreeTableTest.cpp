#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/LocalCharset.h"
#include "platform/OXPI_Session.h"
#include "platform/OXPlatformInfo.h"
#include "platform/TCtreeTable.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Bytes of every value, NULs and line ends included, longer than the helpers'
// 64 KiB read buffer so that runs cross buffer boundaries.
std::string binaryText(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return text;
}

struct TCtreeTableTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string dir = home.sub("files", true);
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(TCtreeTableTest, CopyReproducesTheSourceAndReplacesALongerTarget) {
    const std::string content = binaryText(200000);
    writeFile(path("src"), content);
    writeFile(path("dst"), std::string(300000, 'x'));
    EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("src").c_str(), path("dst").c_str()),
              TCtreeTable::kCopyOk);
    EXPECT_EQ(readFile(path("dst")), content);

    writeFile(path("empty"), "");
    EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("empty").c_str(), path("new").c_str()), 0);
    EXPECT_TRUE(testsupport::exists(path("new")));
    EXPECT_EQ(readFile(path("new")), "");
}

TEST_F(TCtreeTableTest, CopyOntoItselfKeepsTheContent) {
    writeFile(path("self"), "keep me\n");
    ASSERT_EQ(::link(path("self").c_str(), path("hard").c_str()), 0);
    ASSERT_EQ(::symlink(path("self").c_str(), path("soft").c_str()), 0);
    for (const char* target : {"self", "hard", "soft"}) {
        EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("self").c_str(), path(target).c_str()), 0)
            << target;
        EXPECT_EQ(readFile(path("self")), "keep me\n") << target;
    }
}

TEST_F(TCtreeTableTest, CopyFailuresAreAboveOneAndKeepErrno) {
    writeFile(path("src"), "abc");
    ::mkdir(path("folder").c_str(), 0755);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    struct Case {
        const char* source;
        const char* target;
        int result;
        int err;
    };
    const std::string src = path("src"), missing = path("missing"), folder = path("folder"),
                      fifo = path("fifo"), noDir = path("no/such/dir/file"), dst = path("dst");
    const Case cases[] = {
        {nullptr, dst.c_str(), TCtreeTable::kCopySourceError, EINVAL},
        {"", dst.c_str(), TCtreeTable::kCopySourceError, EINVAL},
        {src.c_str(), nullptr, TCtreeTable::kCopyTargetError, EINVAL},
        {missing.c_str(), dst.c_str(), TCtreeTable::kCopySourceError, ENOENT},
        {folder.c_str(), dst.c_str(), TCtreeTable::kCopySourceError, EISDIR},
        {fifo.c_str(), dst.c_str(), TCtreeTable::kCopySourceError, EINVAL},
        {src.c_str(), noDir.c_str(), TCtreeTable::kCopyTargetError, ENOENT},
        {src.c_str(), folder.c_str(), TCtreeTable::kCopyTargetError, EISDIR},
        {src.c_str(), fifo.c_str(), TCtreeTable::kCopyTargetError, EINVAL},
    };
    for (const Case& c : cases) {
        errno = 0;
        int rc = TCtreeTable::TranLog_copyFile(c.source, c.target);
        EXPECT_EQ(rc, c.result) << (c.source ? c.source : "null") << " -> "
                                << (c.target ? c.target : "null");
        EXPECT_GT(rc, 1);
        EXPECT_EQ(errno, c.err) << (c.source ? c.source : "null");
    }
    EXPECT_FALSE(testsupport::exists(dst)) << "no target is left by a failed source";
    EXPECT_TRUE(testsupport::exists(fifo)) << "a FIFO target is not replaced";
}

TEST_F(TCtreeTableTest, AFailedWriteRemovesThePartialCopy) {
    // A file size limit makes the copy fail half way.
    writeFile(path("src"), binaryText(100000));
    writeFile(path("dst"), "old");
    int rc = testsupport::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 90;
        errno = 0;
        int result = TCtreeTable::TranLog_copyFile(path("src").c_str(), path("dst").c_str());
        if (result != TCtreeTable::kCopyIoError)
            return 91;
        return errno == EFBIG ? 0 : 92;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(testsupport::exists(path("dst")));
}

TEST_F(TCtreeTableTest, LoadGivesTheWholeFileZeroTerminated) {
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"empty", ""},
        {"line", "one line\n"},
        {"nuls", std::string("a\0b\0c", 5)},
        {"large", binaryText(150001)},
    };
    for (const Case& c : cases) {
        writeFile(path(c.name), c.content);
        size_t size = 12345;
        std::unique_ptr<char[]> buffer =
            TCtreeTable::TranLog_allocateMemoryAndLoadFile(path(c.name).c_str(), &size);
        ASSERT_TRUE(buffer) << c.name;
        EXPECT_EQ(size, c.content.size()) << c.name;
        EXPECT_EQ(std::string(buffer.get(), size), c.content) << c.name;
        EXPECT_EQ(buffer[size], '\0') << c.name;
    }
    writeFile(path("text"), "abc");
    std::unique_ptr<char[]> text =
        TCtreeTable::TranLog_allocateMemoryAndLoadFile(path("text").c_str());
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), "abc");
}

TEST_F(TCtreeTableTest, LoadOfWhatIsNotAFileIsNull) {
    size_t size = 7;
    errno = 0;
    EXPECT_FALSE(TCtreeTable::TranLog_allocateMemoryAndLoadFile(path("missing").c_str(), &size));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(TCtreeTable::TranLog_allocateMemoryAndLoadFile(dir.c_str(), &size));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(TCtreeTable::TranLog_allocateMemoryAndLoadFile(nullptr, &size));
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(TCtreeTableTest, CountsLineFeedsOnly) {
    struct Case {
        const char* name;
        std::string content;
        long long lines;
    };
    std::string many;
    for (int i = 0; i < 30000; ++i)
        many += "\"1 NoRstString\" \"a.trn_0001\"\n";
    const Case cases[] = {
        {"empty", "", 0},
        {"unterminated", "a\nb", 1},
        {"crlf", "a\r\nb\r\n\r", 2},
        {"blank lines", "\n\n\n", 3},
        {"large", many, 30000},
    };
    for (const Case& c : cases) {
        writeFile(path(c.name), c.content);
        EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(path(c.name).c_str()), c.lines) << c.name;
    }
    errno = 0;
    EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(path("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(nullptr), -1);
}

TEST_F(TCtreeTableTest, AddTextAppendsAndCreates) {
    const std::string file = path("TL_RST.cfg");
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), "\"1 a\" \"x.trn_0001\"\n"), 0);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), "\"1 b\" \"x.trn_0002\"\n"), 0);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), ""), 0);
    EXPECT_EQ(readFile(file), "\"1 a\" \"x.trn_0001\"\n\"1 b\" \"x.trn_0002\"\n");
    EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(file.c_str()), 2);

    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), nullptr), -EINVAL);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(nullptr, "x"), -EINVAL);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(path("no/dir/f").c_str(), "x"), -ENOENT);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(dir.c_str(), "x"), -EISDIR);
}

TEST_F(TCtreeTableTest, AFailedAppendLeavesNoPartialText) {
    const std::string file = path("TL_RST.cfg");
    writeFile(file, std::string(4090, 'a') + "\n");
    int rc = testsupport::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        // Room for a few bytes of the text only.
        struct rlimit limit = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 90;
        int result = TCtreeTable::TranLog_addTextToFile(file.c_str(), "\"1 b\" \"x.trn_0002\"\n");
        return result == -EFBIG ? 0 : 91;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(file), std::string(4090, 'a') + "\n");
}

TEST_F(TCtreeTableTest, SessionHostNameNeedsAFocus) {
    char system[256] = {0};
    ASSERT_EQ(::gethostname(system, sizeof system - 1), 0);
    OXPI_Session session;
    EXPECT_EQ(session.getHostName(), "") << "no focus yet";
    EXPECT_FALSE(session.setFocus(""));
    EXPECT_EQ(session.getHostName(), "");
    EXPECT_TRUE(session.setFocus("Instance001"));
    EXPECT_EQ(session.getFocus(), "Instance001");
    EXPECT_EQ(session.getHostName(), system);
    KeyStore::set(kPlatformSection, "SessionHostName", "dp-session");
    EXPECT_EQ(session.getHostName(), "dp-session");
    KeyStore::set(kPlatformSection, "SessionHostName", "");
    EXPECT_EQ(session.getHostName(), "");
}

TEST(LocalCharsetTest, TheLocalCharacterSetIsUtf8) {
    const std::string texts[] = {"", "OX_Index/2/scp_7_9/1700000000", "caf\xC3\xA9/\xE2\x82\xAC",
                                 std::string("a\0b", 3), "\xFF\xFE not UTF-8"};
    for (const std::string& text : texts)
        EXPECT_EQ(localToUtf(text), text);
}

} // namespace
