#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXJobClient.h"
#include "platform/OXPI.h"

using lifecycle::openForWriting;
using lifecycle::writeLockableFromChild;
using platform::KeyStore;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned long kTs = 1700000000;
constexpr unsigned int kSuspendEvent = 0x0E00003C;
constexpr unsigned int kCloseEvent = 0x0E00003E;
constexpr unsigned int kClientCloseEvent = 0x0E00003F;

struct CloseDiscardTest : CacheDirFixture {
    // The application as the event log names it.
    static std::string appText() {
        TDebuggable log;
        return log.appToString(2, 17);
    }
    static std::string dateText(unsigned int t) {
        TDebuggable log;
        return log.dateToString(t);
    }
    // A directory laid out by hand, its State file opened by the object.
    std::unique_ptr<CacheDirProbe> opened(unsigned long ts, const std::string& state) {
        makeDir(ts, state);
        auto dir = make(ts);
        if (dir->reopenStateFile() != 0)
            return nullptr;
        return dir;
    }
};

TEST_F(CloseDiscardTest, SuspendOfAWrittenIndexLeavesItSuspendedUnlockedAndForgotten) {
    auto dir = openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    platform::TestSink sink;
    ASSERT_EQ(dir->suspend(), 0);
    EXPECT_EQ(readFile(statePath(kTs)), "1\n1700000250    \n");
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_TRUE(writeLockableFromChild(kTs));
    EXPECT_TRUE(sink.events().empty());

    // The path went with the first suspend.
    sink.clear();
    EXPECT_EQ(dir->suspend(), -1);
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "suspend(): object not opened: errno=-6", 1));
    EXPECT_EQ(eventArgs(sink, kSuspendEvent), std::vector<std::string>{appText()});
    EXPECT_EQ(readFile(statePath(kTs)), "1\n1700000250    \n");
}

TEST_F(CloseDiscardTest, SuspendRefusesEveryStateButWritingAndLeavesLockAndFileToTheCaller) {
    struct Case {
        const char* state;
        const char* message;
    };
    const Case cases[] = {
        {"2\n1700000100    \n", "object is COMPLETE, can't suspend"},
        {"0\n1700000100    \n", "object is COMPLETE, can't suspend"},
        {"1\n1700000100    \n", "already suspended"},
        {"x\n1700000100    \n", "getState() failed"},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        auto dir = opened(++ts, c.state);
        ASSERT_TRUE(dir);
        ASSERT_EQ(dir->writeLock(0), 1);
        platform::TestSink sink;
        EXPECT_EQ(dir->suspend(), -1);
        EXPECT_EQ(dir->getErrno(), -4);
        EXPECT_TRUE(loggedLine(sink, std::string("suspend(): ") + c.message + ": errno=-4", 1));
        EXPECT_EQ(eventArgs(sink, kSuspendEvent), std::vector<std::string>{appText()});
        EXPECT_EQ(readFile(statePath(ts)), c.state);
        EXPECT_TRUE(dir->alreadyLocked());
        EXPECT_TRUE(dir->stateFile().isOpened());
        EXPECT_STREQ(dir->getCacheDir(), dirPath(ts).c_str());
    }
}

TEST_F(CloseDiscardTest, SuspendOfACompletedIndexClosesIt) {
    auto dir = openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    dir->setCompletedIndex(true);
    platform::TestSink sink;
    EXPECT_EQ(dir->suspend(), 0);
    EXPECT_TRUE(loggedLine(sink, "suspending a completed index - forcing a close", 1));
    EXPECT_EQ(readFile(statePath(kTs)), "0\n1700000250    \n");
    EXPECT_TRUE(exists(dirPath(kTs) + "/canStillResume"));
    EXPECT_TRUE(writeLockableFromChild(kTs));
}

