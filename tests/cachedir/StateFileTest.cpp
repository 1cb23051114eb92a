#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "port/CXDirectory.h"

using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned long kTs = 1700000000;

struct StateFileTest : CacheDirFixture {};

// Throws the message the operation raised, or returns "" when it did not throw.
template <typename F> std::string thrown(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

TEST_F(StateFileTest, NewDirectoryReadsBackWritingStateAndCreationTime) {
    platform::VirtualClock clock(kTs + 250);
    auto dir = make(kTs, 1, 42);
    ASSERT_EQ(dir->preInitResult, 0);
    platform::TestSink sink;
    ASSERT_EQ(dir->mkCacheDir(), 0);
    EXPECT_TRUE(loggedLine(sink, "job 42 creating '" + dirPath(kTs) + "'"));
    EXPECT_TRUE(dir->alreadyLocked()) << "the new directory stays write-locked";
    EXPECT_TRUE(dir->stateFile().isOpened());
    EXPECT_TRUE(testsupport::exists(dir->getJobStatusFilePath()))
        << "a job status file with the job's last action is made";

    ASSERT_EQ(dir->setState(3), 0);
    ASSERT_EQ(dir->stateFilePutAtime("1700000250    "), 0);
    EXPECT_EQ(readFile(statePath(kTs)), "3\n1700000250    \n");
    EXPECT_EQ(readFile(statePath(kTs)).size(), 17u);
    EXPECT_EQ(dir->getState(false), 3);
    EXPECT_EQ(dir->getAtime(), static_cast<unsigned long>(kTs + 250));
    EXPECT_TRUE(dir->alreadyLocked()) << "setState under a held lock keeps it";
}

TEST_F(StateFileTest, SetStateRewritesLineOneInPlaceKeepingItsEnding) {
    struct Case {
        const char* before;
        int state;
        const char* after;
    };
    const Case cases[] = {
        {"3\r\n1700000000    \n", 1, "1\r\n1700000000    \n"},
        {"3\n1700000000    \n", 0, "0\n1700000000    \n"},
        {"0\n1700000000    \nextra\n", 2, "2\n1700000000    \nextra\n"},
        {"", 3, "3\n"},
        {"2\n", 3, "3\n"},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        ++ts;
        makeDir(ts, c.before);
        auto dir = make(ts);
        ASSERT_EQ(dir->reopenStateFile(), 0);
        platform::TestSink sink;
        EXPECT_EQ(dir->setState(c.state), 0) << c.before;
        EXPECT_EQ(readFile(statePath(ts)), c.after) << c.before;
        EXPECT_TRUE(loggedLine(sink, "state is set to " + std::to_string(c.state), 3));
        EXPECT_FALSE(dir->alreadyLocked()) << "the lock setState took is released";
        EXPECT_EQ(dir->getState(false), c.state);
    }
}

TEST_F(StateFileTest, SetStateFailuresRaiseTheirEventAndRethrow) {
    struct Case {
        const char* content; // nullptr: the State file member is not opened
        std::vector<std::string> lines;
        int errorCode;
    };
    const std::string dir1 = dirPath(kTs + 1), dir2 = dirPath(kTs + 2);
    const Case cases[] = {
        {"33\n1700000000    \n",
         {"seekToAtime: in '" + dir1 + "' read 2nd byte 0x33 buffer '33'",
          "unable to determine seek offset in '" + dir1 + "'",
          "setState(): State file error: errno=2"},
         2},
        {"3",
         {"seekToAtime: read in '" + dir2 + "' ret 1, code 0",
          "setState(): State file error: errno=-2000"},
         -2000},
        {nullptr, {"setState(): object is not opened: errno=-6"}, -6},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        ++ts;
        makeDir(ts, c.content ? c.content : "");
        auto dir = make(ts);
        if (c.content) {
            ASSERT_EQ(dir->reopenStateFile(), 0);
        }
        platform::TestSink sink;
        EXPECT_EQ(thrown([&] { dir->setState(1); }), "setState exception");
        for (const std::string& line : c.lines)
            EXPECT_TRUE(loggedLine(sink, line, 1)) << line;
        EXPECT_EQ(dir->getErrno(), c.errorCode);
        EXPECT_EQ(eventArgs(sink, 0x0E000032), std::vector<std::string>{dirPath(ts)});
        if (c.content) {
            EXPECT_EQ(readFile(statePath(ts)), c.content) << "nothing is written";
            EXPECT_TRUE(dir->alreadyLocked()) << "a lock taken by the failed call stays held";
        }
    }
}

TEST_F(StateFileTest, GetStateAnswersTheDigitOrMinusOneAndThrowsWhenNothingIsRead) {
    struct Case {
        const char* content;
        int state; // when it does not throw
        bool throws;
    };
    const Case cases[] = {
        {"3\r\n1700000000    \n", 3, false}, {"7\n", 7, false}, {"x\n", -1, false},
        {"\n1700000000    \n", -1, false},   {"", 0, true},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        ++ts;
        makeDir(ts, c.content);
        auto dir = make(ts);
        ASSERT_EQ(dir->reopenStateFile(), 0);
        for (bool raise : {false, true}) {
            platform::TestSink sink;
            if (!c.throws) {
                EXPECT_EQ(dir->getState(raise), c.state) << c.content;
                EXPECT_EQ(dir->getErrno(), 0);
                EXPECT_TRUE(sink.events().empty());
                continue;
            }
            EXPECT_EQ(thrown([&] { dir->getState(raise); }), "getState() exception");
            EXPECT_TRUE(loggedLine(sink, "State file getLine unexpected EOF", 1));
            EXPECT_TRUE(loggedLine(sink, "getState(): State file getLine error: errno=0", 1));
            EXPECT_EQ(eventArgs(sink, 0x0E000031),
                      raise ? std::vector<std::string>{dirPath(ts)} : std::vector<std::string>{});
        }
    }
}

TEST_F(StateFileTest, GetStateWithoutAnOpenStateFile) {
    makeDir(kTs, "0\n1700000000    \n");
    auto dir = make(kTs);
    platform::TestSink sink;
    EXPECT_EQ(thrown([&] { dir->getState(true); }), "getState() exception");
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "getState(): object is not opened: errno=-6"));
    EXPECT_TRUE(dir->stateError());
    EXPECT_TRUE(loggedLine(sink, "stateError: getState threw exception 'getState() exception'"));
}

