// A cache directory that another process has just made and not yet locked
// has no State file: clean-up leaves it alone for the grace period, while a
// State-less directory older than that is removed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"

using cleanup::dirOf;
using cleanup::kNow;
using testsupport::exists;
using testsupport::ProcessSignal;

namespace {

void setMtime(const std::string& path, long long t) {
    struct timeval tv[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
    ::utimes(path.c_str(), tv);
}

std::unique_ptr<JobResultsCacheDir> indexDir(unsigned long timeStamp) {
    auto dir = std::make_unique<JobResultsCacheDir>(1, 2, 17, 0, BackupTypeFull, timeStamp,
                                                    TCacheTypeTape, false);
    dir->initialize("client1");
    return dir;
}

using StatelessDirScenarioTest = cleanup::Fixture;

TEST_F(StatelessDirScenarioTest, AFreshDirectoryOutlivesTheCleanUpAndIsLockedByItsMaker) {
    const unsigned long fresh = kNow - 5, old = 200;
    struct Case {
        const char* name;
        std::function<void()> cleanUp;
    };
    const Case cases[] = {
        {"low-space clean-up",
         [] {
             JobResultsCacheFs fs(1, TCacheTypeTape, false);
             fs.initialize("client1");
             fs.cleanUp(1000, false, false, true, 0, nullptr, 0, 0, nullptr, 0);
         }},
        {"failed directories removed by a create",
         [] { ASSERT_NE(indexDir(0)->create(0), nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root);
        cleanup::layCacheDir(root, 2, "17", 100, 100); // the last complete index
        cleanup::layCacheDir(root, 2, "17", old, -1);
        setMtime(dirOf(root, 2, "17", old), kNow - 7200);
        ProcessSignal made, go;
        pid_t maker = testsupport::forkChild([&] {
            platform::VirtualClock clock(kNow);
            const std::string path = dirOf(root, 2, "17", fresh);
            CHILD_CHECK(::mkdir(path.c_str(), 0777) == 0);
            setMtime(path, kNow);
            made.post();
            go.wait(); // about to lock it
            auto dir = indexDir(fresh);
            CHILD_CHECK(dir->mkCacheDir() == 0 && dir->setState(3) == 0);
            CHILD_CHECK(testsupport::readFile(path + "/State") == "3\n");
            return dir->close(false);
        });
        ASSERT_TRUE(made.wait());
        {
            platform::VirtualClock clock(kNow);
            c.cleanUp();
        }
        EXPECT_TRUE(exists(dirOf(root, 2, "17", fresh))) << "its maker has not locked it yet";
        EXPECT_FALSE(exists(dirOf(root, 2, "17", old)));
        go.post();
        EXPECT_EQ(testsupport::waitChild(maker), 0);
    }
}

// Makers that died a minute ago, one before its State file and one before
// writing it: neither holds up a clean-up with waits meant for a live maker.
TEST_F(StatelessDirScenarioTest, ADirectoryItsMakerLeftHoldsUpNoCleanUp) {
    const unsigned long noState = kNow - 70, emptyState = kNow - 69;
    cleanup::layCacheDir(root, 2, "17", 100, 100);
    cleanup::layCacheDir(root, 2, "17", noState, -1);
    cleanup::layCacheDir(root, 2, "17", emptyState, -1);
    testsupport::writeFile(dirOf(root, 2, "17", emptyState) + "/State", "");
    for (const std::string& p : {dirOf(root, 2, "17", noState), dirOf(root, 2, "17", emptyState),
                                 dirOf(root, 2, "17", emptyState) + "/State"})
        setMtime(p, kNow - 60);
    platform::VirtualClock clock(kNow);
    JobResultsCacheFs fs(1, TCacheTypeTape, false);
    fs.initialize("client1");
    fs.cleanUp(1000, false, false, true, 0, nullptr, 0, 0, nullptr, 0);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{});
    EXPECT_TRUE(exists(dirOf(root, 2, "17", noState))) << "within the grace period";
    EXPECT_FALSE(exists(dirOf(root, 2, "17", emptyState))) << "its lock is free";
}

} // namespace