TEST_F(CloseDiscardTest, CloseOfAWrittenIndexClosesItWithTheResumeMarkerAndNoLock) {
    for (bool canStillResume : {true, false}) {
        SCOPED_TRACE(canStillResume);
        const unsigned long ts = kTs + (canStillResume ? 1 : 2);
        auto dir = openForWriting(*this, ts);
        ASSERT_TRUE(dir);
        platform::TestSink sink;
        EXPECT_EQ(dir->close(canStillResume), 0);
        EXPECT_EQ(readFile(statePath(ts)), "0\n1700000250    \n");
        EXPECT_EQ(exists(dirPath(ts) + "/canStillResume"), canStillResume);
        EXPECT_EQ(readFile(dirPath(ts) + "/canStillResume"), "");
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_TRUE(writeLockableFromChild(ts)) << "no lock is left behind";
        EXPECT_TRUE(sink.events().empty());
    }
}

TEST_F(CloseDiscardTest, CloseByStateBeforeIt) {
    struct Case {
        const char* before;
        int result;
        const char* after;
        const char* failure; // the logged message, or null
    };
    const Case cases[] = {
        {"2\n1700000100    \n", 0, "0\n1700000100    \n", nullptr},
        {"0\n1700000100    \n", 0, "0\n1700000100    \n", nullptr},
        {"1\n1700000100    \n", -1, "1\n1700000100    \n", "already suspended"},
        {"9\n1700000100    \n", -1, "9\n1700000100    \n", "getState() failed"},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        auto dir = opened(++ts, c.before);
        ASSERT_TRUE(dir);
        ASSERT_EQ(dir->readLock(0), 1);
        platform::TestSink sink;
        EXPECT_EQ(dir->close(true), c.result);
        EXPECT_EQ(readFile(statePath(ts)), c.after);
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_TRUE(writeLockableFromChild(ts)) << "the read lock is released either way";
        if (c.failure) {
            EXPECT_EQ(dir->getErrno(), -4);
            EXPECT_TRUE(loggedLine(sink, std::string("close(): ") + c.failure + ": errno=-4", 1));
            EXPECT_EQ(eventArgs(sink, kCloseEvent), std::vector<std::string>{appText()});
            EXPECT_FALSE(exists(dirPath(ts) + "/canStillResume"));
        } else {
            EXPECT_TRUE(sink.events().empty());
            EXPECT_TRUE(exists(dirPath(ts) + "/canStillResume"));
            EXPECT_EQ(dir->getCacheDir(), nullptr);
        }
    }
}

TEST_F(CloseDiscardTest, CloseOfAnObjectThatOpenedNothing) {
    auto dir = make(kTs);
    mkdirs(dirPath(kTs));
    platform::TestSink sink;
    EXPECT_EQ(dir->close(false), -1);
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "close(): INFO: index not opened: errno=-6", 1));
    EXPECT_TRUE(sink.events().empty());

    // A lock without an open State file is released too.
    ASSERT_EQ(dir->writeLock(60), 1);
    EXPECT_EQ(dir->close(false), -1);
    EXPECT_FALSE(dir->alreadyLocked());
    EXPECT_TRUE(writeLockableFromChild(kTs));
}

TEST_F(CloseDiscardTest, CloseAdvancesTheIndexWriteCounterOnceWhenAsked) {
    KeyStore::set(platform::kPlatformSection, "PhysicalMachine", "node1");
    for (bool increment : {false, true}) {
        const unsigned long ts = kTs + (increment ? 1 : 2);
        auto dir = openForWriting(*this, ts, 42);
        ASSERT_TRUE(dir);
        dir->setJobPhaseNumber(3);
        dir->setJobAttemptNumber(1);
        dir->setJobIndexWriteCounter(4);
        dir->setShouldIndexingTokenIncrement(increment);
        ASSERT_EQ(dir->close(false), 0);
        EXPECT_EQ(dir->getJobIndexWriteCounter(), increment ? 5u : 4u);
        EXPECT_FALSE(dir->getShouldIndexingTokenIncrement()) << "the flag is consumed";
        std::string jobId = readFile(dirPath(ts) + "/JobId");
        if (increment)
            EXPECT_EQ(jobId.substr(0, jobId.find(' ')), "42:3:1:5");
        else
            EXPECT_EQ(jobId, "");
    }
}

