// The event log stand-in: what a raised event carries and the line it leaves.
#include <gtest/gtest.h>

#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"
#include "support/TestSupport.h"

namespace {

TEST(EventLogTest, RaisedEventsCarryNumberSeverityJobAndTypedArgumentsInOrder) {
    testsupport::ScratchHome home;
    platform::TestSink sink;
    EvEvent ev;
    ev << "text" << 3;
    EXPECT_EQ(ev.MajorEvent(0x0E000031, 0, 0), -1); // a log that is not ready is skipped
    ev.initialize(2, 147449609, 0, nullptr, "");
    ev.setJobId(77);
    ev << "a \"quoted\"\\\nvalue" << -1 << 10ul << -2l;
    EXPECT_EQ(ev.CriticalEvent(0x0E00004D, 0, 0), 0);
    ev.InfoEvent(0x0E000045);
    // The log file may be removed under a running process: the next event recreates it.
    const std::string file = platform::homePath("logs") + "/events.log";
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ev.InfoEvent(0x0E000046);

    auto events = sink.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].severity, "CRITICAL");
    EXPECT_EQ(events[0].number, 0x0E00004Du);
    EXPECT_EQ(events[0].jobId, 77);
    std::vector<std::pair<int, std::string>> args;
    for (const auto& a : events[0].args)
        args.emplace_back(a.type, a.value);
    EXPECT_EQ(args, (std::vector<std::pair<int, std::string>>{
                        {11, "a \"quoted\"\\\nvalue"}, {5, "-1"}, {10, "10"}, {9, "-2"}}));
    EXPECT_TRUE(events[1].args.empty()); // arguments are consumed by the raise
    EXPECT_NE(testsupport::readFile(file).find(" INFO 0x0E000046 job=77"), std::string::npos);
    ev << "a \"quoted\"\\\nvalue";
    ev.CriticalEvent(0x0E00004D, 0, 0);
    EXPECT_NE(
        testsupport::readFile(file).find(
            " CRITICAL 0x0E00004D job=77 module=147449609 [11:\"a \\\"quoted\\\"\\\\\\nvalue\"]\n"),
        std::string::npos)
        << testsupport::readFile(file);
}

TEST(EventLogTest, ABatchWritesItsLinesAtItsEndAndAForkedChildOnlyItsOwn) {
    testsupport::ScratchHome home;
    EXPECT_EQ(testsupport::runInChild([] {
                  EvDebug::setApplicationName("batchtest");
                  const std::string file = platform::homePath("logs") + "/batchtest.log";
                  bool ok;
                  {
                      platform::LogBatch batch;
                      EvDebug::debugLvl(nullptr, 1, "gathered");
                      ok = testsupport::readFile(file).find("gathered") == std::string::npos;
                      ok &= testsupport::runInChild([] {
                                EvDebug::debugLvl(nullptr, 1, "child");
                                return 0;
                            }) == 0;
                      const std::string during = testsupport::readFile(file);
                      ok &= during.find(" 1 0 child\n") != std::string::npos &&
                            during.find("gathered") == std::string::npos;
                  }
                  const std::string after = testsupport::readFile(file);
                  ok &= after.find("gathered") != std::string::npos &&
                        after.find("gathered") == after.rfind("gathered");
                  return ok ? 0 : 1;
              }),
              0);
}

} // namespace
