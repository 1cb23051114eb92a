#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using lifecycle::openForWriting;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned long kTs = 1700000000;
// The requester: some other job's directory.
constexpr unsigned int kOtherTs = 1700009999;
const std::string kInUse = "234881275";      // 0x0E0000FB
const std::string kCannotOpen = "234881276"; // 0x0E0000FC
const std::string kNotRemoved = "234881277"; // 0x0E0000FD
const std::string kInUseText = "Cache directory is in use by another process and was not removed";
const std::string kCannotOpenText = "Cache directory could not be opened for removal";
const std::string kNotRemovedText = "Cache directory could not be removed";

struct UnCacheTest : CacheDirFixture {
    std::string logPath = home.path() + "/cleanup.log";
    CXFile cleanupLog;

    void SetUp() override {
        CacheDirFixture::SetUp();
        ASSERT_EQ(cleanupLog.open(logPath.c_str(), sfOpenCreate, 0, 0666), 0);
    }
    // The directory object clean-up would hold, with the clean-up log set.
    std::unique_ptr<CacheDirProbe> victim(unsigned long ts) {
        auto dir = make(ts);
        dir->setCleanupLogFile(&cleanupLog);
        return dir;
    }
    std::string logLine(unsigned long ts, const std::string& event, const std::string& text) {
        return "OX_Index/2/17/" + std::to_string(ts) + "," + event + "," + text + "\n";
    }
    static std::string dateText(unsigned int t) {
        TDebuggable log;
        return log.dateToString(t);
    }
    // Last changed two hours before the virtual clock starts: past the grace
    // period of a directory without a State file.
    static void age(const std::string& path) {
        struct timeval t[2] = {{static_cast<time_t>(kTs - 7200), 0},
                               {static_cast<time_t>(kTs - 7200), 0}};
        ::utimes(path.c_str(), t);
    }
    // A directory with some index files, as a finished job leaves it.
    void makeClosed(unsigned long ts) {
        makeDir(ts, "0\n1700000100    \n");
        mkdirs(dirPath(ts) + "/sub");
        writeFile(dirPath(ts) + "/table.dat", "rows");
        writeFile(dirPath(ts) + "/sub/part.dat", "more rows");
    }
};

TEST_F(UnCacheTest, TheRequestersOwnDirectoryIsNeverRemovedWhateverTheKind) {
    struct Case {
        const char* kind;
        std::function<int(CacheDirProbe&)> call;
        bool removed;
    };
    const Case cases[] = {
        {"AgeBasedRemoval", [](CacheDirProbe& d) { return d.unCache(false, 2, "17", kTs); }, false},
        {"LowSpaceRemoval", [](CacheDirProbe& d) { return d.unCache(true, 2, "17", kTs); }, false},
        {"RoutineRemoval", [](CacheDirProbe& d) { return d.routineUnCache(true, 2, "17", kTs); },
         false},
        // Another realm, another application, another time stamp, no name at all.
        {"AgeBasedRemoval", [](CacheDirProbe& d) { return d.unCache(false, 3, "17", kTs); }, true},
        {"LowSpaceRemoval", [](CacheDirProbe& d) { return d.unCache(true, 2, "18", kTs); }, true},
        {"RoutineRemoval",
         [](CacheDirProbe& d) { return d.routineUnCache(false, 2, "17", kTs + 1); }, true},
        {"AgeBasedRemoval", [](CacheDirProbe& d) { return d.unCache(false, 2, nullptr, kTs); },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        makeClosed(kTs);
        auto dir = victim(kTs);
        platform::TestSink sink;
        EXPECT_EQ(c.call(*dir), 0);
        EXPECT_EQ(!exists(dirPath(kTs)), c.removed);
        const std::string shown = std::string(c.kind) + " '" + dirPath(kTs) + "'";
        EXPECT_EQ(loggedLine(sink, shown + " NOT REMOVED", 1), !c.removed);
        EXPECT_EQ(loggedLine(sink, shown + " [" + dateText(kTs) + "]", 1), c.removed);
        if (!c.removed) {
            EXPECT_EQ(readFile(statePath(kTs)), "0\n1700000100    \n");
        }
    }
    EXPECT_EQ(readFile(logPath), "") << "nothing went wrong";
}

TEST_F(UnCacheTest, ADirectoryAnotherProcessHoldsIsLeftUntouched) {
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write lock" : "read lock");
        const unsigned long ts = kTs + (write ? 1 : 2);
        makeClosed(ts);
        lifecycle::LockHolder holder(ts, write);
        ASSERT_TRUE(holder.holding());
        auto dir = victim(ts);
        platform::TestSink sink;
        platform::VirtualClock clock;
        EXPECT_EQ(dir->unCache(true, 2, "17", kOtherTs), 0);
        EXPECT_TRUE(
            loggedLine(sink, "LowSpaceRemoval: cannot discard directory " + dirPath(ts), 1));
        EXPECT_TRUE(clock.waits().empty()) << "the lock is only probed";
        EXPECT_EQ(readFile(statePath(ts)), "0\n1700000100    \n");
        EXPECT_EQ(readFile(dirPath(ts) + "/sub/part.dat"), "more rows");
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_EQ(holder.release(), 0) << "the holder kept its lock throughout";
        EXPECT_TRUE(exists(dirPath(ts)));
    }
    EXPECT_EQ(readFile(logPath),
              logLine(kTs + 2, kInUse, kInUseText) + logLine(kTs + 1, kInUse, kInUseText));
}

