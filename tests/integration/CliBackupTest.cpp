// idxcache backup starts a new index only when there is no previous one: a
// previous index it cannot update is an error, not a reason for a full backup.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "cachedir/LifecycleSupport.h"

namespace {

using CliBackupTest = CacheDirFixture;

TEST_F(CliBackupTest, ABusyPreviousIndexFailsTheBackup) {
    makeDir(100, "3\n1700000000    \n");
    lifecycle::LockHolder writer(100, true); // its job is still writing it
    ASSERT_TRUE(writer.holding());
    const int rc = testsupport::runInChild([] {
        ::execl(IDXCACHE_CLI, "idxcache", "backup", "--app", "17", "--job", "5", "--files", "1",
                "--size", "10", static_cast<char*>(nullptr));
        return 127;
    });
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, 127) << "the tool did not start";
    int dirs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/2/17"))
        dirs += entry.is_directory();
    EXPECT_EQ(dirs, 1) << "no new index was made";
    EXPECT_EQ(writer.release(), 0);
}

} // namespace
