// Directory iteration and the bulk copy, remove and size operations.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXDirectory.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::ScratchHome;
using testsupport::writeFile;

using testsupport::countContaining;
using testsupport::hasExactLine;

namespace {

// Every non-directory entry below root as relative path -> content (a link
// shows as "-> target").
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    namespace fs = std::filesystem;
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

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

class DirectoryTest : public ::testing::Test {
protected:
    ScratchHome home;
    std::string src = home.sub("src", true);
    std::string dst = home.sub("dst", true);
    platform::TestSink sink;
};

// --- iteration ---------------------------------------------------------

TEST_F(DirectoryTest, ReadListsEveryEntryThenEndsWithLastErrorZero) {
    writeFile(src + "/a", "1");
    writeFile(src + "/b", "2");
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    std::set<std::string> seen;
    while (const char* n = dir.read())
        seen.insert(n);
    EXPECT_EQ((std::set<std::string>{".", "..", "a", "b"}), seen);
    EXPECT_EQ(0, dir.getLastError());
    EXPECT_EQ(nullptr, dir.read());
    EXPECT_EQ(0, dir.getLastError());
    EXPECT_EQ(0, dir.close());
    EXPECT_EQ(0, dir.close()) << "closing twice is harmless";
}

TEST_F(DirectoryTest, WrongStateAndMissingDirectory) {
    CXDirectory dir;
    EXPECT_EQ(nullptr, dir.read());
    EXPECT_EQ(-1, dir.getLastError());
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: read: not open"));

    const std::string missing = src + "/nope";
    EXPECT_EQ(-1, dir.open(missing.c_str()));
    EXPECT_EQ(ENOENT, dir.getLastError());
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: open: opendir " + missing + " failed, errno 2"));

    struct Case {
        const char* line;
        std::function<long long()> call;
    };
    std::string path;
    std::vector<Case> cases = {
        {"DIRECTORY: copyFiles to /x attempted before open",
         [&] { return dir.copyFiles("/x", nullptr); }},
        {"DIRECTORY: removeFiles attempted before open", [&] { return dir.removeFiles(nullptr); }},
        {"DIRECTORY: sumSizes attempted before open", [&] { return dir.sumSizes(); }},
        {"DIRECTORY: ERROR: findFileByPattern() try to find file before open",
         [&] { return dir.findFileByPattern("x", path, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(-1, c.call());
        EXPECT_EQ(-1, dir.getLastError());
        EXPECT_TRUE(hasExactLine(sink, c.line));
    }
}

TEST_F(DirectoryTest, FindFileByPatternContinuesFromCurrentPosition) {
    writeFile(src + "/JobId.12345", "x");
    writeFile(src + "/other", "y");
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    std::string found;
    EXPECT_EQ(0, dir.findFileByPattern("JobId", found, 0));
    EXPECT_EQ(src + "/JobId.12345", found);
    std::string again = "unchanged";
    EXPECT_EQ(1, dir.findFileByPattern("JobId", again, 0));
    EXPECT_EQ("unchanged", again);

    ASSERT_EQ(0, dir.open(src.c_str())) << "reopening starts over";
    EXPECT_EQ(0, dir.findFileByPattern("bId.1", found, 0)) << "substring anywhere in the name";
    EXPECT_EQ(1, dir.findFileByPattern(nullptr, found, 0));
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(1, dir.findFileByPattern("jobid", found, 0)) << "the match is case-sensitive";
}

// --- copyFiles -------------------------------------------------------------

TEST_F(DirectoryTest, CopyFilesSkipsExceptIgnoringCaseAndCopiesBytes) {
    writeFile(src + "/State", "S");
    writeFile(src + "/state", "s");
    writeFile(src + "/data", std::string(10000, 'd'));
    writeFile(src + "/empty", "");
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.copyFiles(dst.c_str(), "STATE"));
    EXPECT_EQ((std::set<std::string>{"data", "empty"}), names(dst));
    EXPECT_EQ(std::string(10000, 'd'), readFile(dst + "/data"));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st;
    ASSERT_EQ(0, ::stat((dst + "/data").c_str(), &st));
    EXPECT_EQ(0744u & ~mask, st.st_mode & 0777) << "created with 0744 under the umask";
}

TEST_F(DirectoryTest, CopyFilesWithoutRecursionFailsAtSubdirectoryUnlessIgnoring) {
    writeFile(src + "/a", "A");
    writeFile(src + "/z", "Z");
    std::filesystem::create_directory(src + "/sub");
    writeFile(src + "/sub/inner", "I");

    {
        CXDirectory dir;
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(-1, dir.copyFiles(dst.c_str(), nullptr));
        EXPECT_EQ(EISDIR, dir.getLastError());
        EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: copyFiles cannot copy '" + src + "/sub' to '" +
                                           dst + "/sub', code 21"));
    }
    std::filesystem::remove_all(dst);
    std::filesystem::create_directory(dst);
    sink.clear();
    {
        CXDirectory dir;
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.copyFiles(dst.c_str(), nullptr, true));
        EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: copyFiles cannot copy '" + src + "/sub' to '" +
                                           dst +
                                           "/sub', code 21. Ignore copy error and continue."));
        EXPECT_EQ("A", readFile(dst + "/a"));
        EXPECT_EQ("Z", readFile(dst + "/z"));
        EXPECT_FALSE(exists(dst + "/sub/inner"));
    }
}

