// The job-results cache directory's integrity checks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

namespace {

TEST(JobResultsCacheDirTest, IntegrityChecksPassByFlagOrByAListableDirectory) {
    testsupport::ScratchHome home;
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", home.sub("idx", true));
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
    JobResultsCacheDir dir(1, 2, 17, 0, BackupTypeFull, 1000, TCacheTypeTape, false);
    dir.initialize("client1");
    // 0, 10 and the enabled bits (2, 4, 7 of 148) pass without looking.
    for (int check : {0, 10, 2, 4, 7, 1, 3, 40, -1})
        EXPECT_EQ(dir.checkIntegrity(static_cast<Enum_IC_IntegrityCheck>(check)),
                  check == 0 || check == 10 || check == 2 || check == 4 || check == 7)
            << check;
    ASSERT_EQ(recursiveMkdir(dir.getCacheDir(), 0777), 0);
    for (int check : {1, 3, 40, -1})
        EXPECT_TRUE(dir.checkIntegrity(static_cast<Enum_IC_IntegrityCheck>(check))) << check;
}

} // namespace
