#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using namespace createopen;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned int kClockEvent = 0x0E000053;
constexpr unsigned int kCreateEvent = 0x0E000039;
constexpr unsigned int kClientCreateEvent = 0x0E00003A;
constexpr unsigned int kClientOpenEvent = 0x0E00004F;

std::string atimeState(int state, unsigned long atime) {
    return std::to_string(state) + "\n" + std::to_string(atime) + "    \n";
}

std::string dateText(unsigned int t) {
    TDebuggable log;
    return log.dateToString(t);
}

const platform::CapturedEvent* findEvent(const platform::TestSink& sink, unsigned int number,
                                         std::vector<platform::CapturedEvent>& store) {
    store = sink.events();
    for (const auto& e : store)
        if (e.number == number)
            return &e;
    return nullptr;
}

struct CreateOpenUpdateTest : CacheDirFixture {
    // Whether another object of this process can take the directory's write
    // lock at once (the locks are per open file, so it competes like a process).
    bool freeForWriting(unsigned long timeStamp) {
        auto probe = make(timeStamp);
        bool free = probe->writeLock(0) == 1;
        probe->unLock();
        return free;
    }
};

// ---------------------------------------------------------------- create

TEST_F(CreateOpenUpdateTest, CreateNamesTheDirectoryAfterNowOrTheGivenTimeAndKeepsItWriteLocked) {
    platform::VirtualClock clock(kNow);
    makeDir(kNow - 500, kClosed);
    struct Case {
        time_t now;
        unsigned long constructed; // time stamp given at construction (sets a path)
        unsigned long argument;
        unsigned long expected;
    };
    const Case cases[] = {
        {kNow, 0, 0, kNow},
        {kNow + 1, kNow - 7, 0, kNow + 1}, // the constructed path is dropped
        {kNow + 2, 0, kNow - 100, kNow - 100},
    };
    for (const Case& c : cases) {
        clock.set(c.now);
        auto dir = make(c.constructed);
        platform::TestSink sink;
        const char* path = dir->create(c.argument);
        ASSERT_NE(path, nullptr) << c.argument;
        EXPECT_EQ(std::string(path), dirPath(c.expected));
        EXPECT_EQ(dir->getTimeStamp(), c.expected);
        EXPECT_EQ(readFile(statePath(c.expected)), atimeState(3, clock.now()))
            << "writing, accessed now";
        EXPECT_TRUE(dir->alreadyLocked());
        EXPECT_FALSE(freeForWriting(c.expected)) << "the write lock is held";
        EXPECT_TRUE(sink.events().empty());
        if (c.constructed) {
            EXPECT_FALSE(exists(dirPath(c.constructed)));
        }
        EXPECT_EQ(dir->close(false), 0);
    }
}

TEST_F(CreateOpenUpdateTest, CreateAndUpdateRefuseAClockThatHasGoneBackwards) {
    for (long newestOffset : {0L, 60L}) {
        platform::VirtualClock clock(kNow);
        makeDir(kNow + newestOffset, kClosed);
        auto dir = make(0);
        platform::TestSink sink;
        EXPECT_EQ(dir->create(0), nullptr);
        EXPECT_EQ(dir->getErrno(), -1);
        EXPECT_EQ(dir->getPendingReasonMessageId(), static_cast<int>(kClockEvent));
        std::vector<platform::CapturedEvent> store;
        const platform::CapturedEvent* critical = findEvent(sink, kClockEvent, store);
        ASSERT_NE(critical, nullptr);
        EXPECT_EQ(critical->severity, "CRITICAL");
        EXPECT_TRUE(critical->args.empty());
        EXPECT_EQ(sink.countEvents(kClockEvent), 1);
        EXPECT_EQ(eventArgs(sink, kCreateEvent), (std::vector<std::string>{"2:17", "now"}));
        EXPECT_TRUE(loggedLine(sink, "create(int): server clock has gone backwards: errno=-1", 1));
        EXPECT_FALSE(exists(dirPath(kNow + newestOffset + 1)));

        // An explicit time stamp is not compared with the newest directory.
        sink.clear();
        const char* path = dir->create(kNow - 30);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), dirPath(kNow - 30));
        EXPECT_EQ(sink.countEvents(kClockEvent), 0);
        dir->close(false);

        auto updater = make(0);
        sink.clear();
        EXPECT_EQ(updater->update(false, 0, false), nullptr);
        EXPECT_EQ(updater->getErrno(), -1);
        EXPECT_EQ(updater->getPendingReasonMessageId(), static_cast<int>(kClockEvent));
        EXPECT_EQ(sink.countEvents(kClockEvent), 1);
        EXPECT_TRUE(loggedLine(sink, "MSG: Cannot update cache directory for [2:17].", 3));
        EXPECT_TRUE(loggedLine(sink, "update(): server clock has gone backwards: errno=-1", 1));
        EXPECT_EQ(readFile(statePath(kNow + newestOffset)), kClosed) << "the newest is untouched";
        deleteDir(root.c_str());
    }
}