TEST_F(DirectoryTest, CopyFilesRecursiveCopiesTreeAndSkipsExceptAtEveryLevel) {
    writeFile(src + "/State", "top");
    std::filesystem::create_directories(src + "/a/b");
    writeFile(src + "/a/f1", "one");
    writeFile(src + "/a/b/f2", "two");
    writeFile(src + "/a/b/state", "nested");
    std::filesystem::create_directory(dst + "/a"); // an existing target directory is accepted
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.copyFiles(dst.c_str(), "State"));
    EXPECT_EQ((std::map<std::string, std::string>{{"a/f1", "one"}, {"a/b/f2", "two"}}),
              snapshot(dst));
}

TEST_F(DirectoryTest, CopyFilesRecursiveReportsMkdirAndNestedFailures) {
    std::filesystem::create_directory(src + "/sub");
    writeFile(src + "/sub/f", "x");
    const std::string missing = dst + "/missing";
    {
        CXDirectory dir;
        dir.setRecursion(true);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(-1, dir.copyFiles(missing.c_str(), nullptr));
        EXPECT_EQ(ENOENT, dir.getLastError());
        EXPECT_TRUE(
            hasExactLine(sink, "DIRECTORY: createCopy: cannot mkdir " + missing + " (errno 2)"));
    }
    // A file where the subdirectory should go: mkdir's EEXIST is accepted and
    // the nested copy fails.
    writeFile(dst + "/sub", "in the way");
    {
        CXDirectory dir;
        dir.setRecursion(true);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(-1, dir.copyFiles(dst.c_str(), nullptr, true))
            << "the nested copy does not ignore errors";
        EXPECT_EQ(ENOTDIR, dir.getLastError());
        EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: createCopy: cannot copy '" + src + "/sub' to '" +
                                           dst + "/sub', code 20"));
    }
}

// --- copyFilesExternal -----------------------------------------------------

class ExternalCopyTest : public DirectoryTest {
protected:
    void SetUp() override {
        writeFile(src + "/State", "state-of-source");
        writeFile(src + "/data1", std::string(5000, '1'));
        std::filesystem::create_directories(src + "/tables/idx");
        writeFile(src + "/tables/t.dat", std::string(3000, 't'));
        writeFile(src + "/tables/idx/t.idx", "index");
        ASSERT_EQ(0, dir.open(src.c_str()));
        dir.setRecursion(true);
    }
    bool fellBack() const {
        return hasExactLine(sink, "DIRECTORY: fallback to traditional copy since external copy "
                                  "method failed");
    }
    std::map<std::string, std::string> expected() const { return snapshot(src); }
    CXDirectory dir;
};

TEST_F(ExternalCopyTest, QuotedCommandThatCopiesEverythingNeedsNoFallback) {
    const std::string command = "\"/bin/cp\" -r _idx_src_dir_/. _idx_dest_dir_";
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), "State", command));
    EXPECT_FALSE(fellBack());
    EXPECT_EQ(expected(), snapshot(dst)) << "the except name is not passed to the command";
    EXPECT_EQ(1, countContaining(sink, "DIRECTORY: launched external copy command, command [\"" +
                                           std::string("/bin/cp\" -r ") + src + "/. " + dst +
                                           "] pid ["));
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: validating copy [./tables/idx/t.idx]"));
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: validating copy [./State]"));
}

