#include <gtest/gtest.h>

#include "platform/Env.h"

namespace {

TEST(VirtualClockTest, SleepsAdvanceTimeInstantlyAndAreRecordedInOrder) {
    time_t before = platform::now();
    {
        platform::VirtualClock clock(1000);
        EXPECT_EQ(platform::now(), 1000);
        QISLEEP_InTeRnAl(1500);
        platform::sleepMs(500);
        EXPECT_EQ(platform::now(), 1002);
        clock.advance(10);
        EXPECT_EQ(platform::now(), 1012);
        EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1500, 500}));
        {
            platform::VirtualClock inner(5);
            platform::sleepMs(2000);
            EXPECT_EQ(inner.waitSeconds(), (std::vector<unsigned long>{2}));
            EXPECT_TRUE(clock.waits().size() == 2) << "the outer clock saw the inner sleep";
        }
        EXPECT_EQ(platform::now(), 1012) << "the outer clock is back in force";
    }
    EXPECT_GE(platform::now(), before) << "the real clock is back in force";
}

} // namespace
