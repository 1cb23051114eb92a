// Create, open and update within one process: names, states, locks and refusals.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using namespace createopen;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string atimeState(int state, unsigned long atime) {
    return std::to_string(state) + "\n" + std::to_string(atime) + "    \n";
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
        const char* path = dir->open(c.timeStamp, c.exact);
        ASSERT_NE(path, nullptr) << c.timeStamp;
        EXPECT_EQ(std::string(path), dirPath(c.expected));
        EXPECT_EQ(dir->getTimeStamp(), c.expected);
        EXPECT_EQ(readFile(statePath(c.expected)), atimeState(2, kNow));
        EXPECT_TRUE(dir->alreadyLocked());
        EXPECT_FALSE(freeForWriting(c.expected)) << "readers keep writers out";
        EXPECT_EQ(dir->close(false), 0);
        EXPECT_EQ(readFile(statePath(c.expected)), atimeState(0, kNow));
    }
}

// ---------------------------------------------------------------- update

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
        EXPECT_EQ(dir->update(false, 100, false), nullptr) << c.message;
        EXPECT_EQ(dir->getErrno(), c.code) << c.message;
        EXPECT_FALSE(dir->stateFile().isOpened()) << c.message;
        EXPECT_FALSE(exists(dirPath(kNow))) << c.message;
        EXPECT_EQ(snapshot(dirPath(100)).count("table"), 1u) << "the previous index stays";
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
    EXPECT_EQ(dir->update(false, 0, false), nullptr);
    EXPECT_EQ(dir->getErrno(), EISDIR);
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

} // namespace
