// Create, open and update against other processes: live and dead writers,
// a directory held exclusively while it is moved, readers that keep an
// index from being renamed, interrupted restores and a copy that cannot be
// cleared away.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "port/CXFile.h"
#include "port/CXLockedMarkerFile.h"

using namespace createopen;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kWriting = "3\n1700000000    \n";
constexpr uid_t kNobody = 65534;

// A State file in the given state, accessed at kNow.
std::string atimeStateText(int state) {
    return std::to_string(state) + "\n" + std::to_string(kNow) + "    \n";
}

// Another process that sets something up, says so through hold () and then
// keeps it until it is released or killed.
class Holder {
public:
    using Body = std::function<int(const std::function<void()>& hold)>;

    explicit Holder(const Body& body) {
        pid_ = testsupport::forkChild([&] {
            return body([this] {
                ready_.post();
                release_.wait(60000);
            });
        });
        ready = ready_.wait();
    }
    ~Holder() { finish(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // Lets the holder go; its exit code.
    int finish() {
        if (pid_ > 0) {
            release_.post();
            rc_ = testsupport::waitChild(pid_);
            pid_ = -1;
        }
        return rc_;
    }
    // Ends the holder without letting it clean up.
    int kill() {
        ::kill(pid_, SIGKILL);
        rc_ = testsupport::waitChild(pid_);
        pid_ = -1;
        return rc_;
    }

    bool ready = false;

private:
    testsupport::ProcessSignal ready_;
    testsupport::ProcessSignal release_;
    pid_t pid_ = -1;
    int rc_ = -1;
};

// A clock that runs an action once the given number of waits has been made.
class ActingClock : public platform::VirtualClock {
public:
    ActingClock(size_t after, std::function<void()> action)
        : platform::VirtualClock(kNow), after_(after), action_(std::move(action)) {}
    void sleepMs(unsigned long ms) override {
        platform::VirtualClock::sleepMs(ms);
        if (waits().size() == after_)
            action_();
    }

private:
    size_t after_;
    std::function<void()> action_;
};

unsigned long totalWait(const platform::VirtualClock& clock) {
    unsigned long sum = 0;
    for (unsigned long w : clock.waits())
        sum += w;
    return sum;
}

struct CreateOpenUpdateProcessTest : CacheDirFixture {
    std::map<std::string, std::string> previousIndex(unsigned long timeStamp) {
        makeDir(timeStamp, kClosed);
        writeFile(dirPath(timeStamp) + "/table", "rows");
        writeFile(dirPath(timeStamp) + "/index.dat", "0123456789");
        return snapshot(dirPath(timeStamp));
    }
    // A process that holds the directory's write lock, as one that removes
    // or moves it does.
    Holder exclusiveHolder(unsigned long timeStamp) {
        return Holder([this, timeStamp](const std::function<void()>& hold) {
            CacheDirProbe dir(timeStamp);
            dir.initialize("client1");
            if (dir.writeLock(0) != 1)
                return 2;
            hold();
            return 0;
        });
    }
};

TEST_F(CreateOpenUpdateProcessTest, OpenPassesOverALiveWriterAndDiscardsTheDirectoryOfADeadOne) {
    makeDir(100, kClosed);
    makeDir(200, kClosed);
    Holder writer([this](const std::function<void()>& hold) {
        CacheDirProbe dir(0);
        dir.initialize("client1");
        if (!dir.create(300))
            return 2;
        writeFile(dirPath(300) + "/table", "half written");
        hold();
        return 0;
    });
    ASSERT_TRUE(writer.ready);

    platform::VirtualClock clock(kNow);
    {
        auto dir = make(0);
        platform::TestSink sink;
        const char* path = dir->open(0, false);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), dirPath(200));
        EXPECT_EQ(readFile(statePath(200)), atimeStateText(2));
        EXPECT_EQ(readFile(statePath(300)).substr(0, 2), "3\n") << "the writer's index is left";
        EXPECT_TRUE(exists(dirPath(300) + "/table"));
        EXPECT_FALSE(sink.hasLine("discarding"));
        EXPECT_TRUE(clock.waits().empty()) << "open never waits for a writer";
        ASSERT_EQ(dir->close(false), 0);
    }

    EXPECT_EQ(writer.kill(), 128 + SIGKILL);
    auto dir = make(0);
    platform::TestSink sink;
    const char* path = dir->open(0, false);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), dirPath(200));
    EXPECT_TRUE(
        loggedLine(sink, "open: discarding directory " + dirPath(300) + " in writing state", 1));
    EXPECT_FALSE(exists(dirPath(300)));
    EXPECT_EQ(readFile(statePath(200)), atimeStateText(2));
    EXPECT_EQ(readFile(statePath(100)), kClosed);
}

