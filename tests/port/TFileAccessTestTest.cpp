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

} // namespace
