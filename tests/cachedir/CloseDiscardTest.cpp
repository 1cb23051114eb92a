// The end of a cache directory's use: close, suspend, discard (also for a
// resume) and failing the job.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
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

// Size of the file behind a descriptor opened before the file was changed or removed.
off_t sizeOf(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

struct CloseDiscardTest : CacheDirFixture {
    static std::string appText() { return TDebuggable().appToString(2, 17); }
};

TEST_F(CloseDiscardTest, CloseAndSuspendLeaveTheStateMarkerAndNoLock) {
    struct Case {
        bool canStillResume, suspend;
        const char* backupFailure;
        bool keepWriting;
        int result;
        const char* state;
        unsigned int event; // 0: none
    } cases[] = {
        {true, false, nullptr, false, 0, "0\n1700000250    \n", 0},
        {false, false, nullptr, false, 0, "0\n1700000250    \n", 0},
        {true, true, nullptr, false, 0, "1\n1700000250    \n", 0},
        {true, false, "tape gone", false, -1, "1\n1700000250    \n", 0x0E00003E},
        {true, false, "tape gone", true, 0, "3\n1700000250    \n", 0},
    };
    unsigned long ts = kTs;
    for (const Case& c : cases) {
        auto dir = openForWriting(*this, ++ts);
        ASSERT_TRUE(dir);
        dir->backupResult = c.backupFailure;
        platform::TestSink sink;
        EXPECT_EQ(c.suspend ? dir->suspend() : dir->close(c.canStillResume, c.keepWriting),
                  c.result)
            << ts;
        EXPECT_EQ(readFile(statePath(ts)), c.state) << ts;
        EXPECT_EQ(exists(dirPath(ts) + "/canStillResume"),
                  c.canStillResume && !c.suspend && (!c.backupFailure || c.keepWriting))
            << ts;
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        EXPECT_FALSE(dir->stateFile().isOpened());
        EXPECT_TRUE(writeLockableFromChild(ts)) << "no lock is left behind";
        EXPECT_EQ(eventArgs(sink, c.event),
                  c.event ? std::vector<std::string>{appText()} : std::vector<std::string>{});
        if (c.suspend) { // the path went with the first suspend
            EXPECT_EQ(dir->suspend(), -1);
            EXPECT_EQ(eventArgs(sink, 0x0E00003C), std::vector<std::string>{appText()});
        }
    }
}

TEST_F(CloseDiscardTest, DiscardEmptiesTheStateFileFirstAndRemovesTheDirectory) {
    auto dir = openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    mkdirs(dirPath(kTs) + "/sub/deeper");
    writeFile(dirPath(kTs) + "/sub/deeper/table.dat", "rows");
    const int fd = ::open(statePath(kTs).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(dir->discard(true), 0);
    EXPECT_EQ(sizeOf(fd), 0);
    ::close(fd);
    EXPECT_FALSE(exists(dirPath(kTs)));
    EXPECT_TRUE(exists(root + "/2/17")); // only the page cache loses its parent
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_FALSE(dir->alreadyLocked());
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
    const int fd = ::open(statePath(kTs).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(dir->discardForResume(), 0);
    EXPECT_EQ(sizeOf(fd), 0); // emptied before it went
    ::close(fd);
    for (const std::string& f : kept)
        EXPECT_EQ(readFile(d + "/" + f), "log") << f;
    for (const std::string& f : removed)
        EXPECT_FALSE(exists(d + "/" + f)) << f;
    EXPECT_FALSE(exists(d + "/State"));
    EXPECT_EQ(readFile(d + "/checkpoints/1/table.dat"), "copy");
    struct stat st;
    EXPECT_EQ(::lstat((d + "/linkToDir").c_str(), &st), 0); // a link to a directory stays
    EXPECT_NE(::lstat((d + "/dangling").c_str(), &st), 0);  // a dangling link goes
    EXPECT_EQ(::lstat((d + "/pipe").c_str(), &st), 0);      // only regular files go
    EXPECT_STREQ(dir->getCacheDir(), d.c_str());            // the path stays for the resume
    EXPECT_FALSE(dir->alreadyLocked());
}

} // namespace