TEST_F(CreateOpenUpdateTest, CreateFailuresRaiseTheEventWithApplicationAndDate) {
    {
        platform::VirtualClock clock(0);
        auto dir = make(0);
        platform::TestSink sink;
        EXPECT_EQ(dir->create(kNow), nullptr);
        EXPECT_EQ(dir->getErrno(), -8);
        EXPECT_TRUE(loggedLine(sink, "create(int): getCurrentTime failed: errno=-8", 1));
        EXPECT_EQ(eventArgs(sink, kCreateEvent),
                  (std::vector<std::string>{"2:17", dateText(kNow)}));
    }
    platform::VirtualClock clock(kNow);
    auto dir = make(0);
    ASSERT_NE(dir->create(0), nullptr);
    platform::TestSink sink;
    EXPECT_EQ(dir->create(0), nullptr) << "the State file is still open";
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "create(int): object already opened: errno=-6", 1));
    EXPECT_EQ(sink.countEvents(kCreateEvent), 1);

    // Without initialisation nothing is tried and nothing is said.
    CacheDirProbe idle(0);
    sink.clear();
    EXPECT_EQ(idle.create(0), nullptr);
    EXPECT_EQ(idle.open(0, false), nullptr);
    EXPECT_EQ(idle.update(false, 0, false), nullptr);
    EXPECT_TRUE(sink.lines().empty());
    EXPECT_TRUE(sink.events().empty());
}

// ------------------------------------------------------------------ open

TEST_F(CreateOpenUpdateTest, OpenTakesTheNewestDirectoryUpToTheLimitOrExactlyTheOneNamed) {
    platform::VirtualClock clock(kNow);
    for (unsigned long t : {100ul, 200ul, 300ul})
        makeDir(t, kClosed);
    makeDir(400, "2\n1699990000    \n"); // already being read: shared
    struct Case {
        unsigned long timeStamp;
        bool exact;
        unsigned long expected;
    };
    const Case cases[] = {
        {250, false, 200}, {0, false, 400},  {150, false, 100},
        {300, true, 300},  {200, true, 200}, {99999, false, 400},
    };
    for (const Case& c : cases) {
        auto dir = make(0);
        platform::TestSink sink;
        const char* path = dir->open(c.timeStamp, c.exact);
        ASSERT_NE(path, nullptr) << c.timeStamp;
        EXPECT_EQ(std::string(path), dirPath(c.expected));
        EXPECT_EQ(dir->getTimeStamp(), c.expected);
        EXPECT_EQ(readFile(statePath(c.expected)), atimeState(2, kNow));
        EXPECT_TRUE(dir->alreadyLocked());
        EXPECT_FALSE(freeForWriting(c.expected)) << "readers keep writers out";
        EXPECT_TRUE(loggedLine(sink, "opened index cache [" + dirPath(c.expected) + "]"));
        EXPECT_EQ(dir->close(false), 0);
        EXPECT_EQ(readFile(statePath(c.expected)), atimeState(0, kNow));
    }
}

