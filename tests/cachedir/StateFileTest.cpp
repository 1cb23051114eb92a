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
        if (std::string(c.before).size() > 3) { // the access time line, without a lock held
            ASSERT_EQ(dir->stateFilePutAtime("1700000999    "), 0);
            EXPECT_EQ(readFile(statePath(ts)).substr(0, 18).find("1700000999"),
                      std::string(c.after).find('\n') + 1);
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
            EXPECT_EQ(eventArgs(sink, 0x0E000031),
                      raise ? std::vector<std::string>{dirPath(ts)} : std::vector<std::string>{});
        }
    }
}

} // namespace