TEST_F(StateFileTest, GetCacheStateOpensOnlyForTheQuestion) {
    makeDir(kTs + 1, "2\n1700000000    \n");
    auto dir = make(kTs + 1);
    EXPECT_EQ(dir->getCacheState(), 2);
    EXPECT_FALSE(dir->stateFile().isOpened()) << "closed again: it was not open before";
    ASSERT_EQ(dir->reopenStateFile(), 0);
    EXPECT_EQ(dir->getCacheState(), 2);
    EXPECT_TRUE(dir->stateFile().isOpened()) << "left open: it was open before";
    EXPECT_FALSE(dir->stateError());

    // An empty State file (created by the reopen when missing) has no state.
    mkdirs(dirPath(kTs + 2));
    auto empty = make(kTs + 2);
    platform::TestSink sink;
    EXPECT_EQ(empty->getCacheState(), -1);
    EXPECT_TRUE(loggedLine(sink, "getCacheState() caught exception: getState() exception", 3));
    EXPECT_FALSE(empty->stateFile().isOpened());

    auto noPath = make(0);
    EXPECT_EQ(noPath->getCacheState(), -1);
    EXPECT_TRUE(loggedLine(sink, "cannot reopen state file with no cacheDir", 1));
}

TEST_F(StateFileTest, AccessTimeIsReadOnceAndNeverBelowTheTimeStamp) {
    struct Case {
        const char* content;
        unsigned long atime;
        bool raised; // the "smaller than time stamp" line
    };
    const Case cases[] = {
        {"0\n1700000500    \n", 1700000500, false},
        {"0\r\n1700000500    \n", 1700000500, false},
        {"0\n5    \n", kTs, true},
        {"0\n1700000000    \n", kTs, false},
    };
    for (const Case& c : cases) {
        makeDir(kTs, c.content);
        auto dir = make(kTs);
        platform::TestSink sink;
        EXPECT_EQ(dir->getAtime(), c.atime) << c.content;
        EXPECT_EQ(loggedLine(sink, "getAtime: atime 5 is smaller than time stamp 1700000000", 3),
                  c.raised);
        writeFile(statePath(kTs), "0\n1700009999    \n");
        EXPECT_EQ(dir->getAtime(), c.atime) << "the first value read is kept";
    }
}