TEST_F(CreateOpenUpdateProcessTest, MoreBusyDirectoriesThanLockSlotsArePassedOver) {
    makeDir(100, kClosed);
    const std::vector<unsigned long> busy = {200, 300, 400, 500, 600};
    for (unsigned long t : busy)
        makeDir(t, "3\n1699990000    \n");
    Holder writers([&](const std::function<void()>& hold) {
        std::vector<std::unique_ptr<CXFile>> files;
        for (unsigned long t : busy) {
            files.push_back(std::make_unique<CXFile>());
            if (files.back()->open(statePath(t).c_str(), sfOpenReadWrite, 0, 0) != 0 ||
                files.back()->lock(sfLockExclusive, 0) != 1)
                return 2;
        }
        hold();
        return 0;
    });
    ASSERT_TRUE(writers.ready);
    platform::VirtualClock clock(kNow);
    auto dir = make(0);
    const char* path = dir->open(0, false);
    ASSERT_NE(path, nullptr) << "each probe gives its lock slot back";
    EXPECT_EQ(std::string(path), dirPath(100));
    EXPECT_TRUE(clock.waits().empty());
    for (unsigned long t : busy)
        EXPECT_EQ(readFile(statePath(t)), "3\n1699990000    \n");
    dir->close(false);
}

TEST_F(CreateOpenUpdateProcessTest, AClosedDirectoryHeldExclusivelyIsProbedSixteenTimes) {
    makeDir(100, kClosed);
    makeDir(200, kClosed);
    {
        Holder mover = exclusiveHolder(200);
        ASSERT_TRUE(mover.ready);
        platform::VirtualClock clock(kNow);
        auto dir = make(0, 1, 42);
        platform::TestSink sink;
        EXPECT_EQ(dir->open(0, false), nullptr);
        EXPECT_EQ(clock.waits(), std::vector<unsigned long>(15, 1000));
        EXPECT_TRUE(loggedLine(
            sink, "open(): too many retries in open: errno=0 (realm/app 2/17, timestamp 200)", 1));
        EXPECT_TRUE(
            loggedLine(sink, "Cannot open index cache directory for [2:17] at time [now].", 1));
        EXPECT_EQ(readFile(statePath(200)), kClosed);
        EXPECT_EQ(readFile(statePath(100)), kClosed) << "an older index is not taken instead";
    }
    // Let go after the fifth wait: the sixth probe gets the directory.
    Holder mover = exclusiveHolder(200);
    ASSERT_TRUE(mover.ready);
    ActingClock clock(5, [&] { mover.finish(); });
    auto dir = make(0);
    const char* path = dir->open(0, false);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), dirPath(200));
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(5, 1000));
    EXPECT_EQ(readFile(statePath(200)), "2\n1700000005    \n");
    dir->close(false);
}

TEST_F(CreateOpenUpdateProcessTest, AnIndexBeingBrowsedIsCopiedAndOtherwiseRenamed) {
    const auto before = previousIndex(100);
    std::map<std::string, std::string> browsed;
    {
        Holder reader([this](const std::function<void()>& hold) {
            CacheDirProbe dir(0);
            dir.initialize("client1");
            if (!dir.open(100, true))
                return 2;
            hold();
            return dir.close(false) == 0 ? 0 : 3;
        });
        ASSERT_TRUE(reader.ready);
        browsed = snapshot(dirPath(100));
        ASSERT_EQ(browsed.at("State").substr(0, 2), "2\n");

        EXPECT_EQ(
            inFreshProcess(
                {{"sSPACESAVER", "y"}},
                [&] {
                    platform::VirtualClock clock(kNow);
                    platform::TestSink sink;
                    CacheDirProbe dir(0);
                    dir.initialize("client1");
                    const char* path = dir.update(false, 0, false);
                    CHILD_CHECK(path && std::string(path) == dirPath(kNow));
                    CHILD_CHECK(without(snapshot(path), "State") == without(before, "State"));
                    CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
                    CHILD_CHECK(loggedLine(
                        sink, "cache dir '" + dirPath(100) + "' is in use by another process", 3));
                    CHILD_CHECK(loggedLine(sink,
                                           "cache dir '" + dirPath(100) + "' is being copied to '" +
                                               dirPath(kNow) + "'",
                                           3));
                    CHILD_CHECK(!sink.hasLine("renaming"));
                    CHILD_CHECK(dir.close(false) == 0);
                    return 0;
                }),
            0);
        EXPECT_EQ(snapshot(dirPath(100)), browsed) << "the reader's index stays as it is";
        deleteDir(dirPath(kNow).c_str());

        // Restoring when blocked: a new directory gets the index from media.
        EXPECT_EQ(
            inFreshProcess(
                {{"sSPACESAVER", "y"}},
                [&] {
                    platform::VirtualClock clock(kNow);
                    RestoringDir dir(0);
                    dir.initialize("client1");
                    dir.restoredState = kClosed;
                    const char* path = dir.update(false, 0, true);
                    CHILD_CHECK(path && std::string(path) == dirPath(kNow));
                    CHILD_CHECK(dir.calls == (std::vector<std::pair<bool, bool>>{{true, true}}));
                    CHILD_CHECK(snapshot(path) ==
                                (std::map<std::string, std::string>{{"State", kWriting},
                                                                    {"restored", "from media"}}));
                    CHILD_CHECK(dir.alreadyLocked());
                    CHILD_CHECK(dir.close(false) == 0);
                    return 0;
                }),
            0);
        EXPECT_EQ(snapshot(dirPath(100)), browsed);
        deleteDir(dirPath(kNow).c_str());
        EXPECT_EQ(reader.finish(), 0);
    }

    // Nobody reads it any more: the previous directory becomes the new one.
    const auto closed = snapshot(dirPath(100));
    EXPECT_EQ(inFreshProcess({{"sSPACESAVER", "y"}},
                             [&] {
                                 platform::VirtualClock clock(kNow);
                                 platform::TestSink sink;
                                 CacheDirProbe dir(0);
                                 dir.initialize("client1");
                                 const char* path = dir.update(false, 0, false);
                                 CHILD_CHECK(path && std::string(path) == dirPath(kNow));
                                 CHILD_CHECK(without(snapshot(path), "State") ==
                                             without(closed, "State"));
                                 CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
                                 CHILD_CHECK(!exists(dirPath(100)));
                                 CHILD_CHECK(loggedLine(sink, "job 0 renaming '" + dirPath(100) +
                                                                  "' to '" + dirPath(kNow) + "'"));
                                 CHILD_CHECK(dir.alreadyLocked());
                                 CHILD_CHECK(!sink.hasLine("copying"));
                                 CHILD_CHECK(dir.close(false) == 0);
                                 return 0;
                             }),
              0);
    EXPECT_EQ(readFile(statePath(kNow)), "0\n1700000000    \n");
}

