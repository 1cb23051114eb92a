// Transaction-log file helpers of the table layer: copy, load, count and append.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "platform/TCtreeTable.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Bytes of every value, longer than the helpers' 64 KiB read buffer.
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

TEST_F(TCtreeTableTest, CopyLoadAndCount) {
    const std::string content = binaryText(200000);
    writeFile(path("src"), content);
    writeFile(path("dst"), std::string(300000, 'x'));
    EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("src").c_str(), path("dst").c_str()),
              TCtreeTable::kCopyOk);
    EXPECT_EQ(readFile(path("dst")), content);
    ASSERT_EQ(::symlink(path("src").c_str(), path("soft").c_str()), 0);
    EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("src").c_str(), path("soft").c_str()), 0);
    EXPECT_EQ(readFile(path("src")), content); // a copy onto itself keeps the content
    size_t size = 0;
    std::unique_ptr<char[]> loaded =
        TCtreeTable::TranLog_allocateMemoryAndLoadFile(path("src").c_str(), &size);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(std::string(loaded.get(), size), content);
    EXPECT_EQ(loaded[size], '\0');
    EXPECT_FALSE(TCtreeTable::TranLog_allocateMemoryAndLoadFile(dir.c_str(), &size));
    EXPECT_EQ(errno, EISDIR);
    writeFile(path("lines"), "a\r\nb\r\n\r\n\nx");
    EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(path("lines").c_str()), 4);
    EXPECT_EQ(TCtreeTable::TranLog_countBsNsInFile(path("missing").c_str()), -1);

    ::mkdir(path("folder").c_str(), 0755);
    const std::string src = path("src"), missing = path("missing"), folder = path("folder"),
                      noDir = path("no/such/dir/file"), dst = path("new");
    const std::vector<std::tuple<const char*, const char*, int, int>> failures = {
        {nullptr, dst.c_str(), TCtreeTable::kCopySourceError, EINVAL},
        {src.c_str(), nullptr, TCtreeTable::kCopyTargetError, EINVAL},
        {missing.c_str(), dst.c_str(), TCtreeTable::kCopySourceError, ENOENT},
        {folder.c_str(), dst.c_str(), TCtreeTable::kCopySourceError, EISDIR},
        {src.c_str(), noDir.c_str(), TCtreeTable::kCopyTargetError, ENOENT},
        {src.c_str(), folder.c_str(), TCtreeTable::kCopyTargetError, EISDIR},
    };
    for (const auto& [from, to, result, err] : failures) {
        errno = 0;
        EXPECT_EQ(TCtreeTable::TranLog_copyFile(from, to), result);
        EXPECT_EQ(errno, err);
    }
    EXPECT_FALSE(testsupport::exists(dst));
}

TEST_F(TCtreeTableTest, AppendAndAFullDiskLeaveNoPartialText) {
    const std::string file = path("TL_RST.cfg");
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), "\"1 a\" \"x.trn_0001\"\n"), 0);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(file.c_str(), "\"1 b\" \"x.trn_0002\"\n"), 0);
    EXPECT_EQ(readFile(file), "\"1 a\" \"x.trn_0001\"\n\"1 b\" \"x.trn_0002\"\n");
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(nullptr, "x"), -EINVAL);
    EXPECT_EQ(TCtreeTable::TranLog_addTextToFile(dir.c_str(), "x"), -EISDIR);

    writeFile(file, std::string(4090, 'a') + "\n");
    writeFile(path("src"), binaryText(100000));
    writeFile(path("dst"), "old");
    EXPECT_EQ(testsupport::runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  struct rlimit limit = {4096, 4096};
                  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                      return 90;
                  if (TCtreeTable::TranLog_addTextToFile(file.c_str(),
                                                         "\"1 b\" \"x.trn_0002\"\n") != -EFBIG)
                      return 1;
                  return TCtreeTable::TranLog_copyFile(path("src").c_str(), path("dst").c_str()) ==
                                 TCtreeTable::kCopyIoError
                             ? 0
                             : 2;
              }),
              0);
    EXPECT_EQ(readFile(file), std::string(4090, 'a') + "\n");
    EXPECT_FALSE(testsupport::exists(path("dst"))); // the partial copy is removed
}

} // namespace