TEST_F(StateFileTest, UnreadableAccessTimeIsZeroAfterTenAttempts) {
    struct Case {
        const char* content; // nullptr: no State file
        const char* message;
    };
    const Case cases[] = {
        {nullptr, "State file open error"},
        {"33\n1700000000    \n", "seek error"},
        {"3\n", "State file getLine error"},
        {"3\nabc\n", "invalid atime"},
    };
    for (const Case& c : cases) {
        mkdirs(dirPath(kTs));
        ::unlink(statePath(kTs).c_str());
        if (c.content)
            writeFile(statePath(kTs), c.content);
        auto dir = make(kTs);
        platform::VirtualClock clock;
        platform::TestSink sink;
        EXPECT_EQ(dir->getAtime(), 0u) << c.message;
        EXPECT_EQ(clock.waits(), std::vector<unsigned long>(9, 1000)) << c.message;
        EXPECT_EQ(dir->getErrno(), 2);
        EXPECT_TRUE(loggedLine(
            sink, "getAtime(): cache '" + dirPath(kTs) + "' error '" + c.message + "' errno=2", 1))
            << c.message;
        if (!c.content) {
            EXPECT_TRUE(loggedLine(sink, "getAtime: open '" + statePath(kTs) +
                                             "' failed 10 times, errno 2 will be treated as "
                                             "ERR_NOT_THERE"));
        }

        // Later calls answer at once: the State file counts as missing.
        writeFile(statePath(kTs), "0\n1700000500    \n");
        dir->setErrorCode(0);
        clock.clearWaits();
        EXPECT_EQ(dir->getAtime(), 0u);
        EXPECT_TRUE(clock.waits().empty());
        EXPECT_EQ(dir->getErrno(), 2);
        EXPECT_TRUE(dir->stateFileMissing());
    }
}

// A clock whose second sleep lets the State file appear, as a writer that was
// still creating the directory would.
class AppearingStateFile : public platform::VirtualClock {
public:
    AppearingStateFile(std::string path, size_t afterSleeps)
        : path_(std::move(path)), after_(afterSleeps) {}
    void sleepMs(unsigned long ms) override {
        VirtualClock::sleepMs(ms);
        if (waits().size() == after_)
            writeFile(path_, "0\n1700000700    \n");
    }

private:
    std::string path_;
    size_t after_;
};

TEST_F(StateFileTest, AccessTimeOfAStateFileThatAppearsDuringTheRetries) {
    mkdirs(dirPath(kTs));
    auto dir = make(kTs);
    AppearingStateFile clock(statePath(kTs), 2);
    platform::TestSink sink;
    EXPECT_EQ(dir->getAtime(), 1700000700u);
    EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000}));
    EXPECT_TRUE(
        loggedLine(sink, "getAtime: open '" + statePath(kTs) + "' failed 2 times, errno 2"));
}

TEST_F(StateFileTest, AccessTimeWithoutPathOrInitialisation) {
    auto noPath = make(0);
    platform::TestSink sink;
    EXPECT_EQ(noPath->getAtime(), 0u);
    EXPECT_EQ(noPath->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "getAtime(): cache 'NULL' error 'object is not opened' errno=-6"));
    EXPECT_EQ(noPath->getCacheDir(), nullptr);
    EXPECT_STREQ(noPath->getCacheDirSafe(), "**null**");
    EXPECT_EQ(noPath->getTimeStamp(), 0u) << "no path, no time stamp";

    CacheDirProbe never(kTs);
    sink.clear();
    EXPECT_EQ(never.getAtime(), 0u);
    EXPECT_EQ(never.getCacheDir(), nullptr);
    EXPECT_EQ(never.getTimeStamp(), 0u);
    EXPECT_TRUE(sink.lines().empty()) << "an uninitialised object answers without logging";
}

TEST_F(StateFileTest, AccessTimeWritesGoThroughTheLockingDescriptor) {
    makeDir(kTs, "3\n1700000000    \n");
    auto dir = make(kTs);
    ASSERT_EQ(dir->writeLock(60), 1);
    ASSERT_FALSE(dir->stateFile().isOpened());
    // The State file member is closed; only the lock slot can take the write.
    EXPECT_EQ(dir->stateFilePutAtime("1700000999    "), 0);
    EXPECT_EQ(readFile(statePath(kTs)), "3\n1700000999    \n");
    EXPECT_FALSE(dir->stateFile().isOpened()) << "a closed member is not opened by the write";

    ASSERT_EQ(dir->reopenStateFile(), 0);
    EXPECT_EQ(dir->stateFileSeek(0, sfSeekSet), 0);
    EXPECT_EQ(dir->stateFileWrite("1", 1), 1);
    EXPECT_TRUE(dir->stateFile().isOpened()) << "an open member is reopened after the write";
    EXPECT_EQ(readFile(statePath(kTs)), "1\n1700000999    \n");
    EXPECT_EQ(dir->getState(false), 1);

    ASSERT_EQ(dir->unLock(), 0);
    dir->stateFile().close();
    EXPECT_EQ(dir->stateFilePutAtime("1700001000    "), -1)
        << "no lock slot and no open State file: nothing to write through";
}

