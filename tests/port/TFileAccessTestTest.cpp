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

namespace {

// The listing block the report holds for a folder, in the order the system
// returns the entries.
std::string listing(const std::string& folder) {
    std::string out = "Content of '" + folder + "'. Start list:\n";
    if (DIR* d = ::opendir(folder.c_str())) {
        while (struct dirent* e = ::readdir(d))
            out += std::string("        '") + e->d_name + "'\n";
        ::closedir(d);
    }
    return out + "Content of '" + folder + "'. End list.\n";
}

const std::string kHeader = "\nRun #1. Test set: Exists Read Write Create \n";
const std::string kAllPassed = "Test_Exists succeeded. Test_Createable succeeded. "
                               "Test_Readable succeeded. Test_Writeable succeeded. "
                               "File test(s) passed\n";

TEST(TFileAccessTest, ReportsOnNewExistingAndMissingPaths) {
    testsupport::ScratchHome home;
    const std::string folder = home.sub("dir", true);
    const std::string path = folder + "/new";
    TFileAccessTest t(path);
    EXPECT_FALSE(t.run(15, false));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(t.getLog(), kHeader + "Test_Exists failed for '" + path + "'\n" +
                              "Test_Createable succeeded. Test_Readable succeeded. "
                              "Test_Writeable succeeded. Test_Exists succeeded. " +
                              listing(folder) + "Test_DirContent succeeded. ");

    testsupport::writeFile(path, "old");
    TFileAccessTest u(path);
    EXPECT_TRUE(u.run(15, false));
    EXPECT_FALSE(exists(path)); // the scratch file is removed
    EXPECT_FALSE(u.run(1, false));
    EXPECT_EQ(u.getLog(), kHeader + kAllPassed + "\nRun #2. Test set: Exists \n" +
                              "Test_Exists failed for '" + path + "'\n" +
                              "Test_Exists succeeded. " + listing(folder) +
                              "Test_DirContent succeeded. ");
}

TEST(TFileAccessTest, ForbiddenFolderReportsTheErrors) {
    testsupport::ScratchHome home;
    ASSERT_EQ(::chmod(home.path().c_str(), 0755), 0);
    const std::string ro = home.sub("ro", true);
    const std::string path = ro + "/file";
    testsupport::writeFile(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
    const std::string closed = home.sub("closed", true);
    ASSERT_EQ(::chmod(closed.c_str(), 0300), 0);
    EXPECT_EQ(
        testsupport::runInChild([&] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return 90;
            TFileAccessTest t(path);
            if (t.run(15, false) ||
                t.getLog() != kHeader + "Test_Exists succeeded. Test_Createable failed for '" +
                                  path + "' - could not open file with error 13\n" +
                                  "Test_Writeable failed for '" + path +
                                  "' - could not open file with error 13\n" +
                                  "Test_Readable succeeded. Test_Exists succeeded. " + listing(ro) +
                                  "Test_DirContent succeeded. ")
                return 2;
            TFileAccessTest dir(closed);
            return !dir.internalRun(closed, TFileAccessTest::TestDirContent, true) &&
                           dir.getLog() == "Test_Exists succeeded. Test_DirContent failed for '" +
                                               closed + "' - could not open file with error 13\n"
                       ? 0
                       : 3;
        }),
        0);
    EXPECT_TRUE(exists(path));
}

TEST(TFileAccessTest, RunSingleTestReportsToTheLogObjectOrStandardOutput) {
    testsupport::ScratchHome home;
    const std::string path = home.sub("scratch");
    testsupport::writeFile(path, "");
    platform::TestSink sink;
    TDebuggable log;
    log.setDebugPrefix("DOCTOR");
    EXPECT_TRUE(TFileAccessTest_runSingleTest(path.c_str(), &log));
    EXPECT_FALSE(TFileAccessTest_runSingleTest(path.c_str(), &log));
    ASSERT_EQ(sink.lines().size(), 2u);
    // The report's own trailing LF is dropped by the log.
    EXPECT_EQ(sink.lines()[0].text, "DOCTOR: All tests are passed. log=" + kHeader +
                                        kAllPassed.substr(0, kAllPassed.size() - 1));
    EXPECT_EQ(sink.lines()[1].text.rfind("DOCTOR: File access test failed:\n" + kHeader +
                                             "Test_Exists failed for '" + path + "'\n",
                                         0),
              0u);
    const std::string out = home.sub("stdout");
    testsupport::writeFile(path, "");
    EXPECT_EQ(testsupport::runInChild([&] {
                  int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                  if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0)
                      return 90;
                  const bool passed = TFileAccessTest_runSingleTest(path.c_str(), nullptr);
                  std::fflush(stdout);
                  return passed ? 0 : 1;
              }),
              0);
    EXPECT_EQ(testsupport::readFile(out), "All tests are passed. log=" + kHeader + kAllPassed);
}

} // namespace