TEST_F(ExternalCopyTest, CommandLineWordsWithQuotesAndEscapedQuotes) {
    // Monikers are replaced once each; the script reaches both through $0/$1.
    const std::string command =
        "\"/bin/sh\" -c \"cp -r \\\"$0\\\"/. \\\"$1\\\"\" _idx_src_dir_ _idx_dest_dir_";
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), nullptr, command));
    EXPECT_FALSE(fellBack());
    EXPECT_EQ(expected(), snapshot(dst));
}

TEST_F(ExternalCopyTest, StateSizeMayDifferButNoOtherFile) {
    // The command empties the copied State: still a good copy.
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), "State",
                                       "\"/bin/sh\" -c \"cp -r \\\"$0\\\"/. \\\"$1\\\" && : > "
                                       "\\\"$1\\\"/State\" _idx_src_dir_ _idx_dest_dir_"));
    EXPECT_FALSE(fellBack());
    EXPECT_EQ("", readFile(dst + "/State")) << "no fallback copy rewrote it";

    std::filesystem::remove_all(dst);
    std::filesystem::create_directory(dst);
    sink.clear();
    ASSERT_EQ(0, dir.open(src.c_str()));
    // This one truncates a table: the check finds it and the library copies.
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), nullptr,
                                       "\"/bin/sh\" -c \"cp -r \\\"$0\\\"/. \\\"$1\\\" && : > "
                                       "\\\"$1\\\"/tables/t.dat\" _idx_src_dir_ _idx_dest_dir_"));
    EXPECT_TRUE(hasExactLine(sink,
                             "DIRECTORY: source and destination directory comparision failed, "
                             "first miss = [./tables/t.dat]"));
    EXPECT_TRUE(fellBack());
    EXPECT_EQ(expected(), snapshot(dst));
}

TEST_F(ExternalCopyTest, CommandThatCopiesTooLittleFallsBack) {
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), "State",
                                       "\"/bin/sh\" -c \"cp \\\"$0\\\"/data1 \\\"$1\\\"/\" "
                                       "_idx_src_dir_ _idx_dest_dir_"));
    EXPECT_EQ(1, countContaining(sink, "first miss = [./tables/"));
    EXPECT_TRUE(fellBack());
    auto want = expected();
    want.erase("State"); // the fallback honours except
    EXPECT_EQ(want, snapshot(dst));
}

TEST_F(ExternalCopyTest, EveryFailureOfTheCommandFallsBack) {
    struct Case {
        const char* name;
        std::string command;
        std::string line; // "" : only the fallback line is checked
    };
    const std::vector<Case> cases = {
        {"no closing quote", "\"/bin/cp -r _idx_src_dir_/. _idx_dest_dir_",
         "DIRECTORY: failed to extract command name from external command [\"/bin/cp -r "
         "_idx_src_dir_/. _idx_dest_dir_], make sure binary name is within double quotes"},
        {"unquoted without blank", "/bin/true",
         "DIRECTORY: failed to extract command name from external command [/bin/true], make "
         "sure binary name is within double quotes"},
        {"no destination moniker", "\"/bin/cp\" -r _idx_src_dir_/. /tmp/elsewhere",
         "DIRECTORY: failed to replace monikers in the external command, check the command "
         "syntax again"},
        {"no source moniker", "/bin/cp -r . _idx_dest_dir_",
         "DIRECTORY: failed to replace monikers in the external command, check the command "
         "syntax again"},
        {"missing executable", "\"/nonexistent/cp\" _idx_src_dir_ _idx_dest_dir_",
         "DIRECTORY: failed to execute external copy command, command [\"/nonexistent/cp\" " + src +
             " " + dst + "] error [cannot execute [/nonexistent/cp]: No such file or directory]"},
        {"killed", "\"/bin/sh\" -c \"kill -9 $$\" _idx_src_dir_ _idx_dest_dir_", ""},
        {"does nothing", "/bin/true _idx_src_dir_ _idx_dest_dir_",
         "DIRECTORY: source and destination directory comparision failed, first miss = [./"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dst);
        std::filesystem::create_directory(dst);
        sink.clear();
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), nullptr, c.command));
        if (!c.line.empty()) {
            EXPECT_EQ(1, countContaining(sink, c.line));
        }
        EXPECT_TRUE(fellBack());
        EXPECT_EQ(expected(), snapshot(dst));
    }
}

