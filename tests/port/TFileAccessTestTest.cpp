// The file access test: its reports on usable, missing and forbidden paths.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/EvEvent.h"
#include "port/TFileAccessTest.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::ScratchHome;

namespace {

constexpr uid_t kNobody = 65534;

// The listing block the report holds for a folder, in the order the system
// returns the entries.
std::string listing(const std::string& folder) {
    std::string out = "Content of '" + folder + "'. Start list:\n";
    DIR* d = ::opendir(folder.c_str());
    if (d) {
        while (struct dirent* e = ::readdir(d))
            out += std::string("        '") + e->d_name + "'\n";
        ::closedir(d);
    }
    return out + "Content of '" + folder + "'. End list.\n";
}

// Every folder above path, nearest first, down to the empty text that the
// walk of an absolute path ends with.
std::vector<std::string> folders(std::string path) {
    std::vector<std::string> out;
    for (size_t cut; (cut = path.rfind('/')) != std::string::npos;) {
        path.erase(cut);
        out.push_back(path);
    }
    return out;
}

const char* const kHeader = "\nRun #1. Test set: Exists Read Write Create \n";
const char* const kAllPassed = "Test_Exists succeeded. Test_Createable succeeded. "
                               "Test_Readable succeeded. Test_Writeable succeeded. "
                               "File test(s) passed\n";

// Runs fn in a child with the privileges of nobody (when running as root),
// so that permissions count.
int runAsNobody(const std::function<int()>& fn) {
    return testsupport::runInChild([&] {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            return 90;
        return fn();
    });
}

} // namespace

TEST(TFileAccessTest, NewNameFailsOnlyExistsAndListsItsFolder) {
    ScratchHome home;
    const std::string folder = home.sub("dir", true);
    const std::string path = folder + "/new";
    TFileAccessTest t(path);
    EXPECT_FALSE(t.run(15, false));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(t.getLog(), std::string(kHeader) + "Test_Exists failed for '" + path + "'\n" +
                              "Test_Createable succeeded. Test_Readable succeeded. "
                              "Test_Writeable succeeded. " +
                              "Test_Exists succeeded. " + listing(folder) +
                              "Test_DirContent succeeded. ");
}

TEST(TFileAccessTest, ExistingScratchFilePassesAndIsRemoved) {
    ScratchHome home;
    const std::string path = home.sub("scratch");
    testsupport::writeFile(path, "old");
    TFileAccessTest t(path);
    EXPECT_TRUE(t.run(15, false));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(t.getLog(), std::string(kHeader) + kAllPassed);
}

TEST(TFileAccessTest, RunsAreNumberedInOneReport) {
    ScratchHome home;
    const std::string path = home.sub("scratch");
    testsupport::writeFile(path, "");
    TFileAccessTest t(path);
    EXPECT_TRUE(t.run(15, false));
    EXPECT_FALSE(t.run(1, false)) << "the first run removed the file";
    const std::string log = t.getLog();
    EXPECT_EQ(log.rfind(std::string(kHeader) + kAllPassed + "\nRun #2. Test set: Exists \n" +
                            "Test_Exists failed for '" + path + "'\n",
                        0),
              0u)
        << log;
}

TEST(TFileAccessTest, RecursiveRunListsTheNearestFolderThatExists) {
    ScratchHome home;
    const std::string a = home.sub("a", true);
    testsupport::writeFile(a + "/f", "1");
    const std::string path = a + "/b/c";
    TFileAccessTest t(path);
    EXPECT_FALSE(t.run(1, true));

    std::string expected = "\nRun #1 (recursive). Test set: Exists \n";
    expected += "Test_Exists failed for '" + a + "/b'\n";
    expected += "Test_Exists succeeded. " + listing(a) + "Test_DirContent succeeded. ";
    // Above a: existing folders without listing, then the empty text.
    const std::vector<std::string> above = folders(a);
    for (const std::string& f : above) {
        if (f.empty())
            expected += "Test_Exists failed for ''\n";
        else
            expected += "Test_Exists succeeded. ";
    }
    expected += "Test_Exists failed for '" + path + "'\n";
    EXPECT_EQ(t.getLog(), expected);
}