TEST_F(UnCacheTest, ADirectoryWhoseWriterWasKilledIsRemoved) {
    testsupport::ProcessSignal ready;
    pid_t writer = testsupport::forkChild([&] {
        auto dir = openForWriting(*this, kTs);
        if (!dir)
            return 2;
        ready.post();
        for (;;)
            ::pause();
    });
    ASSERT_TRUE(ready.wait());
    EXPECT_FALSE(lifecycle::writeLockableFromChild(kTs)) << "the writer holds its lock";
    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    ASSERT_EQ(testsupport::waitChild(writer), 128 + SIGKILL);
    ASSERT_EQ(readFile(statePath(kTs)), "3\n1700000250    \n");

    auto dir = victim(kTs);
    platform::TestSink sink;
    EXPECT_EQ(dir->unCache(false, 2, "17", kOtherTs), 0);
    EXPECT_FALSE(exists(dirPath(kTs)));
    EXPECT_TRUE(exists(root + "/2/17"));
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_FALSE(dir->alreadyLocked());
    EXPECT_EQ(readFile(logPath), "");
}

TEST_F(UnCacheTest, ADirectoryWithoutStateFileIsWaitedForFifteenSecondsThenRemoved) {
    mkdirs(dirPath(kTs) + "/sub");
    writeFile(dirPath(kTs) + "/table.dat", "rows");
    writeFile(dirPath(kTs) + "/sub/part.dat", "more rows");
    age(dirPath(kTs));
    auto dir = victim(kTs);
    platform::VirtualClock clock;
    platform::TestSink sink;
    EXPECT_EQ(dir->routineUnCache(false, 2, "17", kOtherTs), 0);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(15, 1000));
    EXPECT_TRUE(loggedLine(
        sink, "cannot open state file '" + statePath(kTs) + "' (code 2) for unCache", 1));
    EXPECT_FALSE(exists(dirPath(kTs)));
    EXPECT_EQ(readFile(logPath), "");
}

TEST_F(UnCacheTest, AnObjectThatHoldsItsStateFileOrHasNoPathIsNotReady) {
    makeClosed(kTs);
    auto holding = victim(kTs);
    ASSERT_EQ(holding->reopenStateFile(), 0);
    auto noPath = victim(0);
    for (CacheDirProbe* dir : {holding.get(), noPath.get()}) {
        platform::TestSink sink;
        EXPECT_EQ(dir->unCache(false, 2, "17", kOtherTs), -1);
        EXPECT_EQ(dir->getErrno(), -6);
        EXPECT_TRUE(
            loggedLine(sink, "AgeBasedRemoval: object is not ready to be unCached: errno=-6", 1));
    }
    EXPECT_EQ(readFile(statePath(kTs)), "0\n1700000100    \n");
    // Only the object with a path can name its directory in the clean-up log.
    EXPECT_EQ(readFile(logPath), logLine(kTs, kNotRemoved, kNotRemovedText));
}

// Each case runs as nobody over a root-owned layout, so that the removal
// meets permission errors; the child reports through its exit code.
TEST_F(UnCacheTest, RemovalFailuresAreLoggedAndWrittenToTheCleanupLog) {
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> layout;
        int result;
        std::vector<std::string> lines;
        std::vector<std::string> events; // clean-up log events, in order
        bool dirStays;
    };
    const std::string d = dirPath(kTs);
    const Case cases[] = {
        {"State file unreadable",
         [](const std::string& dir) { ::chmod((dir + "/State").c_str(), 0600); },
         -1,
         {"cannot open state file '" + d + "/State' (code 13) for unCache",
          "LowSpaceRemoval: State file open error: errno=13"},
         {kNotRemoved},
         true},
        {"no State file, files not removable",
         [](const std::string& dir) { ::unlink((dir + "/State").c_str()); },
         -1,
         {"cannot remove files in " + d + ", code 13",
          "LowSpaceRemoval: after State file open error, rmdir(" + d + ") returns -1, errno 13",
          "LowSpaceRemoval: rmdir error (State file missing): errno=13"},
         {kNotRemoved, kNotRemoved},
         true},
        {"no State file, directory not listable",
         [](const std::string& dir) {
             ::unlink((dir + "/State").c_str());
             ::chmod(dir.c_str(), 0711);
         },
         -1,
         {"cannot open dir " + d + ", code 13",
          "LowSpaceRemoval: rmdir error (State file missing): errno=13"},
         {kCannotOpen, kNotRemoved},
         true},
        {"locked, but the discard cannot finish",
         [](const std::string& dir) { ::chmod((dir + "/State").c_str(), 0666); },
         0,
         {"discard(): cannot remove lock file: errno=13"},
         {kNotRemoved},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeClosed(kTs);
        c.layout(d);
        age(d);
        ASSERT_EQ(cleanupLog.truncate(), 0);
        ASSERT_EQ(cleanupLog.seek(0, sfSeekSet), 0);
        auto dir = victim(kTs);
        int rc = lifecycle::runAsNobody(home.path(), [&] {
            platform::VirtualClock clock;
            platform::TestSink sink;
            if (dir->unCache(true, 2, "17", kOtherTs) != c.result)
                return 1;
            for (const std::string& l : c.lines) {
                if (!loggedLine(sink, l, 1))
                    return 2;
            }
            return 0;
        });
        if (rc == 90)
            GTEST_SKIP() << "cannot drop privileges to nobody";
        EXPECT_EQ(rc, 0) << (rc == 1 ? "wrong result" : "a line is missing");
        std::string expected;
        for (const std::string& e : c.events) {
            const std::string& text = e == kCannotOpen ? kCannotOpenText : kNotRemovedText;
            expected += logLine(kTs, e, text);
        }
        EXPECT_EQ(readFile(logPath), expected);
        EXPECT_EQ(exists(d), c.dirStays);
        EXPECT_EQ(readFile(d + "/sub/part.dat"), "more rows") << "the index files stay";
        ::chmod(d.c_str(), 0755);
        std::filesystem::remove_all(d);
    }
}

} // namespace