TEST_F(StateFileTest, MkCacheDirGoesOnInAnExistingDirectory) {
    mkdirs(dirPath(kTs));
    auto dir = make(kTs);
    platform::TestSink sink;
    EXPECT_EQ(dir->mkCacheDir(), 0);
    EXPECT_TRUE(
        loggedLine(sink, "mkdir " + dirPath(kTs) + " failed because directory already exists"));
    EXPECT_EQ(dir->getErrno(), EEXIST);
    EXPECT_TRUE(dir->alreadyLocked());
    EXPECT_TRUE(testsupport::exists(statePath(kTs)));
    EXPECT_FALSE(loggedLine(sink, "job 0 creating '" + dirPath(kTs) + "'")) << "no job id, no line";
}

TEST_F(StateFileTest, MkCacheDirFailuresNameThePathBeingMade) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string message;
        std::string path;
    };
    const Case cases[] = {
        {"root gone", [&] { std::filesystem::remove_all(root); }, "make client directory failed",
         root + "/2"},
        {"realm is a file", [&] { writeFile(root + "/2", "x"); }, "make subclient directory failed",
         root + "/2/17"},
        {"application is a file",
         [&] {
             mkdirs(root + "/2");
             writeFile(root + "/2/17", "x");
         },
         "make timeStamp directory failed", dirPath(kTs)},
    };
    for (const Case& c : cases) {
        auto dir = make(kTs);
        ASSERT_TRUE(dir->isInitialized());
        c.prepare();
        platform::TestSink sink;
        EXPECT_EQ(thrown([&] { dir->mkCacheDir(); }), "mkCacheDir exception") << c.what;
        EXPECT_TRUE(loggedLine(
            sink, "mkCacheDir(): " + c.message + ": errno=" + std::to_string(dir->getErrno()), 1))
            << c.what;
        EXPECT_NE(dir->getErrno(), 0);
        EXPECT_EQ(eventArgs(sink, 0x0E000034), std::vector<std::string>{c.path}) << c.what;
        std::filesystem::remove_all(root);
        mkdirs(root);
    }

    CacheDirProbe never(kTs);
    platform::TestSink sink;
    EXPECT_EQ(thrown([&] { never.mkCacheDir(); }), "mkCacheDir exception");
    EXPECT_TRUE(loggedLine(sink, "mkCacheDir(): no cache fs: errno=0"));
    EXPECT_EQ(eventArgs(sink, 0x0E000034), std::vector<std::string>{"NONE"});
}

} // namespace

namespace {

TEST_F(StateFileTest, MkCacheDirWritesAJobStatusFileExceptForJobResults) {
    const std::string jr = home.sub("jr", true);
    platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
    struct Case {
        OXAppType app;
        long long job;
        bool statusFile;
    };
    const Case cases[] = {{1, 42, true}, {7, 43, true}, {1001, 44, false}, {1, 0, false}};
    for (const Case& c : cases) {
        auto dir = make(kTs, c.app, c.job);
        ASSERT_TRUE(dir->isInitialized()) << c.app;
        ASSERT_EQ(dir->mkCacheDir(), 0) << c.app;
        const std::string folder = std::string(dir->getCacheFs()) + "/RunningJobs";
        size_t files = 0;
        CXDirectory listing;
        if (listing.open(folder.c_str()) == 0) {
            while (const char* entry = listing.read())
                files += std::string(entry) != "." && std::string(entry) != "..";
        }
        EXPECT_EQ(files, c.statusFile ? 1u : 0u) << c.app << " job " << c.job;
        std::filesystem::remove_all(folder);
    }
}

} // namespace

namespace {

TEST_F(StateFileTest, AWriteThroughTheLockDoesNotBringBackARemovedStateFile) {
    makeDir(kTs, "3\n1700000000    \n");
    auto dir = make(kTs);
    ASSERT_EQ(dir->writeLock(60), 1);
    ASSERT_EQ(dir->reopenStateFile(), 0);
    ASSERT_EQ(::unlink(statePath(kTs).c_str()), 0);
    platform::TestSink sink;
    EXPECT_EQ(dir->setState(0), 0) << "the locked descriptor still takes the write";
    EXPECT_FALSE(testsupport::exists(statePath(kTs))) << "no empty State file appears";
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_TRUE(loggedLine(sink, "cannot reopen '" + statePath(kTs) + "', code 2", 1));
}

} // namespace
