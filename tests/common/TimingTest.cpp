#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/SAverageTime.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

// A copy would merge the same sample into the total twice.
static_assert(!std::is_copy_constructible<SAverageTimeHelper>::value, "helper is not copyable");

namespace {

struct TimingTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;
    platform::VirtualClock clock;
    EvEvent ev;

    void sample(SAverageTimeNotThreadSafe& c, unsigned long ms) {
        c.Start();
        clock.sleepMs(ms);
        c.Stop();
    }
};

TEST_F(TimingTest, SummaryLines) {
    SAverageTimeNotThreadSafe c("xfer", false, 100, 77, 2);
    sample(c, 1000);
    sample(c, 500);
    c.addBytes(3 << 20);
    c.print_if_time_to_print(&ev, true, 0);
    c.print_if_time_to_print(&ev, false, 5); // within the delay
    c.print_if_time_to_print(nullptr, true, 5);
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_EQ(sink.lines()[0].level, 2);
    EXPECT_EQ(sink.lines()[0].text,
              "ID = xfer: Job Id = 77,Samples = 2,Time = 1.500000 Sec(s),MaxTime = 1.000000 "
              "Sec(s),Average = 0.750000 Sec/Sample, Average Speed=2.000000 MB/Sec");
    clock.advance(101);
    c.Reset();
    sample(c, 250);
    c.print_if_time_to_print(&ev, false, 5);
    ASSERT_EQ(sink.lines().size(), 2u);
    EXPECT_EQ(sink.lines()[1].text, "ID = xfer: Job Id = 5,Samples = 1,Time = 0.250000 "
                                    "Sec(s),MaxTime = 0.250000 Sec(s),Average = 0.250000 "
                                    "Sec/Sample");

    // No samples: nothing printed, even forced, but the print time moves.
    SAverageTimeNotThreadSafe empty("e", true, 100, 0, 1);
    clock.advance(50);
    empty.print_if_time_to_print(&ev, true, 0);
    EXPECT_EQ(empty.getLastPrintTime(), clock.now());
    EXPECT_EQ(sink.lines().size(), 2u);

    // Reset after print; a wall clock set back inside a sample never makes it negative.
    sample(empty, 10);
    empty.print_if_time_to_print(&ev, true, 0);
    EXPECT_EQ(empty.getSamples(), 0u);
    empty.Start();
    clock.set(clock.now() - 3600);
    clock.sleepMs(20);
    empty.Stop();
    EXPECT_DOUBLE_EQ(empty.getTotalTime(), 0.02);
}

TEST_F(TimingTest, DefaultPrintDelay) {
    struct Case {
        const char* focus;
        const char* key;
        int delay; // the counter's own
        int expected;
    } cases[] = {{"Instance001", nullptr, 0, 1800},
                 {"Instance001", "30", 0, 60},
                 {"Instance001", "120", -5, 120},
                 {"", "120", 0, 1800},
                 {"Instance001", "120", 7, 7}};
    for (const Case& c : cases) {
        // The default is computed once per process: each case in a process of its own.
        int rc = testsupport::runInChild([&] {
            platform::KeyStore::set(platform::kPlatformSection, "Focus", c.focus);
            if (c.key)
                platform::KeyStore::set("~Depot", "nTRANLOGCATALOGSERVERPERFPERIOD", c.key);
            SAverageTimeNotThreadSafe counter("d", false, c.delay, 0, 1);
            counter.print_if_time_to_print(&ev, false, 0);
            return counter.getPrintDelay() == c.expected ? 0 : 1;
        });
        EXPECT_EQ(rc, 0) << c.focus << " " << (c.key ? c.key : "-") << " " << c.delay;
    }
}

// Helpers and direct merges from several threads: nothing is lost, and the
// total keeps the longest sample. Run under TSan as well.
TEST_F(TimingTest, ThreadsMergeIntoOneTotal) {
    SAverageTime total("total", false, 3600, 0, 1);
    std::vector<SAverageTimeNotThreadSafe> others(4);
    for (size_t i = 0; i < others.size(); ++i)
        sample(others[i], 100 * (i + 1));
    const int rounds = 2000;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < others.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                SAverageTimeHelper helper(total, &ev);
                helper.addBytes(3);
                total.addBytes(1);
                if (i % 100 == 0)
                    total += others[t];
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    SAverageTimeNotThreadSafe s = total.snapshot();
    const uint64_t merges = rounds / 100;
    EXPECT_EQ(s.getSamples(), 4 * (rounds + merges));
    EXPECT_EQ(s.getBytes(), 4u * rounds * 4);
    EXPECT_DOUBLE_EQ(s.getMaxTime(), 0.4);
    EXPECT_NEAR(s.getTotalTime(), merges * (0.1 + 0.2 + 0.3 + 0.4), 1e-9);
}

} // namespace