TEST_F(CreateOpenUpdateTest, OpenOfAnExactTimeStampThatIsNotCachedFallsBackOnRestore) {
    platform::VirtualClock clock(kNow);
    makeDir(200, kClosed);
    const std::string missing = dirPath(250);
    {
        auto dir = make(0);
        platform::TestSink sink;
        EXPECT_EQ(dir->open(250, true), nullptr) << "200 is not looked at";
        EXPECT_TRUE(loggedLine(sink,
                               "index '" + missing +
                                   "' is not in the cache - attempt to get it from Index Cache "
                                   "Server or remote DP.",
                               3));
        EXPECT_TRUE(loggedLine(sink,
                               "download of index '" + missing +
                                   "' failed. Failover to restore from media if possible.",
                               3))
            << "no index server has it";
        EXPECT_TRUE(sink.hasLine("TESTICD: open(): restore exception: errno="));
        EXPECT_TRUE(sink.hasLine("(realm/app 2/17, timestamp 250)"));
        EXPECT_FALSE(exists(missing));
        EXPECT_EQ(readFile(statePath(200)), kClosed);
    }
    {
        // A restore that brings the index back: it is opened like any other.
        RestoringDir dir(0);
        dir.initialize("client1");
        dir.restoredState = kClosed;
        const char* path = dir.open(250, true);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), missing);
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
        EXPECT_EQ(readFile(statePath(250)), atimeState(2, kNow));
        dir.close(false);
    }
    {
        // Restored without a State file: one restore per call, then it fails.
        deleteDir(missing.c_str());
        RestoringDir dir(0);
        dir.initialize("client1");
        dir.restoredState = "";
        platform::TestSink sink;
        EXPECT_EQ(dir.open(250, true), nullptr);
        EXPECT_EQ(dir.calls.size(), 1u);
        EXPECT_TRUE(loggedLine(sink, "cannot get state in state file '" + statePath(250) + "'", 1));
        EXPECT_TRUE(loggedLine(
            sink, "open(): open state file error: errno=0 (realm/app 2/17, timestamp 250)", 1));
    }
}

TEST_F(CreateOpenUpdateTest, OpenRestoresADirectoryWhoseStateFileIsMissing) {
    platform::VirtualClock clock(kNow);
    {
        mkdirs(dirPath(300));
        writeFile(dirPath(300) + "/table", "rows");
        {
            auto dir = make(0);
            platform::TestSink sink;
            EXPECT_EQ(dir->open(0, false), nullptr);
            EXPECT_TRUE(loggedLine(sink,
                                   "missing state file '" + statePath(300) +
                                       "' during open - attempting to restore",
                                   1));
            EXPECT_TRUE(sink.hasLine("TESTICD: open(): restore exception: errno="));
            EXPECT_TRUE(sink.hasLine("(realm/app 2/17, timestamp 300)"));
            EXPECT_FALSE(dir->stateFile().isOpened());
        }
        RestoringDir dir(0);
        dir.initialize("client1");
        dir.restoredState = kClosed;
        ASSERT_NE(dir.open(0, false), nullptr);
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
        EXPECT_EQ(readFile(statePath(300)), atimeState(2, kNow));
        dir.close(false);
    }
}

TEST_F(CreateOpenUpdateTest, OpenPassesOverSuspendedAndAbandonedDirectories) {
    platform::VirtualClock clock(kNow);
    makeDir(100, kClosed);
    makeDir(200, "1\n1699990000    \n");
    makeDir(300, "3\n1699990000    \n"); // its writer is gone: nobody holds the lock
    writeFile(dirPath(300) + "/table", "half written");
    auto dir = make(0);
    platform::TestSink sink;
    const char* path = dir->open(0, false);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), dirPath(100));
    EXPECT_TRUE(
        loggedLine(sink, "open: discarding directory " + dirPath(300) + " in writing state", 1));
    EXPECT_FALSE(exists(dirPath(300)));
    EXPECT_EQ(readFile(statePath(200)), "1\n1699990000    \n") << "a suspended index stays";
    EXPECT_EQ(readFile(statePath(100)), atimeState(2, kNow));
    EXPECT_TRUE(clock.waits().empty());
    dir->close(false);
}

