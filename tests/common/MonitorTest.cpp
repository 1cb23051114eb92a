#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "common/TMonitorJob.h"
#include "platform/COxNetworkServer.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXJobClient.h"
#include "platform/OXJobCtrlClient.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

struct MonitorTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;
    platform::VirtualClock clock;
    COxNetworkServer server;
    OXJobCtrlClient control{42};
    std::atomic<char> interrupt{0};
    TMonitorJobInput input;

    void SetUp() override {
        input.heartbeatType = 2;
        input.heartBeatPeriod = 10;
        input.quitCheckPeriod = 5;
        input.networkServer = &server;
        input.sessionHandle = server.openSession();
        input.interruptFlag = &interrupt;
        input.jobControl = &control;
        input.jobId = 42;
    }
    bool logged(const std::string& text) {
        return testsupport::hasExactLine(sink, "TMonitorJob:: " + text, 1);
    }
};

TEST_F(MonitorTest, ZeroPeriodsComeFromConfigurationAndAreWrittenBack) {
    struct Case {
        const char* heartbeatKey; // null: absent
        const char* quitKey;
        uint64_t heartbeat, quit; // in the input before construction
        uint64_t wantHeartbeat, wantQuit;
    } cases[] = {{nullptr, nullptr, 0, 0, 300, 60},
                 {"0", "0", 0, 0, 300, 60},
                 {"8589934592", "9", 0, 0, 8589934592ULL, 9},
                 {"7", "9", 11, 12, 11, 12}};
    for (const Case& c : cases) {
        for (auto [key, value] : {std::pair{"heartBeatPeriod", c.heartbeatKey},
                                  std::pair{"JMQuitCheckPeriod", c.quitKey}}) {
            if (value)
                KeyStore::set("Depot", key, value);
            else
                KeyStore::remove("Depot", key);
        }
        input.heartBeatPeriod = c.heartbeat;
        input.quitCheckPeriod = c.quit;
        TMonitorJob monitor(&input);
        EXPECT_EQ(input.heartBeatPeriod, c.wantHeartbeat);
        EXPECT_EQ(input.quitCheckPeriod, c.wantQuit);
    }
    EXPECT_TRUE(TMonitorJob(nullptr).shouldQuit());
}

// Deadlines run on the monotonic clock: a wall clock set back an hour neither
// fires a check at once nor holds the next one off for an hour.
TEST_F(MonitorTest, ChecksAndHeartbeatsFollowTheirPeriods) {
    TMonitorJob monitor(&input);
    struct Step {
        long advance; // seconds, before the call
        bool setBack; // wall clock an hour back instead
        unsigned long queries, heartbeats;
    } steps[] = {{0, false, 1, 1}, {0, false, 1, 1}, {5, false, 1, 1}, {1, false, 2, 1},
                 {5, false, 2, 2}, {0, true, 2, 2},  {1, false, 3, 2}, {10, false, 4, 3}};
    for (const Step& s : steps) {
        if (s.setBack)
            clock.set(clock.now() - 3600);
        clock.advance(s.advance);
        EXPECT_FALSE(monitor.shouldQuit());
        EXPECT_EQ(control.getQueryCount(), s.queries);
        EXPECT_EQ(server.sent().size(), s.heartbeats);
        EXPECT_EQ(server.getAcquireCount(), s.heartbeats);
        EXPECT_FALSE(server.isHeld(input.sessionHandle)) << "held only for one heartbeat";
    }
    const COxNetworkServer::Sent& xml = server.sent()[0];
    long long value = 0;
    EXPECT_EQ(xml.kind, COxNetworkServer::SendXml);
    EXPECT_EQ(xml.timeout, 120);
    EXPECT_EQ(xml.xml.getSubsystem(), 48);
    EXPECT_EQ(xml.xml.getMessage(), 220);
    EXPECT_TRUE(xml.xml.getInt(3, 6, 0, 0, value));
    EXPECT_EQ(value, 1);
}

TEST_F(MonitorTest, HeartbeatTypes) {
    struct Case {
        int type;
        unsigned long acquires;
        bool sends;
    } cases[] = {{0, 0, false}, {1, 1, true}, {5, 1, false}};
    for (const Case& c : cases) {
        COxNetworkServer fresh;
        input.networkServer = &fresh;
        input.sessionHandle = fresh.openSession();
        input.heartbeatType = c.type;
        TMonitorJob monitor(&input);
        EXPECT_FALSE(monitor.shouldQuit());
        EXPECT_EQ(fresh.getAcquireCount(), c.acquires) << c.type;
        ASSERT_EQ(fresh.sent().size(), c.sends ? 1u : 0u) << c.type;
        if (c.sends) {
            EXPECT_EQ(fresh.sent()[0].type, 0xE000902u);
            EXPECT_EQ(fresh.sent()[0].body, std::string("h\0\0\0\0\0\0\0", 8));
            EXPECT_EQ(fresh.sent()[0].timeout, 120);
        }
    }
}

TEST_F(MonitorTest, EveryFailureQuitsForGood) {
    struct Case {
        int step; // a network step to fail, or -1 for the interrupt flag
        const char* line;
    } cases[] = {
        {COxNetworkServer::Acquire, "Unable to acquire session object for handle: 1 with error: "
                                    "net down while trying to send heartbeat message"},
        {COxNetworkServer::SendXml, "Failed to send heartBeat message with error [net down]"},
        {COxNetworkServer::Release, "Failed to release session handle 1 with error [net down]"},
        {-1, "Job interrupt flag is set"},
    };
    for (const Case& c : cases) {
        COxNetworkServer fresh;
        input.networkServer = &fresh;
        input.sessionHandle = fresh.openSession();
        interrupt.store(c.step < 0 ? 1 : 0);
        if (c.step >= 0)
            fresh.failNext(static_cast<COxNetworkServer::Step>(c.step), "net down");
        sink.clear();
        TMonitorJob monitor(&input);
        EXPECT_TRUE(monitor.shouldQuit());
        EXPECT_TRUE(logged(c.line)) << c.line;
        EXPECT_FALSE(fresh.isHeld(input.sessionHandle)) << "released even after a failed send";
        unsigned long queries = control.getQueryCount(), acquires = fresh.getAcquireCount();
        interrupt.store(0);
        clock.advance(3600);
        EXPECT_TRUE(monitor.shouldQuit());
        EXPECT_EQ(control.getQueryCount(), queries);
        EXPECT_EQ(fresh.getAcquireCount(), acquires);
    }
}

TEST_F(MonitorTest, QuitFlagSetByAnotherProcess) {
    TMonitorJob monitor(&input);
    EXPECT_FALSE(monitor.shouldQuit());
    EXPECT_EQ(
        testsupport::runInChild([] { return KeyStore::set(kJobsSection, "42", "quit") ? 0 : 1; }),
        0);
    clock.advance(5);
    EXPECT_FALSE(monitor.shouldQuit()) << "not yet time to ask";
    clock.advance(1);
    EXPECT_TRUE(monitor.shouldQuit());
    EXPECT_TRUE(logged("Got quit flag from JobManager"));
    EXPECT_EQ(server.sent().size(), 1u) << "no heartbeat once the job quits";
}

} // namespace
