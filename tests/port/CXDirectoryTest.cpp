// Directory iteration and the bulk copy, remove and size operations, with
// links that lead out of the tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "port/CXDirectory.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

namespace fs = std::filesystem;

// Every non-directory entry below root as relative path -> content (a link
// shows as "-> target").
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = it->path().lexically_relative(root).string();
        if (it->is_symlink())
            out[rel] = "-> " + fs::read_symlink(it->path()).string();
        else if (!it->is_directory())
            out[rel] = readFile(it->path().string());
    }
    return out;
}

class DirectoryTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string src = home.sub("src", true);
    std::string dst = home.sub("dst", true);
    platform::TestSink sink;

    void freshDst() {
        fs::remove_all(dst);
        fs::create_directory(dst);
    }
    // A tree with a State file, nested tables and one file in a subfolder.
    void fillTree() {
        writeFile(src + "/State", "state-of-source");
        writeFile(src + "/data1", std::string(5000, '1'));
        fs::create_directories(src + "/tables/idx");
        writeFile(src + "/tables/t.dat", std::string(3000, 't'));
        writeFile(src + "/tables/idx/state", "index");
    }
};

TEST_F(DirectoryTest, ExternalCopyIsCheckedAndFallsBackOnAnyMiss) {
    fillTree();
    const std::string fallback =
        "DIRECTORY: fallback to traditional copy since external copy method failed";
    struct Case {
        std::string command;
        bool fallsBack;
    };
    const std::string sh = "\"/bin/sh\" -c \"cp -r \\\"$0\\\"/. \\\"$1\\\"";
    const std::vector<Case> cases = {
        {"\"/bin/cp\" -r _idx_src_dir_/. _idx_dest_dir_", false},
        {sh + "\" _idx_src_dir_ _idx_dest_dir_", false},
        // State's size may differ, no other file's.
        {sh + " && : > \\\"$1\\\"/State\" _idx_src_dir_ _idx_dest_dir_", false},
        {sh + " && : > \\\"$1\\\"/tables/t.dat\" _idx_src_dir_ _idx_dest_dir_", true},
        {"\"/bin/sh\" -c \"cp \\\"$0\\\"/data1 \\\"$1\\\"/\" _idx_src_dir_ _idx_dest_dir_", true},
        {"\"/bin/cp -r _idx_src_dir_/. _idx_dest_dir_", true},
        {"/bin/true", true},
        {"\"/bin/cp\" -r _idx_src_dir_/. /tmp/elsewhere", true},
        {"/bin/cp -r . _idx_dest_dir_", true},
        {"\"/nonexistent/cp\" _idx_src_dir_ _idx_dest_dir_", true},
        {"\"/bin/sh\" -c \"kill -9 $$\" _idx_src_dir_ _idx_dest_dir_", true},
        {"/bin/true _idx_src_dir_ _idx_dest_dir_", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        freshDst();
        sink.clear();
        CXDirectory dir;
        dir.setRecursion(true);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), nullptr, c.command));
        EXPECT_EQ(c.fallsBack, sink.hasLine(fallback));
        auto got = snapshot(dst);
        if (!c.fallsBack)
            got["State"] = "state-of-source";
        EXPECT_EQ(snapshot(src), got);
    }
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(-1, dir.copyFilesExternal((dst + "/missing").c_str(), nullptr,
                                        "/bin/true _idx_src_dir_ _idx_dest_dir_"));
}

// Links inside the tree that lead out of it are never followed.
TEST_F(DirectoryTest, LinksLeadingOutOfTheTreeAreNeverFollowed) {
    const std::string outside = home.sub("outside", true);
    writeFile(outside + "/precious", std::string(50000, 'p'));
    fs::create_directory(outside + "/dir");
    writeFile(outside + "/dir/inner", std::string(7000, 'i'));
    const auto before = snapshot(outside);
    fs::create_directory(src + "/sub");
    writeFile(src + "/sub/own", "own");
    ASSERT_EQ(0, ::symlink((outside + "/dir").c_str(), (src + "/sub/linkdir").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/precious").c_str(), (src + "/linkfile").c_str()));
    const long long linkSizes = (outside + "/dir").size() + (outside + "/precious").size();

    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(3 + linkSizes, dir.sumSizes());
    for (int pass = 0; pass < 2; ++pass) { // the second copy replaces the links
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.copyFiles(dst.c_str(), nullptr));
        EXPECT_EQ(snapshot(src), snapshot(dst));
    }
    ASSERT_EQ(0, dir.open(dst.c_str()));
    EXPECT_EQ(0, dir.removeFiles(nullptr));
    EXPECT_TRUE(fs::is_empty(dst));
    const std::string link = home.sub("tolink");
    ASSERT_EQ(0, ::symlink((outside + "/dir").c_str(), link.c_str()));
    EXPECT_EQ(0, deleteDir(link.c_str()));
    EXPECT_FALSE(exists(link));
    EXPECT_EQ(0, deleteDir(src.c_str()));
    EXPECT_FALSE(exists(src));
    EXPECT_EQ(before, snapshot(outside));
}

TEST_F(DirectoryTest, CopyFileCopiesEveryByteOrReportsTheFailingStep) {
    std::string data(3 * (1 << 20) + 17, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + i / 7);
    writeFile(src + "/in", data);
    int error = 0;
    ASSERT_EQ(0, CXCopyFile((src + "/in").c_str(), (dst + "/out").c_str(), &error));
    EXPECT_EQ(data, readFile(dst + "/out"));
    EXPECT_EQ(-1, CXCopyFile((src + "/in").c_str(), "/dev/full", &error));
    EXPECT_EQ(ENOSPC, error);
    EXPECT_EQ(-1, CXCopyFile((src + "/none").c_str(), (dst + "/x").c_str(), &error));
    EXPECT_EQ(ENOENT, error);
}

} // namespace
