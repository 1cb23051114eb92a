// The State file: its two lines, and what a reader makes of a broken one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

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
    ASSERT_EQ(dir->mkCacheDir(), 0);
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
        EXPECT_EQ(dir->setState(c.state), 0) << c.before;
        EXPECT_EQ(readFile(statePath(ts)), c.after) << c.before;
        EXPECT_FALSE(dir->alreadyLocked()) << "the lock setState took is released";
        EXPECT_EQ(dir->getState(false), c.state);
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
            EXPECT_EQ(eventArgs(sink, 0x0E000031),
                      raise ? std::vector<std::string>{dirPath(ts)} : std::vector<std::string>{});
        }
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
        EXPECT_EQ(dir->getAtime(), 0u) << c.message;
        EXPECT_EQ(clock.waits(), std::vector<unsigned long>(9, 1000)) << c.message;
        EXPECT_EQ(dir->getErrno(), 2);

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

} // namespace