TEST_F(CreateOpenUpdateProcessTest, APreviousIndexHeldByAWriterIsCopiedOrRestoredAfterTheWait) {
    const auto before = previousIndex(100);
    Holder mover = exclusiveHolder(100);
    ASSERT_TRUE(mover.ready);
    EXPECT_EQ(
        inFreshProcess(
            {{"sSPACESAVER", "y"}},
            [&] {
                platform::VirtualClock clock(kNow);
                platform::TestSink sink;
                CacheDirProbe dir(0);
                dir.initialize("client1");
                const char* path = dir.update(false, 0, false);
                CHILD_CHECK(path && std::string(path) == dirPath(kNow));
                CHILD_CHECK(
                    loggedLine(sink, "could not obtain a read lock on '" + dirPath(100) + "'", 3));
                CHILD_CHECK(loggedLine(sink, "Continue with copying of '" + dirPath(100) + "'", 3));
                CHILD_CHECK(without(snapshot(path), "State") == without(before, "State"));
                // The rename's lock and the copy's lock each waited 60 s.
                CHILD_CHECK(totalWait(clock) == 120000);
                CHILD_CHECK(dir.close(false) == 0);
                return 0;
            }),
        0);
    EXPECT_EQ(snapshot(dirPath(100)), before);
    deleteDir(dirPath(kNow).c_str());

    EXPECT_EQ(inFreshProcess(
                  {{"sSPACESAVER", "y"}},
                  [&] {
                      platform::VirtualClock clock(kNow);
                      RestoringDir dir(0);
                      dir.initialize("client1");
                      dir.restoredState = kClosed;
                      const char* path = dir.update(false, 0, true);
                      CHILD_CHECK(path && std::string(path) == dirPath(kNow));
                      CHILD_CHECK(dir.calls == (std::vector<std::pair<bool, bool>>{{true, true}}));
                      CHILD_CHECK(snapshot(path).count("restored") == 1);
                      CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
                      CHILD_CHECK(totalWait(clock) == 60000);
                      CHILD_CHECK(dir.close(false) == 0);
                      return 0;
                  }),
              0);
    EXPECT_EQ(snapshot(dirPath(100)), before);
}

