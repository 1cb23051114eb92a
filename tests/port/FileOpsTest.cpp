// Single-file helpers: copy, recursive mkdir, tree removal and the safe wrappers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/EvEvent.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class FileOpsTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string dir = home.sub("d", true);
};

TEST_F(FileOpsTest, CopyProducesExactBytesAndReportsFailures) {
    std::mt19937 gen(7);
    // Around the 1 MiB fallback buffer, and across filesystems (no copy_file_range).
    for (const std::string& target : {dir + "/out", std::string("/dev/shm/idxcache-copy")}) {
        for (size_t size : {size_t(0), size_t(4097), size_t(3 * (1 << 20) + 17)}) {
            SCOPED_TRACE(target + " " + std::to_string(size));
            std::string data(size, '\0');
            for (auto& c : data)
                c = static_cast<char>(gen());
            writeFile(dir + "/in", data);
            int error = -5;
            ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), target.c_str(), &error));
            EXPECT_EQ(-5, error);
            EXPECT_EQ(data, readFile(target));
        }
    }
    ::unlink("/dev/shm/idxcache-copy");
    // An existing target is truncated and keeps its mode.
    ::chmod((dir + "/out").c_str(), 0600);
    writeFile(dir + "/in", "short");
    int error = 0;
    ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), (dir + "/out").c_str(), &error));
    EXPECT_EQ("short", readFile(dir + "/out"));
    struct stat st;
    ASSERT_EQ(0, ::stat((dir + "/out").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    const std::vector<std::tuple<std::string, std::string, int>> failures = {
        {dir + "/none", dir + "/x", ENOENT},
        {dir + "/in", dir + "/no/x", ENOENT},
        {dir, dir + "/y", EISDIR},
        {dir + "/in", "/dev/full", ENOSPC},
    };
    for (const auto& [source, target, code] : failures) {
        SCOPED_TRACE(source + " -> " + target);
        EXPECT_EQ(-1, CXCopyFile(source.c_str(), target.c_str(), &error));
        EXPECT_EQ(code, error);
    }
}

TEST_F(FileOpsTest, RecursiveMkdirAndDeleteDir) {
    const std::string deep = dir + "/a/b/c/d";
    ASSERT_EQ(0, recursiveMkdir(deep.c_str(), 0750));
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_EQ(0, recursiveMkdir(deep.c_str(), 0750));
    EXPECT_EQ(0, recursiveMkdir((dir + "/x/y/").c_str(), 0755));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/x/y"));
    std::string longPath = dir;
    while (longPath.size() < 1027)
        longPath += "/abcdefgh";
    longPath.resize(1027);
    EXPECT_EQ(-1, recursiveMkdir(longPath.c_str(), 0755));
    EXPECT_EQ(-777, errno);
    EXPECT_FALSE(exists(dir + "/abcdefgh"));
    EXPECT_EQ(0, recursiveMkdir(longPath.substr(0, 1026).c_str(), 0755));
    writeFile(dir + "/file", "x");
    EXPECT_EQ(-1, recursiveMkdir((dir + "/file/sub").c_str(), 0755));
    EXPECT_EQ(ENOTDIR, errno);

    writeFile(deep + "/f", "1");
    EXPECT_EQ(0, deleteDir((dir + "/a").c_str()));
    EXPECT_FALSE(exists(dir + "/a"));
    EXPECT_EQ(-1, deleteDir((dir + "/a").c_str()));
}

TEST_F(FileOpsTest, SafeWrappersAndReplaceString) {
    writeFile(dir + "/f", "content");
    EXPECT_EQ(0, safeRename((dir + "/f").c_str(), (dir + "/f").c_str()));
    EXPECT_EQ(0, safeRename((dir + "/f").c_str(), (dir + "/g").c_str()));
    EXPECT_EQ("content", readFile(dir + "/g"));
    EXPECT_EQ(-1, safeRename((dir + "/f").c_str(), (dir + "/h").c_str()));
    EXPECT_EQ(1, safeUnlink(nullptr));
    EXPECT_EQ(0, safeUnlink((dir + "/missing").c_str()));
    EXPECT_EQ(0, safeUnlink((dir + "/g").c_str()));
    EXPECT_FALSE(exists(dir + "/g"));
    std::filesystem::create_directory(dir + "/sub");
    EXPECT_EQ(-1, safeUnlink((dir + "/sub").c_str()));
    EXPECT_EQ(0, safeRmdir((dir + "/sub").c_str()));
    EXPECT_EQ(-1, safeRmdir((dir + "/sub").c_str()));

    const std::vector<std::tuple<std::string, const char*, const char*, int, std::string>> cases = {
        {"cp _idx_src_dir_ _idx_src_dir_", "_idx_src_dir_", "/a", 0, "cp /a _idx_src_dir_"},
        {"abc", "b", "", 0, "ac"},
        {"abc", "x", "y", -1, "abc"},
        {"abc", nullptr, "y", -1, "abc"},
        {"abc", "a", nullptr, -1, "abc"},
    };
    for (auto [text, what, with, result, after] : cases) {
        EXPECT_EQ(result, IdxReplaceString(text, what, with));
        EXPECT_EQ(after, text);
    }
}

} // namespace