TEST_F(ExternalCopyTest, KilledCommandIsReportedAsFailed) {
    EXPECT_EQ(0,
              dir.copyFilesExternal(dst.c_str(), nullptr,
                                    "\"/bin/sh\" -c \"kill -9 $$\" _idx_src_dir_ _idx_dest_dir_"));
    EXPECT_EQ(1, countContaining(sink, "DIRECTORY: external copy command failed, command "
                                       "[\"/bin/sh\" -c \"kill -9 $$\" " +
                                           src + " " + dst + "] error [process "));
    EXPECT_EQ(1, countContaining(sink, " was killed by signal 9]"));
    EXPECT_TRUE(fellBack());
}

TEST_F(ExternalCopyTest, UnlistableDestinationFallsBackAndFails) {
    const std::string missing = dst + "/missing";
    EXPECT_EQ(-1, dir.copyFilesExternal(missing.c_str(), nullptr,
                                        "/bin/true _idx_src_dir_ _idx_dest_dir_"));
    EXPECT_TRUE(hasExactLine(sink,
                             "DIRECTORY: source and destination directory comparision failed, "
                             "could not list files in the directories"));
    EXPECT_TRUE(
        hasExactLine(sink, "DIRECTORY: failed to open directory [" + missing + "], error [2]"));
    EXPECT_TRUE(fellBack());
}

// --- listFiles ---------------------------------------------------------------

TEST_F(DirectoryTest, ListFilesRecursesAndKeepsEntriesBeforeAFailure) {
    std::filesystem::create_directories(src + "/a/b");
    writeFile(src + "/top", "12345");
    writeFile(src + "/a/b/deep", std::string(70000, 'x'));
    CXFileList files;
    ASSERT_EQ(0, CXDirectory::listFiles(src, files));
    std::map<std::string, unsigned long long> got(files.begin(), files.end());
    EXPECT_EQ(
        (std::map<std::string, unsigned long long>{{src + "/top", 5}, {src + "/a/b/deep", 70000}}),
        got);
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: found file [" + src + "/top] size [5]"));

    files.assign(1, {"kept", 1});
    EXPECT_EQ(-1, CXDirectory::listFiles(src + "/none", files));
    EXPECT_EQ(1u, files.size()) << "the list is appended to, never cleared";
}

// --- removeFiles -------------------------------------------------------------

TEST_F(DirectoryTest, RemoveFilesWithNullExceptEmptiesDirectory) {
    writeFile(src + "/a", "1");
    writeFile(src + "/State", "2");
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.removeFiles(nullptr));
    EXPECT_TRUE(names(src).empty());
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: removeFiles from " + src + " (except NULL)"));
}

TEST_F(DirectoryTest, RemoveFilesKeepsExceptAndFailsOnSubdirectoryWithoutRecursion) {
    writeFile(src + "/keep", "1");
    std::filesystem::create_directory(src + "/sub");
    CXDirectory dir;
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(-1, dir.removeFiles("KEEP"));
    EXPECT_EQ(EISDIR, dir.getLastError());
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: removeFiles from " + src + " (except KEEP)"));
    EXPECT_TRUE(
        hasExactLine(sink, "DIRECTORY: removeFiles unlink " + src + "/sub failed, errno 21"));
    EXPECT_TRUE(exists(src + "/keep"));
}

TEST_F(DirectoryTest, RemoveFilesRecursiveAndExceptInsideSubdirectory) {
    std::filesystem::create_directories(src + "/a/b");
    writeFile(src + "/a/b/f", "1");
    writeFile(src + "/a/g", "2");
    writeFile(src + "/h", "3");
    {
        CXDirectory dir;
        dir.setRecursion(true);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.removeFiles(nullptr));
        EXPECT_TRUE(names(src).empty());
    }
    std::filesystem::create_directories(src + "/a");
    writeFile(src + "/a/state", "kept");
    writeFile(src + "/State", "kept");
    sink.clear();
    {
        CXDirectory dir;
        dir.setRecursion(true);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(-1, dir.removeFiles("State"));
        EXPECT_EQ(ENOTEMPTY, dir.getLastError());
        EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: removeFiles rmdir " + src + "/a failed, errno " +
                                           std::to_string(ENOTEMPTY)));
        EXPECT_EQ("kept", readFile(src + "/a/state"));
    }
}

