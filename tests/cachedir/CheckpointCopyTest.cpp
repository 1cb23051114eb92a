// Checkpoint copies: a copy of a directory being written records it as
// suspended; a restore puts the index files back and writes State last; a
// process stopped while creating, restoring or removing a copy leaves nothing
// the next process could restore by mistake.
#include <gtest/gtest.h>
#include <utime.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "cachedir/LifecycleSupport.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"

namespace {

constexpr unsigned long kTs = 1700000100;

struct CheckpointCopyTest : CacheDirFixture {
    std::string copyDir() const { return root + "/checkpoints/17"; }
    std::string state() const { return testsupport::readFile(statePath(kTs)); }
    std::unique_ptr<CacheDirProbe> writing() {
        auto dir = lifecycle::openForWriting(*this, kTs);
        testsupport::writeFile(dirPath(kTs) + "/table.dat", "rows-v1");
        testsupport::writeFile(dirPath(kTs) + "/table.idx", "keys-v1");
        return dir;
    }
    // Runs action on a fresh object over the directory in a child stopped the
    // first time it passes point; the child's exit status.
    int crashAt(const std::string& point, const std::function<void(CacheDirProbe&)>& action) {
        return testsupport::runInChild([&] {
            ::setenv("IDXCACHE_CRASH_AT", (point + ":1").c_str(), 1);
            CacheDirProbe dir(kTs);
            dir.initialize("client1");
            dir.usePath(dirPath(kTs));
            dir.reopenStateFile();
            action(dir);
            return 0;
        });
    }
};

TEST_F(CheckpointCopyTest, CopyOfAWritingDirectoryIsSuspendedAndRestoresTheIndexFiles) {
    auto dir = writing();
    EXPECT_EQ(dir->defaultCopyDir(true), root + "/checkpoints");
    ASSERT_EQ(dir->createCopy_checkPoint(nullptr), 0);
    EXPECT_EQ(testsupport::readFile(copyDir() + "/State")[0], '1');
    EXPECT_EQ(dir->getState(false), 3);
    EXPECT_FALSE(testsupport::exists(copyDir() + "/copyInProgress"));

    testsupport::writeFile(dirPath(kTs) + "/table.dat", "rows-v2-half");
    testsupport::writeFile(dirPath(kTs) + "/x.IDX", "stray");
    testsupport::writeFile(dirPath(kTs) + "/x.log", "kept");
    ASSERT_EQ(dir->restoreCopy_checkPoint(nullptr), 0);
    EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/table.dat"), "rows-v1");
    EXPECT_FALSE(testsupport::exists(dirPath(kTs) + "/x.IDX"));
    EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/x.log"), "kept");
    EXPECT_FALSE(testsupport::exists(dirPath(kTs) + "/restoreInProgress"));
    EXPECT_EQ(dir->getState(false), 1);
    EXPECT_EQ(dir->suspendCopy_checkPoint(nullptr), 0);
    EXPECT_EQ(dir->removeCopy_checkPoint(nullptr), 0);
    EXPECT_FALSE(testsupport::exists(copyDir()));
    EXPECT_EQ(dir->removeCopy_checkPoint(nullptr), -1);
}

TEST_F(CheckpointCopyTest, CopiesWithoutAValidStateAreNeitherMadeNorRestored) {
    auto dir = writing();
    ASSERT_EQ(dir->createCopy_checkPoint(nullptr), 0);
    struct Case {
        const char* copyState;
        int restore;
    } cases[] = {{"", -1}, {"x\n", -1}, {"1\n1700000000    \n", 0}};
    for (const Case& c : cases) {
        testsupport::writeFile(copyDir() + "/State", c.copyState);
        EXPECT_EQ(dir->restoreCopy_checkPoint(nullptr), c.restore) << c.copyState;
    }
    // A State file too long for one read fails the copy and leaves no copy.
    ASSERT_EQ(dir->removeCopy_checkPoint(nullptr), 0);
    testsupport::writeFile(statePath(kTs), std::string(2048, '3'));
    EXPECT_EQ(dir->createCopy_checkPoint(nullptr), -1);
    EXPECT_FALSE(testsupport::exists(copyDir()));
}

TEST_F(CheckpointCopyTest, TheSweepRemovesCheckpointsOlderThanSevenDays) {
    platform::VirtualClock clock(kTs + 1000000);
    auto dir = writing();
    const time_t now = static_cast<time_t>(platform::now());
    for (const auto& [name, days] : {std::pair{"old", 8}, std::pair{"young", 6}}) {
        const std::string d = root + "/checkpoints/" + name;
        mkdirs(d);
        testsupport::writeFile(d + "/State", "1\n");
        struct utimbuf t = {now - days * 86400, now - days * 86400};
        ::utime((d + "/State").c_str(), &t);
    }
    mkdirs(root + "/checkpoints/noState");
    EXPECT_EQ(dir->removeCopy_checkPoint(nullptr), -1); // no copy of its own: no sweep
    EXPECT_TRUE(testsupport::exists(root + "/checkpoints/old"));
    ASSERT_EQ(dir->createCopy_checkPoint(nullptr), 0);
    EXPECT_EQ(dir->removeCopy_checkPoint(nullptr), 0);
    EXPECT_FALSE(testsupport::exists(root + "/checkpoints/old"));
    EXPECT_TRUE(testsupport::exists(root + "/checkpoints/young"));
    EXPECT_TRUE(testsupport::exists(root + "/checkpoints/noState"));
}

// Killed between the writes of creation, removal or restore: the copy is
// refused until made again, and a half-restored directory never reads
// suspended; the next run's create, remove or restore finishes the job.
TEST_F(CheckpointCopyTest, AKilledCopyOperationIsRecoveredByTheNextRun) {
    struct Case {
        const char* point;
        bool copyFirst;
        std::function<void(CacheDirProbe&)> action;
    };
    const Case cases[] = {
        {"checkpoint.marked", true, [](CacheDirProbe& d) { d.createCopy_checkPoint(nullptr); }},
        {"checkpoint.copied", false, [](CacheDirProbe& d) { d.createCopy_checkPoint(nullptr); }},
        {"checkpoint.removing", true, [](CacheDirProbe& d) { d.removeCopy_checkPoint(nullptr); }},
        {"checkpoint.restoring", true, [](CacheDirProbe& d) { d.restoreCopy_checkPoint(nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        deleteDir(root.c_str());
        auto dir = writing();
        if (c.copyFirst) {
            ASSERT_EQ(dir->createCopy_checkPoint(nullptr), 0);
        }
        dir->setState(1);
        dir->unLock();
        EXPECT_EQ(crashAt(c.point, c.action), platform::IDXCACHE_CRASH_EXIT);
        auto next = make(kTs);
        next->usePath(dirPath(kTs));
        ASSERT_EQ(next->reopenStateFile(), 0);
        if (std::string(c.point) == "checkpoint.restoring") {
            EXPECT_TRUE(testsupport::exists(dirPath(kTs) + "/restoreInProgress"));
            EXPECT_EQ(next->getState(false), 3);
            EXPECT_FALSE(testsupport::exists(dirPath(kTs) + "/table.dat"));
            ASSERT_EQ(next->restoreCopy_checkPoint(nullptr), 0);
            EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/table.dat"), "rows-v1");
            EXPECT_EQ(next->getState(false), 1);
            continue;
        }
        EXPECT_EQ(next->restoreCopy_checkPoint(nullptr), -1);
        EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/table.dat"), "rows-v1");
        if (std::string(c.point) == "checkpoint.removing") {
            EXPECT_EQ(next->removeCopy_checkPoint(nullptr), 0);
            EXPECT_FALSE(testsupport::exists(copyDir()));
        } else {
            ASSERT_EQ(next->createCopy_checkPoint(nullptr), 0);
            EXPECT_EQ(next->restoreCopy_checkPoint(nullptr), 0);
        }
    }
}

} // namespace