TEST_F(CloseDiscardTest, KeepStateLeavesTheStateLineAndTheOtherWritersLock) {
    // A busy client cache: another process writes, this one closes its view.
    mkdirs(dirPath(kTs));
    writeFile(statePath(kTs), "3\n1700000100    \n");
    lifecycle::LockHolder writer(kTs, true);
    ASSERT_TRUE(writer.holding());
    auto dir = make(kTs);
    ASSERT_EQ(dir->reopenStateFile(), 0);
    dir->setKeepState(true);
    EXPECT_EQ(dir->close(true), 0);
    EXPECT_EQ(readFile(statePath(kTs)), "3\n1700000100    \n");
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_FALSE(writeLockableFromChild(kTs)) << "the writer still holds its lock";
    EXPECT_EQ(writer.release(), 0);
}

TEST_F(CloseDiscardTest, BackupFailureSuspendsOrKeepsWriting) {
    struct Case {
        bool keepWriting;
        int result;
        const char* state;
        bool marker;
    };
    const Case cases[] = {
        {false, -1, "1\n1700000250    \n", false},
        {true, 0, "3\n1700000250    \n", true},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keepWriting);
        auto dir = openForWriting(*this, ++ts);
        ASSERT_TRUE(dir);
        dir->backupResult = "tape gone";
        platform::TestSink sink;
        EXPECT_EQ(dir->close(true, c.keepWriting), c.result);
        EXPECT_TRUE(loggedLine(sink, "close(): index backup failed: tape gone: errno=0", 1));
        EXPECT_EQ(readFile(statePath(ts)), c.state);
        EXPECT_EQ(exists(dirPath(ts) + "/canStillResume"), c.marker);
        EXPECT_TRUE(writeLockableFromChild(ts));
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        if (c.result < 0) {
            EXPECT_TRUE(loggedLine(sink, "close(): index backup failed: errno=0", 1));
            EXPECT_EQ(eventArgs(sink, kCloseEvent), std::vector<std::string>{appText()});
        } else {
            EXPECT_EQ(sink.countEvents(kCloseEvent), 0);
        }
    }
}

TEST_F(CloseDiscardTest, BackupFailureWithAStateFileGoneCannotReopenIt) {
    auto dir = openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    // The State file is gone by the time the failed backup wants it back.
    dir->backupResult = "index lost";
    ASSERT_EQ(::unlink(statePath(kTs).c_str()), 0);
    platform::TestSink sink;
    EXPECT_EQ(dir->close(false), -1);
    EXPECT_EQ(dir->getErrno(), 2);
    EXPECT_TRUE(loggedLine(sink, "close(): state file open failed: errno=2", 1));
    EXPECT_EQ(sink.countEvents(kCloseEvent), 1);
    EXPECT_FALSE(exists(statePath(kTs)));
}

TEST_F(CloseDiscardTest, ClientCacheKeepsItsPathAndReportsFailuresWithTheSixtyFourBitKey) {
    std::string jr = home.sub("jr", true);
    KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
    const std::string path = jr + "/OX_JobResults/2/17/" + std::to_string(kTs);
    {
        TestIndexCacheDir dir(kJobResultsAppType, 2, "17", 0, BackupTypeFull, kTs);
        dir.initialize("client1");
        ASSERT_TRUE(dir.isJobResults());
        ASSERT_EQ(dir.mkCacheDir(), 0);
        dir.setState(3);
        ASSERT_GE(dir.stateFilePutAtime("1700000250    "), 0);
        EXPECT_EQ(dir.close(false), 0);
        EXPECT_STREQ(dir.getCacheDir(), path.c_str()) << "a client cache keeps its path";
        EXPECT_EQ(readFile(path + "/State"), "0\n1700000250    \n");

        // Suspended meanwhile: the close fails with the client-cache event.
        writeFile(path + "/State", "1\n1700000250    \n");
        ASSERT_EQ(dir.reopenStateFile(), 0);
        platform::TestSink sink;
        EXPECT_EQ(dir.close(false), -1);
        EXPECT_EQ(eventArgs(sink, kClientCloseEvent),
                  std::vector<std::string>{std::to_string((17ull << 32) + kTs)});
        EXPECT_EQ(sink.countEvents(kCloseEvent), 0);
        EXPECT_FALSE(dir.stateFile().isOpened());
    }
}