// --- sumSizes ------------------------------------------------------------------

TEST_F(DirectoryTest, SumSizesWithAndWithoutRecursion) {
    writeFile(src + "/a", std::string(1000, 'a'));
    writeFile(src + "/b", "");
    std::filesystem::create_directories(src + "/sub/deeper");
    writeFile(src + "/sub/c", std::string(234, 'c'));
    writeFile(src + "/sub/deeper/d", std::string(100000, 'd'));
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(101234, dir.sumSizes());

    std::filesystem::remove_all(src + "/sub");
    CXDirectory flat;
    ASSERT_EQ(0, flat.open(src.c_str()));
    EXPECT_EQ(1000, flat.sumSizes());
}

TEST_F(DirectoryTest, SumSizesReportsUnreadableFile) {
    writeFile(src + "/secret", "xyz");
    ::chmod((src + "/secret").c_str(), 0);
    ::chmod(home.path().c_str(), 0755);
    const std::string path = src + "/secret";
    // Root reads anything: the refusal needs an unprivileged process.
    EXPECT_EQ(0, testsupport::runInChild([&] {
                  if (::geteuid() == 0 && ::setuid(65534) != 0)
                      return 10;
                  if (::geteuid() == 0)
                      return 11;
                  platform::TestSink childSink;
                  CXDirectory dir;
                  if (dir.open(src.c_str()) != 0)
                      return 12;
                  if (dir.sumSizes() != -1 || dir.getLastError() != EACCES)
                      return 13;
                  for (const auto& l : childSink.lines())
                      if (l.text == "DIRECTORY: sumSizes open " + path + " failed, code 13")
                          return 0;
                  return 14;
              }));
}

// --- free space ----------------------------------------------------------------

TEST_F(DirectoryTest, GetFreeSpaceReadsTheVolumeThroughTheEnv) {
    platform::SimulatedVolume volume(src, 1 << 20, 4096);
    writeFile(src + "/used", std::string(100000, 'u'));
    CXDirectory dir;
    unsigned long long freeBlocks = 0, totalBlocks = 0;
    unsigned long blockSize = 0;
    ASSERT_EQ(0, dir.getFreeSpace(src.c_str(), &freeBlocks, &totalBlocks, &blockSize));
    EXPECT_EQ(4096u, blockSize);
    EXPECT_EQ(256u, totalBlocks);
    EXPECT_EQ((1048576u - 100000u) / 4096u, freeBlocks);
    unsigned long long f2 = 0, t2 = 0;
    unsigned long b2 = 0;
    ASSERT_EQ(0, dir.getFreeSpaceDepotSvc(src.c_str(), &f2, &t2, &b2));
    EXPECT_EQ(freeBlocks, f2);
    EXPECT_EQ(totalBlocks, t2);
    EXPECT_EQ(blockSize, b2);

    EXPECT_EQ(-1, dir.getFreeSpace((src + "/none").c_str(), &f2, &t2, &b2));
    EXPECT_EQ(ENOENT, dir.getLastError());
    EXPECT_FALSE(sink.hasLine("autoMount")) << "no key, no probe";
}

TEST_F(DirectoryTest, GetFreeSpaceOpensThePathFirstWhenAutoMountKeyIsPresent) {
    ASSERT_TRUE(platform::KeyStore::set("EventManager", "EnableAutoMount", "0"))
        << "only the presence counts";
    CXDirectory dir;
    unsigned long long f = 0, t = 0;
    unsigned long b = 0;
    ASSERT_EQ(0, dir.getFreeSpace(src.c_str(), &f, &t, &b));
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: Registry key autoMount is set, trying to open the "
                                   "directory [" +
                                       src + "]"));
    EXPECT_GT(t, 0u);

    const std::string missing = src + "/none";
    EXPECT_EQ(-1, dir.getFreeSpace(missing.c_str(), &f, &t, &b));
    EXPECT_EQ(ENOENT, dir.getLastError());
    EXPECT_TRUE(hasExactLine(sink, "DIRECTORY: cannot open the directory [" + missing + "]"));
}

