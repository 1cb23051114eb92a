// Single-file helpers: copy, recursive mkdir, tree removal and the safe wrappers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/EvEvent.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::ScratchHome;
using testsupport::writeFile;

using testsupport::hasExactLine;

namespace {

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

class FileOpsTest : public ::testing::Test {
protected:
    ScratchHome home;
    std::string dir = home.sub("d", true);
    platform::TestSink sink;
};

// --- CXCopyFile ---------------------------------------------------------------

TEST_F(FileOpsTest, CopyProducesExactBytesForEverySize) {
    // Around the old 4096-byte block, the 1 MiB fallback buffer and beyond.
    for (size_t size : {size_t(0), size_t(1), size_t(4095), size_t(4097), size_t(1 << 20),
                        size_t((1 << 20) + 3), size_t(3 * (1 << 20) + 17)}) {
        SCOPED_TRACE(size);
        const std::string data = randomBytes(size, static_cast<unsigned>(size));
        writeFile(dir + "/in", data);
        int error = -5;
        ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), (dir + "/out").c_str(), &error));
        EXPECT_EQ(-5, error) << "untouched on success";
        EXPECT_EQ(data, readFile(dir + "/out"));
    }
}

TEST_F(FileOpsTest, CopyTruncatesAnExistingTargetAndKeepsItsMode) {
    writeFile(dir + "/in", "short");
    writeFile(dir + "/out", std::string(100000, 'x'));
    ::chmod((dir + "/out").c_str(), 0600);
    int error = 0;
    ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), (dir + "/out").c_str(), &error));
    EXPECT_EQ("short", readFile(dir + "/out"));
    struct stat st;
    ASSERT_EQ(0, ::stat((dir + "/out").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << "an existing target keeps its permissions";
}

TEST_F(FileOpsTest, CopyCreatesTargetWith0744AndDoesNotCarrySourceModeOrTimes) {
    writeFile(dir + "/in", "data");
    ::chmod((dir + "/in").c_str(), 0600);
    struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir + "/in").c_str(), old, 0));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int error = 0;
    ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), (dir + "/new").c_str(), &error));
    struct stat st;
    ASSERT_EQ(0, ::stat((dir + "/new").c_str(), &st));
    EXPECT_EQ(0744u & ~mask, st.st_mode & 0777);
    EXPECT_GT(st.st_mtime, 1000000);
}

TEST_F(FileOpsTest, CopyAcrossFilesystemsFallsBackToReadWrite) {
    // ext4 -> tmpfs: the kernel refuses copy_file_range across them.
    if (!std::filesystem::is_directory("/dev/shm"))
        GTEST_SKIP() << "no /dev/shm";
    const std::string target = "/dev/shm/idxcache-copy-" + std::to_string(::getpid());
    const std::string data = randomBytes(2 * (1 << 20) + 5, 7);
    writeFile(dir + "/in", data);
    int error = 0;
    EXPECT_EQ(0, CXCopyFile((dir + "/in").c_str(), target.c_str(), &error));
    EXPECT_EQ(data, readFile(target));
    ::unlink(target.c_str());
}

TEST_F(FileOpsTest, CopyFailuresStoreErrnoAndLogTheFailingStep) {
    const std::string data = dir + "/in";
    writeFile(data, "payload");
    struct Case {
        const char* name;
        std::string source, target;
        int error;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"missing source", dir + "/none", dir + "/x", ENOENT,
         "CXCOPYFILE: cannot open " + dir + "/none for read, errno 2"},
        {"target directory missing", data, dir + "/no/x", ENOENT,
         "CXCOPYFILE: cannot open " + dir + "/no/x for write, errno 2"},
        {"source is a directory", dir, dir + "/y", EISDIR,
         "CXCOPYFILE: cannot read " + dir + ", errno 21"},
        {"device full", data, "/dev/full", ENOSPC,
         "CXCOPYFILE: cannot write /dev/full, return value -1 errno 28"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink.clear();
        int error = 0;
        EXPECT_EQ(-1, CXCopyFile(c.source.c_str(), c.target.c_str(), &error));
        EXPECT_EQ(c.error, error);
        EXPECT_TRUE(hasExactLine(sink, c.line));
    }
}

// --- recursiveMkdir -------------------------------------------------------------

