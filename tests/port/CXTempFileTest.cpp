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

namespace {

std::string expectedName(const std::string& prefix, pid_t pid, int n) {
    return platform::tempDirectory() + "/" + prefix + "_" + std::to_string(pid) + "_" +
           std::to_string(n);
}

TEST(CXTempFile, NamesCountUpPerProcessAndSkipTakenOnes) {
    testsupport::ScratchHome home;
    testsupport::writeFile(expectedName("sort", ::getpid(), 1), "taken");
    CXTempFile a, b;
    ASSERT_EQ(a.create("sort"), 0);
    ASSERT_EQ(b.create("sort"), 0);
    EXPECT_EQ(std::string(a.getName()), expectedName("sort", ::getpid(), 0));
    EXPECT_EQ(std::string(b.getName()), expectedName("sort", ::getpid(), 2));
    EXPECT_EQ(testsupport::readFile(expectedName("sort", ::getpid(), 1)), "taken");
    struct stat st;
    ASSERT_EQ(::stat(a.getName(), &st), 0);
    EXPECT_EQ(st.st_mode & 0700, 0700u);
    EXPECT_EQ(a.create("sort"), -1); // still open
    EXPECT_STREQ(a.getName(), "Error");

    pid_t child = testsupport::forkChild([&] {
        CXTempFile f;
        return f.create("sort") == 0 && f.getName() == expectedName("sort", ::getpid(), 0) ? 0 : 1;
    });
    EXPECT_EQ(testsupport::waitChild(child), 0);

    ASSERT_TRUE(
        platform::KeyStore::set(platform::kPlatformSection, "TempDir", home.sub("no/such/dir")));
    CXTempFile f;
    EXPECT_EQ(f.create("x"), -1);
    EXPECT_EQ(f.getLastError(), ENOENT);
}

} // namespace