// --- symbolic links inside a tree --------------------------------------------------

// A tree holding a link to a directory and a link to a file, both outside it.
class LinkTreeTest : public DirectoryTest {
protected:
    void SetUp() override {
        outside = home.sub("outside", true);
        writeFile(outside + "/precious", std::string(50000, 'p'));
        std::filesystem::create_directory(outside + "/dir");
        writeFile(outside + "/dir/inner", std::string(7000, 'i'));
        before = snapshot(outside);

        std::filesystem::create_directory(src + "/sub");
        writeFile(src + "/sub/own", "own");
        writeFile(src + "/file", "12345");
        ASSERT_EQ(0, ::symlink((outside + "/dir").c_str(), (src + "/sub/linkdir").c_str()));
        ASSERT_EQ(0, ::symlink((outside + "/precious").c_str(), (src + "/linkfile").c_str()));
    }
    void TearDown() override { EXPECT_EQ(before, snapshot(outside)) << "outside was touched"; }

    long long linkSizes() const {
        return static_cast<long long>((outside + "/dir").size() + (outside + "/precious").size());
    }
    std::string outside;
    std::map<std::string, std::string> before;
};

TEST_F(LinkTreeTest, RemoveFilesUnlinksLinksWithoutDescending) {
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.removeFiles(nullptr));
    EXPECT_TRUE(names(src).empty());
}

TEST_F(LinkTreeTest, DeleteDirRemovesTreeAndOnlyTheLinks) {
    EXPECT_EQ(0, deleteDir(src.c_str()));
    EXPECT_FALSE(exists(src));
}

TEST_F(LinkTreeTest, DeleteDirOfALinkRemovesOnlyTheLink) {
    const std::string link = home.sub("tolink");
    ASSERT_EQ(0, ::symlink((outside + "/dir").c_str(), link.c_str()));
    EXPECT_EQ(0, deleteDir(link.c_str()));
    EXPECT_FALSE(exists(link));
}

TEST_F(LinkTreeTest, SumSizesCountsLinksByTheirOwnSize) {
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(3 + 5 + linkSizes(), dir.sumSizes());
}

TEST_F(LinkTreeTest, ListFilesListsLinksAsEntries) {
    CXFileList files;
    ASSERT_EQ(0, CXDirectory::listFiles(src, files));
    std::map<std::string, unsigned long long> got(files.begin(), files.end());
    EXPECT_EQ((std::map<std::string, unsigned long long>{
                  {src + "/file", 5},
                  {src + "/sub/own", 3},
                  {src + "/sub/linkdir", (outside + "/dir").size()},
                  {src + "/linkfile", (outside + "/precious").size()}}),
              got);
}

TEST_F(LinkTreeTest, CopyFilesRecreatesLinksAsLinks) {
    for (bool recursion : {false, true}) {
        SCOPED_TRACE(recursion ? "recursive" : "flat");
        std::filesystem::remove_all(dst);
        std::filesystem::create_directory(dst);
        CXDirectory dir;
        dir.setRecursion(recursion);
        ASSERT_EQ(0, dir.open(src.c_str()));
        EXPECT_EQ(0, dir.copyFiles(dst.c_str(), nullptr, !recursion));
        EXPECT_EQ(outside + "/precious", std::filesystem::read_symlink(dst + "/linkfile"));
        if (recursion) {
            EXPECT_EQ(snapshot(src), snapshot(dst));
            EXPECT_EQ(outside + "/dir", std::filesystem::read_symlink(dst + "/sub/linkdir"));
        }
    }
    // Copying again over the existing links replaces them.
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.copyFiles(dst.c_str(), nullptr));
    EXPECT_EQ(snapshot(src), snapshot(dst));
}

TEST_F(LinkTreeTest, ExternalCopyCheckComparesLinksByTheirOwnSize) {
    CXDirectory dir;
    dir.setRecursion(true);
    ASSERT_EQ(0, dir.open(src.c_str()));
    EXPECT_EQ(0, dir.copyFilesExternal(dst.c_str(), nullptr,
                                       "\"/bin/cp\" -r _idx_src_dir_/. _idx_dest_dir_"));
    EXPECT_FALSE(sink.hasLine("fallback to traditional copy"));
    EXPECT_EQ(snapshot(src), snapshot(dst));
}

} // namespace
