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
        // Another realm, another application, another time stamp, no name at all.
        {"AgeBasedRemoval", [](CacheDirProbe& d) { return d.unCache(false, 3, "17", kTs); }, true},
        {"LowSpaceRemoval", [](CacheDirProbe& d) { return d.unCache(true, 2, "18", kTs); }, true},
        {"RoutineRemoval",
         [](CacheDirProbe& d) { return d.routineUnCache(false, 2, "17", kTs + 1); }, true},
        {"AgeBasedRemoval", [](CacheDirProbe& d) { return d.unCache(false, 2, nullptr, kTs); },
         true},
    };
    for (const Case& c : cases) {
        makeClosed(kTs);
        auto dir = victim(kTs);
        EXPECT_EQ(c.call(*dir), 0);
        EXPECT_EQ(!exists(dirPath(kTs)), c.removed) << c.kind;
        if (!c.removed) {
            EXPECT_EQ(readFile(statePath(kTs)), "0\n1700000100    \n");
        }
    }
    EXPECT_EQ(readFile(logPath), "") << "nothing went wrong";
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
    EXPECT_EQ(dir->unCache(false, 2, "17", kOtherTs), 0);
    EXPECT_FALSE(exists(dirPath(kTs)));
    EXPECT_TRUE(exists(root + "/2/17"));
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_FALSE(dir->alreadyLocked());
    EXPECT_EQ(readFile(logPath), "");
}

// Failures to remove are written to the clean-up log; the index files stay.
TEST_F(UnCacheTest, RemovalFailuresAreWrittenToTheCleanupLog) {
    const std::string d = dirPath(kTs);
    struct Case {
        std::function<void()> layout;
        int result;
        std::vector<std::string> events; // clean-up log events, in order
        const char* state;               // the State file afterwards, null: gone
    } cases[] = {
        {[&] { ::chmod((d + "/State").c_str(), 0600); }, -1, {kNotRemoved}, "0\n1700000100    \n"},
        {[&] { ::unlink((d + "/State").c_str()); }, -1, {kNotRemoved, kNotRemoved}, nullptr},
        {[&] {
             ::unlink((d + "/State").c_str());
             ::chmod(d.c_str(), 0711);
         },
         -1,
         {kCannotOpen, kNotRemoved},
         nullptr},
        // Locked, but the discard cannot finish: the State file was emptied first.
        {[&] { ::chmod((d + "/State").c_str(), 0666); }, 0, {kNotRemoved}, ""},
    };
    for (const Case& c : cases) {
        makeClosed(kTs);
        c.layout();
        // Past the grace period of a directory without a State file.
        const struct timeval aged[2] = {{static_cast<time_t>(kTs - 7200), 0},
                                        {static_cast<time_t>(kTs - 7200), 0}};
        ::utimes(d.c_str(), aged);
        ASSERT_EQ(cleanupLog.truncate(), 0);
        auto dir = victim(kTs);
        const int rc = lifecycle::runAsNobody(home.path(), [&] {
            platform::VirtualClock clock;
            return dir->unCache(true, 2, "17", kOtherTs) == c.result ? 0 : 1;
        });
        ::chmod(d.c_str(), 0755);
        ASSERT_NE(rc, 90) << "cannot drop privileges to nobody";
        EXPECT_EQ(rc, 0);
        std::string expected;
        for (const std::string& e : c.events)
            expected += logLine(kTs, e, e == kCannotOpen ? kCannotOpenText : kNotRemovedText);
        EXPECT_EQ(readFile(logPath), expected);
        EXPECT_EQ(readFile(d + "/sub/part.dat"), "more rows");
        if (c.state) {
            EXPECT_EQ(readFile(d + "/State"), c.state);
        }
        std::filesystem::remove_all(d);
    }
}

} // namespace
