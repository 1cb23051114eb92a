// Resume of an interrupted job's index: the state table, with and without a
// retry from the checkpoint copy, and the job run check.
#include <gtest/gtest.h>

#include <string>

#include "cachedir/LifecycleSupport.h"
#include "platform/CrashPoint.h"
#include "platform/OXPlatformInfo.h"

namespace {

constexpr unsigned long kTs = 1700000100;

struct ResumeTest : CacheDirFixture {
    // The directory as a job left it: index files, a checkpoint copy of them
    // when asked, then the given state and files changed after the copy.
    void leave(const std::string& state, bool withCopy) {
        auto dir = lifecycle::openForWriting(*this, kTs);
        ASSERT_TRUE(dir);
        testsupport::writeFile(dirPath(kTs) + "/table.dat", "rows-v1");
        if (withCopy) {
            ASSERT_EQ(dir->createCopy_checkPoint(nullptr), 0);
        }
        testsupport::writeFile(dirPath(kTs) + "/table.dat", "rows-v2-half");
        dir->unLock();
        testsupport::writeFile(statePath(kTs), state);
    }
    std::unique_ptr<CacheDirProbe> resumer() {
        auto dir = make(0);
        dir->setIndexCheckpointFlag(true);
        return dir;
    }
};

TEST_F(ResumeTest, TheStateTableWithAndWithoutRetryFromTheCopy) {
    struct Case {
        const char* name;
        std::string state;
        const char* marker; // "canStillResume" left by close, "restoreInProgress"
        bool holder;        // another process holds the write lock
        bool retry;
        bool resumed;
        int error;
        const char* tableAfter; // "" when the file is gone
    };
    const Case cases[] = {
        {"suspended", "1\n1700000000    \n", nullptr, false, true, true, 0, "rows-v2-half"},
        {"closed, resumable", "0\n1700000000    \n", "canStillResume", false, true, true, 0,
         "rows-v2-half"},
        {"closed", "0\n1700000000    \n", nullptr, false, true, false, -4, "rows-v2-half"},
        {"reading", "2\n1700000000    \n", nullptr, false, true, false, -4, "rows-v2-half"},
        {"writing, live writer", "3\n1700000000    \n", nullptr, true, true, false, -3,
         "rows-v2-half"},
        {"writing, dead writer", "3\n1700000000    \n", nullptr, false, false, false, 0,
         "rows-v2-half"},
        {"writing, dead writer, retry", "3\n1700000000    \n", nullptr, false, true, true, 0,
         "rows-v1"},
        {"unreadable State, retry", "garbage\n", nullptr, false, true, true, 0, "rows-v1"},
        // A restore still running in another process is busy, not damage to repair.
        {"restore by a live holder", "1\n1700000000    \n", "restoreInProgress", true, true, false,
         -3, "rows-v2-half"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        deleteDir(root.c_str());
        leave(c.state, true);
        if (c.marker)
            testsupport::writeFile(dirPath(kTs) + "/" + c.marker, "");
        std::unique_ptr<lifecycle::LockHolder> holder;
        if (c.holder) {
            holder = std::make_unique<lifecycle::LockHolder>(kTs, true);
            ASSERT_TRUE(holder->holding());
        }
        auto dir = resumer();
        char* path = dir->resume(0, c.retry);
        EXPECT_EQ(path != nullptr, c.resumed);
        if (c.error != 0) {
            EXPECT_EQ(dir->getErrno(), c.error);
        }
        if (path) {
            EXPECT_EQ(std::string(path), dirPath(kTs));
            EXPECT_EQ(testsupport::readFile(statePath(kTs))[0], '3');
            EXPECT_FALSE(lifecycle::writeLockableFromChild(kTs));
        }
        EXPECT_EQ(testsupport::exists(dirPath(kTs) + "/table.dat")
                      ? testsupport::readFile(dirPath(kTs) + "/table.dat")
                      : std::string(),
                  c.tableAfter);
    }
}

// A dead writer without a copy: the directory is emptied for replay and the
// resume fails; a restore cut short is restored again, never resumed as is.
TEST_F(ResumeTest, DamagedDirectoriesAreRepairedOnlyFromTheCopy) {
    leave("3\n1700000000    \n", false);
    auto first = resumer();
    EXPECT_EQ(first->resume(0, true), nullptr);
    EXPECT_FALSE(testsupport::exists(dirPath(kTs) + "/table.dat"));

    deleteDir(root.c_str());
    leave("1\n1700000000    \n", true);
    const int rc = testsupport::runInChild([&] {
        ::setenv("IDXCACHE_CRASH_AT", "checkpoint.restoring:1", 1);
        auto dir = make(kTs);
        dir->setIndexCheckpointFlag(true);
        dir->usePath(dirPath(kTs));
        dir->reopenStateFile();
        dir->restoreCopy(nullptr);
        return 0;
    });
    ASSERT_EQ(rc, platform::IDXCACHE_CRASH_EXIT);
    EXPECT_EQ(resumer()->resume(0, false), nullptr);
    auto again = resumer();
    ASSERT_NE(again->resume(0, true), nullptr);
    EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/table.dat"), "rows-v1");
    EXPECT_FALSE(testsupport::exists(dirPath(kTs) + "/restoreInProgress"));
}

TEST_F(ResumeTest, TheJobRunDecidesWhetherTheIndexIsKept) {
    struct Case {
        const char* name;
        long long fileJob;      // 0: a torn job id file
        const char* statusPath; // the job status file's local path, when not the directory's
        bool kept;
    };
    const Case cases[] = {
        {"same job", 77, nullptr, true},
        {"another job", 55, nullptr, false},
        // The job status file names the directory: a torn JobId proves
        // nothing about whose index it is.
        {"torn job id", 0, nullptr, true},
        // A local path outside this root's type folder is not followed; the
        // back search finds the directory.
        {"foreign status path", 77, "OX_Other/2/17/1700000999", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        deleteDir(root.c_str());
        leave("1\n1700000000    \n", false);
        if (c.fileJob) {
            auto writer = make(kTs, 1, c.fileJob);
            writer->usePath(dirPath(kTs));
            writer->setJobIndexWriteCounter(4);
            writer->createJobIdFile();
        } else {
            testsupport::writeFile(dirPath(kTs) + "/JobId", "77:");
        }
        auto dir = make(0, 1, 77);
        ASSERT_EQ(dir->createJobStatusFile(dirPath(kTs).c_str(), 77, dir->getJobStatusFilePath(),
                                           JobStatusCI, 0, dir.get()),
                  0);
        if (c.statusPath) {
            // Only the first line changes: the action line stays as written.
            const std::string status = dir->getJobStatusFilePath();
            const std::string text = testsupport::readFile(status);
            testsupport::writeFile(status, c.statusPath + text.substr(text.find('\n')));
        }
        char* path = dir->resume(77, false);
        EXPECT_EQ(path != nullptr, c.kept);
        EXPECT_EQ(testsupport::exists(dirPath(kTs) + "/table.dat"), c.kept);
        if (c.fileJob == 77) {
            EXPECT_EQ(dir->getJobIndexWriteCounter(), 5u);
        }
    }
}

// Killed between writing the new JobId or job status file and renaming it
// into place: the next run reads the old file whole.
TEST_F(ResumeTest, AKilledJobFileRewriteLeavesTheOldFile) {
    leave("1\n1700000000    \n", false);
    auto dir = make(0, 1, 77);
    dir->usePath(dirPath(kTs));
    dir->createJobIdFile();
    const std::string status = dir->getJobStatusFilePath();
    ASSERT_EQ(dir->createJobStatusFile(dirPath(kTs).c_str(), 77, status, JobStatusCI, 0, nullptr),
              0);
    const std::string jobIdBefore = testsupport::readFile(dirPath(kTs) + "/JobId");
    const std::string statusBefore = testsupport::readFile(status);
    for (const char* point : {"jobid.written", "jobstatus.written"}) {
        SCOPED_TRACE(point);
        const int rc = testsupport::runInChild([&] {
            ::setenv("IDXCACHE_CRASH_AT", (std::string(point) + ":1").c_str(), 1);
            auto child = make(0, 1, 77);
            child->usePath(dirPath(kTs));
            child->setJobIndexWriteCounter(9);
            child->createJobIdFile();
            child->createJobStatusFile(dirPath(kTs).c_str(), 77, status, JobStatusUI, 5, nullptr);
            return 0;
        });
        EXPECT_EQ(rc, platform::IDXCACHE_CRASH_EXIT);
        if (std::string(point) == "jobid.written") {
            EXPECT_EQ(testsupport::readFile(dirPath(kTs) + "/JobId"), jobIdBefore);
        }
        EXPECT_EQ(testsupport::readFile(status), statusBefore);
    }
}

} // namespace