TEST_F(CreateOpenUpdateProcessTest, AnInterruptedRestoreIsRestoredAgainOnce) {
    const auto before = previousIndex(200);
    Holder restorer([this](const std::function<void()>& hold) {
        CXLockedMarkerFile marker(dirPath(200), 0);
        if (marker.openLocked("restoring") != 0)
            return 2;
        hold();
        return 0;
    });
    ASSERT_TRUE(restorer.ready);
    platform::VirtualClock clock(kNow);
    const std::string interrupted =
        "presence of marker file in '" + dirPath(200) + "' indicates an interrupted restore";
    const std::string again =
        "partially restored cache dir '" + dirPath(200) + "' - attempting to restore again";
    {
        RestoringDir dir(0);
        dir.initialize("client1");
        platform::TestSink sink;
        EXPECT_EQ(dir.open(200, true), nullptr);
        EXPECT_TRUE(loggedLine(sink, interrupted, 1));
        EXPECT_TRUE(loggedLine(sink, again, 1));
        EXPECT_TRUE(sink.hasLine("open(): restore exception"));
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
    }
    {
        RestoringDir dir(0);
        dir.initialize("client1");
        dir.restoredState = kClosed;
        const char* path = dir.open(200, true);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
        EXPECT_EQ(readFile(statePath(200)), atimeStateText(2));
        dir.close(false);
    }
    {
        RestoringDir dir(0);
        dir.initialize("client1");
        platform::TestSink sink;
        EXPECT_EQ(dir.update(false, 0, false), nullptr);
        EXPECT_TRUE(loggedLine(sink, interrupted, 1));
        EXPECT_TRUE(loggedLine(sink, again, 1));
        EXPECT_TRUE(loggedLine(sink, "update(): restore exception: errno=0", 1));
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{true, false}}));
        EXPECT_FALSE(exists(dirPath(kNow)));
    }
    EXPECT_EQ(snapshot(dirPath(200)).at("table"), before.at("table"));
}

TEST_F(CreateOpenUpdateProcessTest, AClientCacheUnderRestoreIsNotCached) {
    const std::string jr = home.sub("jr", true);
    platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
    const std::string path = jr + "/OX_JobResults/2/17/4242";
    mkdirs(path);
    writeFile(path + "/State", kClosed);
    Holder restorer([&](const std::function<void()>& hold) {
        CXLockedMarkerFile marker(path, 0);
        if (marker.openLocked("restoring") != 0)
            return 2;
        hold();
        return 0;
    });
    ASSERT_TRUE(restorer.ready);
    platform::VirtualClock clock(kNow);
    JobResultsCacheDir dir(kJobResultsAppType, 2, 17, 4242, BackupTypeFull, 4242, TCacheTypeTape,
                           false);
    dir.initialize("client1");
    platform::TestSink sink;
    EXPECT_EQ(dir.open(1, false), nullptr);
    EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: presence of marker file in '" + path +
                             "' indicates an interrupted restore"));
    EXPECT_TRUE(
        sink.hasLine("JOBRESCACHEDIR: Index is not cached in '" + path + "' during ::open ."));
    EXPECT_TRUE(sink.hasLine("JOBRESCACHEDIR: restore() NOT supported"));
    EXPECT_EQ(eventArgs(sink, 0x0E00004F),
              std::vector<std::string>{std::to_string((17ull << 32) + 4242)});
    EXPECT_EQ(readFile(path + "/State"), kClosed);
}

TEST_F(CreateOpenUpdateProcessTest, AHalfCopyThatCannotBeRemovedIsRetriedTwentyTimes) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can leave a file the updating user may not remove";
    const auto before = previousIndex(100);
    mkdirs(dirPath(100) + "/checkpoints"); // cannot be copied without descending
    writeFile(dirPath(100) + "/checkpoints/table", "older rows");
    // The directory the copy goes to exists already, sticky, holding a file
    // of another user.
    mkdirs(dirPath(kNow));
    writeFile(dirPath(kNow) + "/pinned", "root's");
    auto dir = make(0);
    namespace fs = std::filesystem;
    for (const auto& entry : fs::recursive_directory_iterator(home.path()))
        fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(home.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dirPath(kNow), fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(dirPath(kNow) + "/pinned", fs::perms::owner_read | fs::perms::others_read);

    EXPECT_EQ(testsupport::runInChild([&] {
                  if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                      return 90;
                  platform::VirtualClock clock(kNow);
                  platform::TestSink sink;
                  dir->copyUponUpdate(true);
                  // Named as the limit: the waiting directory is newer.
                  CHILD_CHECK(dir->update(false, 100, false) == nullptr);
                  CHILD_CHECK(clock.waits() == std::vector<unsigned long>(19, 1000));
                  int attempts = 0;
                  for (const auto& l : sink.lines())
                      attempts += l.text == "TESTICD: cannot remove files in directory '" +
                                                dirPath(kNow) + "' (code " + std::to_string(EPERM) +
                                                ")";
                  CHILD_CHECK(attempts == 20);
                  CHILD_CHECK(loggedLine(
                      sink, "update(): failure removing files from directory: errno=21", 1));
                  return 0;
              }),
              0);
    EXPECT_TRUE(exists(dirPath(kNow) + "/pinned"));
    EXPECT_EQ(without(snapshot(dirPath(100)), "checkpoints/table"), before);
}

} // namespace