TEST_F(FileOpsTest, RecursiveMkdirMakesMissingParentsWithMode) {
    const std::string deep = dir + "/a/b/c/d";
    ASSERT_EQ(0, recursiveMkdir(deep.c_str(), 0750));
    for (const std::string& p : {dir + "/a", dir + "/a/b/c", deep}) {
        struct stat st;
        ASSERT_EQ(0, ::stat(p.c_str(), &st)) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    EXPECT_EQ(0, recursiveMkdir(deep.c_str(), 0750)) << "an existing directory is fine";
    EXPECT_EQ(0, recursiveMkdir((dir + "/x/y/").c_str(), 0755)) << "trailing slash";
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/x/y"));
}

TEST_F(FileOpsTest, RecursiveMkdirFailures) {
    std::string longPath = dir;
    while (longPath.size() < 1027)
        longPath += "/abcdefgh";
    longPath.resize(1027);
    errno = 0;
    EXPECT_EQ(-1, recursiveMkdir(longPath.c_str(), 0755));
    EXPECT_EQ(-777, errno);
    EXPECT_FALSE(exists(dir + "/abcdefgh")) << "nothing is made";

    std::string limit = longPath.substr(0, 1026);
    EXPECT_EQ(0, recursiveMkdir(limit.c_str(), 0755)) << "1026 bytes are still allowed";
    EXPECT_TRUE(std::filesystem::is_directory(limit));

    writeFile(dir + "/file", "x");
    EXPECT_EQ(-1, recursiveMkdir((dir + "/file/sub").c_str(), 0755));
    EXPECT_EQ(ENOTDIR, errno);
}

// --- deleteDir --------------------------------------------------------------------

TEST_F(FileOpsTest, DeleteDirRemovesTreeAndLogs) {
    std::filesystem::create_directories(dir + "/t/a/b");
    writeFile(dir + "/t/a/b/f", "1");
    writeFile(dir + "/t/g", "2");
    EXPECT_EQ(0, deleteDir((dir + "/t").c_str()));
    EXPECT_FALSE(exists(dir + "/t"));
    EXPECT_TRUE(
        hasExactLine(sink, "deleteDir: Directory: [" + dir + "/t] was deleted successfully."));

    EXPECT_EQ(-1, deleteDir((dir + "/t").c_str()));
    EXPECT_TRUE(hasExactLine(sink, "deleteDir: Could not open directory: [" + dir +
                                       "/t]. Possibly it does not exist."));
}

TEST_F(FileOpsTest, DeleteDirReportsContentItCannotRemove) {
    std::filesystem::create_directories(dir + "/t/locked");
    writeFile(dir + "/t/locked/f", "1");
    const std::string t = dir + "/t";
    ::chmod((dir + "/t/locked").c_str(), 0555);
    ::chmod(dir.c_str(), 0777);
    ::chmod(home.path().c_str(), 0755);
    // Root removes anything: the refusal needs an unprivileged process.
    EXPECT_EQ(0, testsupport::runInChild([&] {
                  if (::geteuid() == 0) {
                      if (::chown(t.c_str(), 65534, 65534) != 0)
                          return 9;
                      if (::setuid(65534) != 0 || ::geteuid() == 0)
                          return 10;
                  }
                  platform::TestSink childSink;
                  if (deleteDir(t.c_str()) != -1)
                      return 11;
                  for (const auto& l : childSink.lines())
                      if (l.text ==
                          "deleteDir: Could not remove content within directory: [" + t + "].")
                          return 0;
                  return 12;
              }));
    ::chmod((dir + "/t/locked").c_str(), 0755);
    EXPECT_EQ("1", readFile(dir + "/t/locked/f"));
}

// --- safe wrappers ------------------------------------------------------------------

TEST_F(FileOpsTest, SafeWrappers) {
    writeFile(dir + "/f", "content");
    EXPECT_EQ(0, safeRename((dir + "/f").c_str(), (dir + "/f").c_str()));
    EXPECT_EQ("content", readFile(dir + "/f"));
    EXPECT_EQ(0, safeRename((dir + "/f").c_str(), (dir + "/g").c_str()));
    EXPECT_FALSE(exists(dir + "/f"));
    EXPECT_EQ(-1, safeRename((dir + "/f").c_str(), (dir + "/h").c_str()));

    EXPECT_EQ(1, safeUnlink(nullptr));
    EXPECT_EQ(0, safeUnlink((dir + "/missing").c_str()));
    EXPECT_EQ(0, safeUnlink((dir + "/g").c_str()));
    EXPECT_FALSE(exists(dir + "/g"));
    std::filesystem::create_directory(dir + "/sub");
    EXPECT_EQ(-1, safeUnlink((dir + "/sub").c_str()));

    EXPECT_EQ(0, safeRmdir((dir + "/sub").c_str()));
    EXPECT_EQ(-1, safeRmdir((dir + "/sub").c_str()));
}

TEST(IdxReplaceStringTest, ReplacesFirstOccurrenceOnly) {
    struct Case {
        std::string text;
        const char* what;
        const char* with;
        int result;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"cp _idx_src_dir_ _idx_src_dir_", "_idx_src_dir_", "/a", 0, "cp /a _idx_src_dir_"},
        {"abc", "b", "", 0, "ac"},
        {"abc", "x", "y", -1, "abc"},
        {"abc", nullptr, "y", -1, "abc"},
        {"abc", "a", nullptr, -1, "abc"},
        {"/root/x/root", "/root", ".", 0, "./x/root"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.result, IdxReplaceString(c.text, c.what, c.with));
        EXPECT_EQ(c.after, c.text);
    }
}

} // namespace
