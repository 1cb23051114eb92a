// The sync-up queue entries that ask for a directory's upload.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

namespace {

constexpr unsigned long kTimeStamp = 1700000000;

struct UploadQueueTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string queueFolder = idx + "/CatalogServer/sync_up_queue/";

    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
    }
    static void initialize(CacheDirProbe& dir) {
        ASSERT_EQ(dir.preInitResult, 0);
        dir.initialize("client1");
        ASSERT_NE(dir.getCacheDir(), nullptr);
    }
    std::string expectedPath(unsigned long timeStamp = kTimeStamp) const {
        return idx + "/OX_Index/2/scp_7_9/" + std::to_string(timeStamp);
    }
};

TEST_F(UploadQueueTest, TwoProcessesQueueingOneDirectoryLeaveOneWholeEntry) {
    for (unsigned long round = 0; round < 10; ++round) {
        const unsigned long timeStamp = kTimeStamp + round;
        testsupport::ProcessSignal start;
        std::vector<pid_t> children;
        for (int i = 0; i < 2; ++i) {
            children.push_back(testsupport::forkChild([&] {
                CacheDirProbe dir(timeStamp, 1, 4242, "scp_7_9");
                dir.initialize("client1");
                if (!dir.getCacheDir())
                    return 10;
                if (!start.wait())
                    return 11;
                // No real second-long sleeps if a writer ever retried.
                platform::VirtualClock clock;
                return dir.queueForUpload() == 0 ? 0 : 12;
            }));
        }
        start.post();
        start.post();
        for (pid_t pid : children)
            EXPECT_EQ(testsupport::waitChild(pid), 0) << round;
        EXPECT_EQ(
            testsupport::readFile(queueFolder + "OX_Index_2_scp_7_9_" + std::to_string(timeStamp)),
            expectedPath(timeStamp));
    }
}

// A writer killed before its entry is linked in leaves no entry (and no
// empty one); an empty entry left by an older writer counts as absent.
TEST_F(UploadQueueTest, AKilledOrEmptyEntryIsWrittenWholeByTheNextRun) {
    const std::string entry = queueFolder + "OX_Index_2_scp_7_9_" + std::to_string(kTimeStamp);
    const int rc = testsupport::runInChild([&] {
        ::setenv("IDXCACHE_CRASH_AT", "syncup.written:1", 1);
        CacheDirProbe dir(kTimeStamp, 1, 4242, "scp_7_9");
        dir.initialize("client1");
        dir.queueForUpload();
        return 0;
    });
    ASSERT_EQ(rc, platform::IDXCACHE_CRASH_EXIT);
    EXPECT_FALSE(testsupport::exists(entry));
    testsupport::writeFile(entry, "");
    CacheDirProbe dir(kTimeStamp, 1, 4242, "scp_7_9");
    initialize(dir);
    ASSERT_EQ(dir.queueForUpload(), 0);
    EXPECT_EQ(testsupport::readFile(entry), expectedPath());
}

} // namespace