TEST_F(CloseDiscardTest, DiscardEmptiesTheStateFileAndRemovesTheDirectory) {
    for (bool details : {true, false}) {
        SCOPED_TRACE(details);
        const unsigned long ts = kTs + (details ? 1 : 2);
        auto dir = openForWriting(*this, ts);
        ASSERT_TRUE(dir);
        mkdirs(dirPath(ts) + "/sub/deeper");
        writeFile(dirPath(ts) + "/sub/deeper/table.dat", "rows");
        writeFile(dirPath(ts) + "/table.idx", "keys");
        platform::TestSink sink;
        EXPECT_EQ(dir->discard(details), 0);
        EXPECT_FALSE(exists(dirPath(ts)));
        EXPECT_TRUE(exists(root + "/2/17")) << "only the page cache loses its parent";
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_FALSE(dir->alreadyLocked());
        const std::string header =
            "DiscardUnusable '" + dirPath(ts) + "' [" + dateText(static_cast<unsigned>(ts)) + "]";
        EXPECT_EQ(loggedLine(sink, header, 1), details);
        EXPECT_EQ(loggedLine(sink, "state '3' atime '1700000250    '", 3), details);
    }
}

TEST_F(CloseDiscardTest, DiscardLogsUnreadableOrOverlongStateLinesAsTheyCome) {
    struct Case {
        std::string content;
        std::string line1, line2;
    };
    const std::string longLine(200, '7');
    const Case cases[] = {
        {"", "", ""},
        {"2\n", "2", ""},
        {longLine + "\n1700000100    \n", longLine.substr(0, 126), "1700000100    "},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        auto dir = opened(++ts, c.content);
        ASSERT_TRUE(dir);
        platform::TestSink sink;
        EXPECT_EQ(dir->discard(true), 0);
        EXPECT_TRUE(loggedLine(sink, "state '" + c.line1 + "' atime '" + c.line2 + "'", 3))
            << c.content;
        EXPECT_FALSE(exists(dirPath(ts)));
    }
}

TEST_F(CloseDiscardTest, DiscardOfAnObjectThatOpenedNothing) {
    makeDir(kTs, "0\n1700000100    \n");
    auto dir = make(kTs);
    platform::TestSink sink;
    EXPECT_EQ(dir->discard(true), -1);
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "discard(): object not opened: errno=-6", 1));
    EXPECT_EQ(readFile(statePath(kTs)), "0\n1700000100    \n");
}

TEST_F(CloseDiscardTest, DiscardWaitsSixtySecondsForAnotherProcessAndThenLeavesTheDirectory) {
    makeDir(kTs, "2\n1700000100    \n");
    writeFile(dirPath(kTs) + "/table.dat", "rows");
    lifecycle::LockHolder reader(kTs, false);
    ASSERT_TRUE(reader.holding());
    auto dir = make(kTs);
    ASSERT_EQ(dir->reopenStateFile(), 0);
    platform::VirtualClock clock;
    const time_t start = clock.now();
    platform::TestSink sink;
    EXPECT_EQ(dir->discard(false), -1);
    EXPECT_GE(clock.now() - start, 60);
    EXPECT_LT(clock.now() - start, 120);
    EXPECT_TRUE(loggedLine(sink, "discard(): locking timeout: errno=0", 1));
    EXPECT_EQ(readFile(statePath(kTs)), "2\n1700000100    \n") << "nothing is touched";
    EXPECT_EQ(readFile(dirPath(kTs) + "/table.dat"), "rows");
    EXPECT_EQ(reader.release(), 0);
}

