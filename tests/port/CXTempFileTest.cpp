// Temporary files: unique names per process and per object.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"
#include "port/CXTempFile.h"
#include "support/TestSupport.h"

using testsupport::ScratchHome;

namespace {

std::string expectedName(const std::string& prefix, pid_t pid, int n) {
    return platform::tempDirectory() + "/" + prefix + "_" + std::to_string(pid) + "_" +
           std::to_string(n);
}

} // namespace

TEST(CXTempFile, ObjectsOfOneProcessCountUp) {
    ScratchHome home;
    CXTempFile a, b;
    EXPECT_STREQ(a.getName(), "Uninitialized");
    ASSERT_EQ(a.create("sort"), 0);
    ASSERT_EQ(b.create("sort"), 0);
    EXPECT_EQ(std::string(a.getName()), expectedName("sort", ::getpid(), 0));
    EXPECT_EQ(std::string(b.getName()), expectedName("sort", ::getpid(), 1));
    EXPECT_EQ(a.isOpened(), 1);
    struct stat st;
    ASSERT_EQ(::stat(a.getName(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0700, 0700u);

    // The file stays open in the object: a second create is refused.
    EXPECT_EQ(a.create("sort"), -1);
    EXPECT_EQ(a.getLastError(), -1);
    EXPECT_STREQ(a.getName(), "Error");
}

TEST(CXTempFile, TakenNamesAreSkipped) {
    ScratchHome home;
    testsupport::writeFile(expectedName("t", ::getpid(), 0), "x");
    testsupport::writeFile(expectedName("t", ::getpid(), 1), "y");
    CXTempFile f;
    ASSERT_EQ(f.create("t"), 0);
    EXPECT_EQ(std::string(f.getName()), expectedName("t", ::getpid(), 2));
    EXPECT_EQ(testsupport::readFile(expectedName("t", ::getpid(), 0)), "x");
}

TEST(CXTempFile, TwoProcessesGetTheirOwnNames) {
    ScratchHome home;
    testsupport::ProcessSignal done;
    const std::string childNameFile = home.sub("child-name");
    pid_t child = testsupport::forkChild([&] {
        CXTempFile f;
        if (f.create("job") != 0)
            return 1;
        testsupport::writeFile(childNameFile, f.getName());
        return 0;
    });
    ASSERT_EQ(testsupport::waitChild(child), 0);
    CXTempFile mine;
    ASSERT_EQ(mine.create("job"), 0);
    EXPECT_EQ(testsupport::readFile(childNameFile), expectedName("job", child, 0));
    EXPECT_EQ(std::string(mine.getName()), expectedName("job", ::getpid(), 0));
}

TEST(CXTempFile, MissingTemporaryDirectoryLeavesOpensError) {
    ScratchHome home;
    ASSERT_TRUE(
        platform::KeyStore::set(platform::kPlatformSection, "TempDir", home.sub("no/such/dir")));
    CXTempFile f;
    EXPECT_EQ(f.create("x"), -1);
    EXPECT_EQ(f.getLastError(), ENOENT);
    EXPECT_STREQ(f.getName(), "Error");
}