TEST_F(CreateOpenUpdateTest, OpenWithNothingUsableLeftReportsPreviousBackupNotFound) {
    platform::VirtualClock clock(kNow);
    struct Case {
        std::vector<unsigned long> suspended;
        long long jobId;
    };
    // A directory named 1 that is passed over must end the search, not
    // restart it from the newest (a limit of 0 means none).
    const Case cases[] = {{{}, 0}, {{100, 200}, 0}, {{1, 5}, 0}, {{100}, 77}};
    for (const Case& c : cases) {
        deleteDir(root.c_str());
        for (unsigned long t : c.suspended)
            makeDir(t, "1\n1699990000    \n");
        auto dir = make(0, 1, c.jobId);
        platform::TestSink sink;
        EXPECT_EQ(dir->open(0, false), nullptr);
        EXPECT_EQ(dir->getErrno(), -2);
        EXPECT_TRUE(loggedLine(sink, "OPEN not found", 3));
        EXPECT_TRUE(loggedLine(
            sink, "open(): previous backup not found: errno=-2 (realm/app 2/17, timestamp 0)", 1));
        EXPECT_EQ(
            loggedLine(sink, "Cannot open index cache directory for [2:17] at time [now].", 1),
            c.jobId != 0);
        EXPECT_TRUE(sink.events().empty()) << "only a client cache raises an event";
        for (unsigned long t : c.suspended)
            EXPECT_EQ(readFile(statePath(t)), "1\n1699990000    \n");
    }
}

TEST_F(CreateOpenUpdateTest, OpenRefusesAnOpenedObjectAndAnUnreadableState) {
    platform::VirtualClock clock(kNow);
    makeDir(100, "x\n1699990000    \n");
    makeDir(200, kClosed);
    auto dir = make(0);
    platform::TestSink sink;
    EXPECT_EQ(dir->open(100, true), nullptr);
    EXPECT_EQ(dir->getErrno(), -4);
    EXPECT_TRUE(
        loggedLine(sink, "open(): getState() failed: errno=-4 (realm/app 2/17, timestamp 100)", 1));

    auto other = make(0);
    ASSERT_NE(other->open(0, false), nullptr);
    sink.clear();
    EXPECT_EQ(other->open(0, false), nullptr);
    EXPECT_EQ(other->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink,
                           "open(): object already opened: errno=-6 (realm/app 2/17, "
                           "timestamp 0)",
                           1));
    auto constructed = make(200);
    EXPECT_EQ(constructed->open(200, true), nullptr) << "a path given at construction counts";
    EXPECT_EQ(constructed->getErrno(), -6);
    other->close(false);
}

// ---------------------------------------------------------- client cache

struct ClientCacheTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string jr = home.sub("jr", true);
    std::string path = jr + "/OX_JobResults/2/17/4242";
    std::string state = path + "/State";
    // Application 17 and the directory's time stamp 4242, as one 64-bit value.
    std::string eventValue = std::to_string((17ull << 32) + 4242);

    void SetUp() override {
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
        platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
        platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
        platform::KeyStore::set(platform::kPlatformSection, "DebugLevel", "3");
    }
    std::unique_ptr<JobResultsCacheDir> make() {
        auto dir = std::make_unique<JobResultsCacheDir>(
            kJobResultsAppType, 2, 17, 4242, BackupTypeFull, 4242, TCacheTypeTape, false);
        dir->initialize("client1");
        return dir;
    }
    static bool logged(const platform::TestSink& sink, const std::string& text, int level) {
        return testsupport::hasExactLine(sink, "JOBRESCACHEDIR: " + text, level);
    }
};

TEST_F(ClientCacheTest, TheGivenDirectoryIsCreatedThenOpenedForWritingOrReading) {
    platform::VirtualClock clock(kNow);
    auto dir = make();
    ASSERT_TRUE(dir->isJobResults());
    const char* made = dir->create(0);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::string(made), path) << "its path is given, whatever the time";
    EXPECT_EQ(readFile(state), atimeState(3, kNow));
    ASSERT_EQ(dir->close(false), 0);

    struct Case {
        unsigned long timeStamp;
        int state;
    };
    for (const Case& c : {Case{0, 3}, Case{1, 2}}) {
        clock.advance(10);
        auto opener = make();
        platform::TestSink sink;
        const char* opened = opener->open(c.timeStamp, false);
        ASSERT_NE(opened, nullptr) << c.timeStamp;
        EXPECT_EQ(std::string(opened), path);
        EXPECT_EQ(opener->getTimeStamp(), 4242u) << "the time stamp of the given path stays";
        EXPECT_EQ(readFile(state), atimeState(c.state, clock.now()));
        EXPECT_TRUE(opener->alreadyLocked());
        EXPECT_TRUE(logged(sink, "opened index cache [" + path + "]", 2));
        ASSERT_EQ(opener->close(false), 0);
    }
}