TEST(TFileAccessTest, RecursiveRunOnARelativePathCanPassTheFolderWalk) {
    ScratchHome home;
    home.sub("a/b", true);
    testsupport::writeFile(home.sub("a/b/file"), "x");
    const int rc = testsupport::runInChild([&] {
        if (::chdir(home.path().c_str()) != 0)
            return 90;
        TFileAccessTest t("a/b/file");
        if (!t.run(15, true))
            return 1;
        const std::string expected =
            "\nRun #1 (recursive). Test set: Exists Read Write Create \n"
            "Test_Exists succeeded. Test_Exists succeeded. Folder test passed\n" +
            std::string(kAllPassed);
        return t.getLog() == expected ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

TEST(TFileAccessTest, TestDataSkipsTheTransfer) {
    ScratchHome home;
    const std::string path = home.sub("empty");
    testsupport::writeFile(path, "");
    {
        TFileAccessTest t(path);
        EXPECT_FALSE(t.run(TFileAccessTest::TestRead, false));
        EXPECT_EQ(t.getLog(), "\nRun #1. Test set: Read \nTest_Exists succeeded. "
                              "Test_Readable failed for '" +
                                  path + "' - could not read buffer with error 0\n" +
                                  "Test_Exists succeeded. " + listing(home.path()) +
                                  "Test_DirContent succeeded. ");
    }
    char data[4] = {'d', 'a', 't', 'a'};
    TFileAccessTest t(path);
    t.setTestData(sizeof data, data);
    EXPECT_TRUE(t.run(TFileAccessTest::TestRead | TFileAccessTest::TestWrite, false));
    EXPECT_EQ(t.getLog(), "\nRun #1. Test set: Read Write \nTest_Exists succeeded. "
                          "Test_Readable succeeded. Test_Writeable succeeded. "
                          "File test(s) passed\n");
    EXPECT_FALSE(exists(path));
}

TEST(TFileAccessTest, ForbiddenFolderReportsTheErrors) {
    ScratchHome home;
    ASSERT_EQ(::chmod(home.path().c_str(), 0755), 0);
    const std::string ro = home.sub("ro", true);
    const std::string path = ro + "/file";
    testsupport::writeFile(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
    const std::string closed = home.sub("closed", true);
    ASSERT_EQ(::chmod(closed.c_str(), 0300), 0);

    const int rc = runAsNobody([&] {
        TFileAccessTest t(path);
        if (t.run(15, false))
            return 1;
        const std::string expected =
            std::string(kHeader) + "Test_Exists succeeded. " + "Test_Createable failed for '" +
            path + "' - could not open file with error 13\n" + "Test_Writeable failed for '" +
            path + "' - could not open file with error 13\n" + "Test_Readable succeeded. " +
            "Test_Exists succeeded. " + listing(ro) + "Test_DirContent succeeded. ";
        if (t.getLog() != expected)
            return 2;
        TFileAccessTest dir(closed);
        if (dir.internalRun(closed, TFileAccessTest::TestDirContent, true))
            return 3;
        return dir.getLog() == "Test_Exists succeeded. Test_DirContent failed for '" + closed +
                                   "' - could not open file with error 13\n"
                   ? 0
                   : 4;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(exists(path));
}

TEST(TFileAccessTestRunSingleTest, ReportGoesToTheLogObject) {
    ScratchHome home;
    const std::string path = home.sub("scratch");
    testsupport::writeFile(path, "");
    platform::TestSink sink;
    TDebuggable log;
    log.setDebugPrefix("DOCTOR");
    EXPECT_TRUE(TFileAccessTest_runSingleTest(path.c_str(), &log));
    const std::string missing = home.sub("missing");
    EXPECT_FALSE(TFileAccessTest_runSingleTest(missing.c_str(), &log));
    ASSERT_EQ(sink.lines().size(), 2u);
    // The report's own trailing LF is dropped by the log.
    EXPECT_EQ(sink.lines()[0].text, "DOCTOR: All tests are passed. log=" + std::string(kHeader) +
                                        std::string(kAllPassed, std::strlen(kAllPassed) - 1));
    EXPECT_EQ(sink.lines()[0].level, 1);
    EXPECT_EQ(sink.lines()[1].text.rfind("DOCTOR: File access test failed:\n" +
                                             std::string(kHeader) + "Test_Exists failed for '" +
                                             missing + "'\n",
                                         0),
              0u);
}

TEST(TFileAccessTestRunSingleTest, WithoutLogObjectThePrintIsOnStandardOutput) {
    ScratchHome home;
    const std::string path = home.sub("scratch");
    testsupport::writeFile(path, "");
    const std::string out = home.sub("stdout");
    const int rc = testsupport::runInChild([&] {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0)
            return 90;
        const bool passed = TFileAccessTest_runSingleTest(path.c_str(), nullptr);
        std::fflush(stdout);
        return passed ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::readFile(out),
              std::string("All tests are passed. log=") + kHeader + kAllPassed);
}
