// The file access test: a read-only check leaves the file it reads.
#include <gtest/gtest.h>

#include "port/TFileAccessTest.h"
#include "support/TestSupport.h"

TEST(TFileAccessTest, AReadOnlyCheckKeepsTheFileAndAFullOneRemovesItsScratchFile) {
    testsupport::ScratchHome home;
    const std::string path = home.sub("data");
    testsupport::writeFile(path, "user data");
    TFileAccessTest reader(path);
    EXPECT_TRUE(reader.run(TFileAccessTest::TestRead, false));
    EXPECT_EQ(reader.getLog(), "\nRun #1. Test set: Read \nTest_Exists succeeded. "
                               "Test_Readable succeeded. File test(s) passed\n");
    EXPECT_EQ(testsupport::readFile(path), "user data");
    TFileAccessTest full(path);
    EXPECT_TRUE(full.run(15, false));
    EXPECT_EQ(full.getLog(),
              "\nRun #1. Test set: Exists Read Write Create \nTest_Exists succeeded. "
              "Test_Createable succeeded. Test_Readable succeeded. "
              "Test_Writeable succeeded. File test(s) passed\n");
    EXPECT_FALSE(testsupport::exists(path));
}