TEST_F(ClientCacheTest, BusySuspendedMissingAndOpenedClientCaches) {
    platform::VirtualClock clock(kNow);
    {
        auto dir = make();
        platform::TestSink sink;
        EXPECT_EQ(dir->open(0, false), nullptr);
        EXPECT_EQ(dir->getErrno(), -2);
        EXPECT_TRUE(logged(sink, "client cache " + path + " does not exist", 1));
        EXPECT_TRUE(sink.events().empty());
        EXPECT_FALSE(exists(path));
    }
    CacheDirFixture::mkdirs(path);
    for (bool exclusive : {true, false}) {
        writeFile(state, "3\n1699990000    \n");
        auto dir = make();
        if (!exclusive)
            dir->disableExclusiveLock();
        platform::TestSink sink;
        ASSERT_NE(dir->open(0, false), nullptr);
        EXPECT_TRUE(logged(sink,
                           "attempting to open busy client cache " + path + " for " +
                               (exclusive ? "writing" : "reading"),
                           1));
        EXPECT_EQ(readFile(state), atimeState(3, kNow)) << "state kept, access time written";
        EXPECT_TRUE(dir->getKeepState());
        EXPECT_FALSE(dir->alreadyLocked()) << "no lock is taken on a busy client cache";
    }
    {
        writeFile(state, "1\n1699990000    \n");
        auto dir = make();
        platform::TestSink sink;
        EXPECT_EQ(dir->open(1, false), nullptr);
        EXPECT_EQ(dir->getErrno(), -3);
        EXPECT_TRUE(logged(sink, "attempting to open suspended client cache " + path, 1));
        EXPECT_EQ(readFile(state), "1\n1699990000    \n");
    }
    writeFile(state, kClosed);
    auto dir = make();
    ASSERT_NE(dir->open(1, false), nullptr);
    platform::TestSink sink;
    EXPECT_EQ(dir->open(1, false), nullptr);
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_EQ(eventArgs(sink, kClientOpenEvent), std::vector<std::string>{eventValue});
    EXPECT_TRUE(
        logged(sink, "open(): object already opened: errno=-6 (realm/app 2/17, timestamp 1)", 1));
    sink.clear();
    EXPECT_EQ(dir->create(0), nullptr);
    EXPECT_EQ(eventArgs(sink, kClientCreateEvent), std::vector<std::string>{eventValue});
    EXPECT_TRUE(logged(sink, "create(int): object already opened: errno=-6", 1));

    // A discarded client cache has no path left to create.
    ASSERT_EQ(dir->discard(false), 0);
    sink.clear();
    EXPECT_EQ(dir->create(0), nullptr);
    EXPECT_TRUE(logged(sink, "no cacheDir for client cache create", 1));
    EXPECT_EQ(dir->open(0, false), nullptr);
    EXPECT_TRUE(logged(sink, "no cacheDir for client cache open", 1));
    EXPECT_TRUE(sink.events().empty());
}

// ---------------------------------------------------------------- update

TEST_F(CreateOpenUpdateTest, UpdateWithoutAPreviousIndex) {
    platform::VirtualClock clock(kNow);
    for (bool full : {true, false}) {
        auto dir = make(0);
        platform::TestSink sink;
        EXPECT_EQ(dir->update(full, 0, false), nullptr);
        EXPECT_EQ(dir->getErrno(), -2);
        EXPECT_TRUE(dir->noIndexFiles());
        EXPECT_EQ(loggedLine(sink, "update(): index not found during (first?) full backup", 1),
                  full);
        EXPECT_EQ(loggedLine(sink, "update(): previous backup not found: errno=-2", 1), !full);
        EXPECT_EQ(loggedLine(sink, "MSG: Cannot update cache directory for [2:17].", 3), !full);
    }
    // A previous time stamp is an upper limit: nothing at or below it.
    makeDir(500, kClosed);
    auto dir = make(0);
    EXPECT_EQ(dir->update(false, 400, false), nullptr);
    EXPECT_EQ(dir->getErrno(), -2);
    EXPECT_EQ(readFile(statePath(500)), kClosed);
}

