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
    EXPECT_EQ(TCtreeTable::TranLog_copyFile(path("missing").c_str(), path("new").c_str()),
              TCtreeTable::kCopySourceError);
    EXPECT_FALSE(testsupport::exists(path("new")));
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