TEST_F(CloseDiscardTest, DiscardOfAPageCacheDirectoryTakesItsEmptyApplicationDirectory) {
    const std::string appDir = idx + "/OX_PageCache/2/17";
    for (bool sibling : {false, true}) {
        SCOPED_TRACE(sibling);
        TestIndexCacheDir dir(1, 2, "17", 0, BackupTypeFull, kTs, TCacheTypePageCache);
        dir.initialize("client1");
        ASSERT_EQ(dir.mkCacheDir(), 0);
        ASSERT_STREQ(dir.getCacheDir(), (appDir + "/" + std::to_string(kTs)).c_str());
        dir.setState(3);
        if (sibling)
            mkdirs(appDir + "/1600000000");
        platform::TestSink sink;
        EXPECT_EQ(dir.discard(false), 0);
        EXPECT_FALSE(exists(appDir + "/" + std::to_string(kTs)));
        EXPECT_EQ(exists(appDir), sibling);
        EXPECT_EQ(sink.hasLine("Failed to remove parent directory [" + appDir + "]"), sibling);
        EXPECT_TRUE(exists(idx + "/OX_PageCache/2"));
        EXPECT_EQ(dir.getCacheDir(), nullptr);
    }
}

TEST_F(CloseDiscardTest, DiscardForResumeKeepsTheTransactionLogsAndSubdirectories) {
    auto dir = openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    const std::string d = dirPath(kTs);
    const std::vector<std::string> kept = {"TL_RST.cfg",          "current_chunk",
                                           "table.trn_00000001",  "idx.start.0001",
                                           "TL_RST.cfg.timemark", "trn-not-dot.trn"};
    const std::vector<std::string> removed = {"table.dat", "table.idx", "TL_RST.cfg.bak",
                                              "canStillResume", "JobId"};
    for (const std::string& f : kept)
        writeFile(d + "/" + f, "log");
    for (const std::string& f : removed)
        writeFile(d + "/" + f, "data");
    mkdirs(d + "/checkpoints/1");
    writeFile(d + "/checkpoints/1/table.dat", "copy");
    ASSERT_EQ(::symlink((d + "/checkpoints").c_str(), (d + "/linkToDir").c_str()), 0);
    ASSERT_EQ(::symlink((d + "/gone").c_str(), (d + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((d + "/pipe").c_str(), 0644), 0);

    platform::TestSink sink;
    EXPECT_EQ(dir->discardForResume(), 0);
    EXPECT_TRUE(loggedLine(sink, "Discarding " + d + " state '3' atime '1700000250    '", 1));
    for (const std::string& f : kept)
        EXPECT_EQ(readFile(d + "/" + f), "log") << f;
    for (const std::string& f : removed)
        EXPECT_FALSE(exists(d + "/" + f)) << f;
    EXPECT_FALSE(exists(d + "/State"));
    EXPECT_EQ(readFile(d + "/checkpoints/1/table.dat"), "copy");
    struct stat st;
    EXPECT_EQ(::lstat((d + "/linkToDir").c_str(), &st), 0) << "a link to a directory stays";
    EXPECT_NE(::lstat((d + "/dangling").c_str(), &st), 0) << "a dangling link goes";
    EXPECT_EQ(::lstat((d + "/pipe").c_str(), &st), 0) << "only regular files go";
    EXPECT_STREQ(dir->getCacheDir(), d.c_str()) << "the path stays for the resume";
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_FALSE(dir->alreadyLocked());
}

TEST_F(CloseDiscardTest, DiscardForResumeWithTheStateFileAlreadyClosed) {
    for (bool mayBeClosed : {true, false}) {
        SCOPED_TRACE(mayBeClosed);
        const unsigned long ts = kTs + (mayBeClosed ? 1 : 2);
        makeDir(ts, "1\n1700000100    \n");
        writeFile(dirPath(ts) + "/table.dat", "rows");
        writeFile(dirPath(ts) + "/current_chunk", "3");
        auto dir = make(ts);
        platform::TestSink sink;
        if (mayBeClosed) {
            EXPECT_EQ(dir->discardForResume(true), 0);
            EXPECT_FALSE(sink.hasLine("Discarding"));
            EXPECT_FALSE(exists(statePath(ts)));
            EXPECT_FALSE(exists(dirPath(ts) + "/table.dat"));
        } else {
            EXPECT_EQ(dir->discardForResume(), -1);
            EXPECT_EQ(dir->getErrno(), -6);
            EXPECT_TRUE(loggedLine(sink, "discard(): object not opened: errno=-6", 1));
            EXPECT_EQ(readFile(statePath(ts)), "1\n1700000100    \n");
            EXPECT_EQ(readFile(dirPath(ts) + "/table.dat"), "rows");
        }
        EXPECT_EQ(readFile(dirPath(ts) + "/current_chunk"), "3");
    }
}

TEST_F(CloseDiscardTest, LifecycleOperationsOfAnUninitialisedObjectDoNothing) {
    makeDir(kTs, "3\n1700000100    \n");
    CacheDirProbe dir(kTs);
    EXPECT_EQ(dir.suspend(), -1);
    EXPECT_EQ(dir.close(true), -1);
    EXPECT_EQ(dir.discard(true), -1);
    EXPECT_EQ(dir.discardForResume(true), -1);
    EXPECT_EQ(readFile(statePath(kTs)), "3\n1700000100    \n");
}

struct FailJobTest : CloseDiscardTest {};

TEST_F(FailJobTest, TellsTheJobControllerWhatFailed) {
    struct Case {
        const char* name;
        const char* warden;     // HostName of the central server
        const char* jobSetting; // "idxcache.jobs" value for job 42, or null
        bool wholeJob;
        int result;
        std::vector<std::string> lines; // after the "failing" line
        std::vector<std::string> jobs;  // jobs.log records (without time and pid)
    };
    const Case cases[] = {
        {"whole job",
         "ws",
         nullptr,
         true,
         0,
         {},
         {"BKPINIT job=42 warden=ws 1 2 0 0", "COMPLETE job=42 2 2 0 0"}},
        {"phase",
         "ws",
         nullptr,
         false,
         0,
         {},
         {"BKPINIT job=42 warden=ws 1 2 0 0", "COMPLETE job=42 2 1 0 0"}},
        {"no central server",
         "",
         nullptr,
         true,
         -1,
         {"failJob: cannot obtain WardenServer name"},
         {}},
        {"unknown job",
         "ws",
         "unknown",
         true,
         -1,
         {"failJob: job object init failed (WardenServer=ws, jobId=42)"},
         {"BKPINIT job=42 warden=ws 1 2 0 0"}},
        {"frozen job",
         "ws",
         "frozen",
         false,
         -1,
         {"failJob: unable to fail the phase (WardenServer=ws, jobId=42)"},
         {"BKPINIT job=42 warden=ws 1 2 0 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome caseHome;
        SetUp();
        KeyStore::set(kWardenSection, "HostName", c.warden);
        if (c.jobSetting)
            KeyStore::set(kJobsSection, "42", c.jobSetting);
        auto dir = make(kTs, 1, 42);
        platform::TestSink sink;
        EXPECT_EQ(dir->failJob(c.wholeJob), c.result);
        EXPECT_TRUE(loggedLine(sink,
                               std::string("failJob: failing ") +
                                   (c.wholeJob ? "whole job" : "phase only") + " (jobId=42)",
                               1));
        for (const std::string& l : c.lines)
            EXPECT_TRUE(loggedLine(sink, l, 1)) << l;
        std::vector<std::string> records;
        std::string log = readFile(caseHome.path() + "/logs/jobs.log");
        for (size_t pos = 0; pos < log.size();) {
            size_t end = log.find('\n', pos);
            std::string line = log.substr(pos, end - pos);
            // "<date> <time> <pid> <record>"
            size_t cut = line.find(' ', line.find(' ', line.find(' ') + 1) + 1);
            records.push_back(line.substr(cut + 1));
            pos = end + 1;
        }
        EXPECT_EQ(records, c.jobs);
    }
}

} // namespace