TEST_F(CreateOpenUpdateTest, UpdateRefusesAPreviousIndexInTheWrongState) {
    platform::VirtualClock clock(kNow);
    struct Case {
        const char* state; // null: no State file
        const char* message;
        int code;
    };
    const Case cases[] = {
        {"3\n1699990000    \n", "previous index: state error(busy writing)", -4},
        {"1\n1699990000    \n", "previous index: state error(suspended)", -4},
        {"x\n1699990000    \n", "prevIdxCacheDir->getState() failed", -4},
        {nullptr, "restore exception", 2},
    };
    for (const Case& c : cases) {
        deleteDir(root.c_str());
        mkdirs(dirPath(100));
        writeFile(dirPath(100) + "/table", "rows");
        if (c.state)
            writeFile(statePath(100), c.state);
        auto dir = make(0);
        platform::TestSink sink;
        // Named as the previous index: a newest directory in a wrong state
        // is otherwise removed as a failed one before the update looks at it.
        EXPECT_EQ(dir->update(false, 100, false), nullptr) << c.message;
        EXPECT_EQ(dir->getErrno(), c.code) << c.message;
        EXPECT_TRUE(loggedLine(
            sink, std::string("update(): ") + c.message + ": errno=" + std::to_string(c.code), 1))
            << c.message;
        EXPECT_FALSE(dir->stateFile().isOpened()) << c.message;
        EXPECT_FALSE(exists(dirPath(kNow))) << c.message;
        EXPECT_EQ(snapshot(dirPath(100)).count("table"), 1u) << "the previous index stays";
        if (!c.state) {
            EXPECT_TRUE(
                loggedLine(sink, "cannot open state file '" + statePath(100) + "' (code 2)", 1));
            EXPECT_TRUE(loggedLine(sink,
                                   "missing state file '" + statePath(100) +
                                       "' during update - attempting to restore",
                                   1));
        }
    }
}

TEST_F(CreateOpenUpdateTest, AFailedCopyLeavesNoNewDirectoryAndTheObjectWithoutAPath) {
    platform::VirtualClock clock(kNow);
    makeDir(100, kClosed);
    writeFile(dirPath(100) + "/table", "rows");
    // A plain index is copied without descending: a subdirectory cannot be copied.
    mkdirs(dirPath(100) + "/checkpoints");
    writeFile(dirPath(100) + "/checkpoints/table", "older rows");
    const auto before = snapshot(dirPath(100));

    auto dir = make(0);
    dir->copyUponUpdate(true);
    platform::TestSink sink;
    EXPECT_EQ(dir->update(false, 0, false), nullptr);
    EXPECT_EQ(dir->getErrno(), EISDIR);
    EXPECT_TRUE(loggedLine(
        sink, "cannot copy files from '" + dirPath(100) + "' to '" + dirPath(kNow) + "' (code 21)",
        1));
    EXPECT_TRUE(
        loggedLine(sink, "update(): could not copy files to new cache directory: errno=21", 1));
    EXPECT_FALSE(exists(dirPath(kNow)));
    EXPECT_EQ(dir->getCacheDir(), nullptr);
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_EQ(snapshot(dirPath(100)), before);
    EXPECT_TRUE(freeForWriting(100)) << "the previous index's read lock is given back";
    EXPECT_TRUE(clock.waits().empty());

    // A component-based index is copied with its subdirectories.
    createopen::RestoringDir components(0);
    components.initialize("client1");
    components.copyUponUpdate(true);
    components.componentBased = true;
    const char* path = components.update(false, 0, false);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(without(snapshot(path), "State"), without(before, "State"));
    EXPECT_EQ(readFile(statePath(kNow)), atimeState(3, kNow));
}

TEST_F(CreateOpenUpdateTest, UpdateOfAnOpenedObjectIsRefused) {
    platform::VirtualClock clock(kNow);
    makeDir(100, kClosed);
    auto dir = make(0);
    ASSERT_NE(dir->open(0, false), nullptr);
    platform::TestSink sink;
    EXPECT_EQ(dir->update(false, 0, false), nullptr);
    EXPECT_EQ(dir->getErrno(), -6);
    EXPECT_TRUE(loggedLine(sink, "update(): object already opened: errno=-6", 1));
    dir->close(false);
    auto constructed = make(100);
    EXPECT_EQ(constructed->update(false, 0, false), nullptr);
    EXPECT_EQ(constructed->getErrno(), -6);
}

} // namespace
