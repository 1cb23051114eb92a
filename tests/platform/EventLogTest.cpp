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
    ev << "text" << 3 << 4ul << 5ll;
    EXPECT_EQ(ev.MajorEvent(0x0E000031, 0, 0), -1) << "a log that is not ready is skipped";
    EXPECT_TRUE(ev.pendingArguments().empty());

    ev.initialize(2, 147449609, 0, nullptr, "");
    ev.setJobId(77);
    ev << "a \"quoted\"\nvalue" << -1 << 10ul << -2l;
    EXPECT_EQ(ev.CriticalEvent(0x0E00004D, 0, 0), 0);
    ev.InfoEvent(0x0E000045);

    auto events = sink.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].severity, "CRITICAL");
    EXPECT_EQ(events[0].number, 0x0E00004Du);
    EXPECT_EQ(events[0].jobId, 77);
    ASSERT_EQ(events[0].args.size(), 4u);
    EXPECT_EQ(events[0].args[0].type, 11);
    EXPECT_EQ(events[0].args[0].value, "a \"quoted\"\nvalue");
    EXPECT_EQ(events[0].args[1].type, 5);
    EXPECT_EQ(events[0].args[1].value, "-1");
    EXPECT_EQ(events[0].args[2].type, 10);
    EXPECT_EQ(events[0].args[2].value, "10");
    EXPECT_EQ(events[0].args[3].type, 9);
    EXPECT_EQ(events[0].args[3].value, "-2");
    EXPECT_TRUE(events[1].args.empty()) << "arguments are consumed by the raise";

    std::string file = testsupport::readFile(platform::homePath("logs") + "/events.log");
    EXPECT_NE(
        file.find(" CRITICAL 0x0E00004D job=77 module=147449609 [11:\"a \\\"quoted\\\"\\nvalue\"] "
                  "[5:\"-1\"] [10:\"10\"] [9:\"-2\"]\n"),
        std::string::npos)
        << file;
    EXPECT_NE(file.find(" INFO 0x0E000045 job=77"), std::string::npos);
}

TEST(EventLogTest, DebugLinesAreFilteredByTheKeyStoreLevelButAlwaysCaptured) {
    testsupport::ScratchHome home;
    EXPECT_EQ(testsupport::runInChild([] {
                  EvDebug::setApplicationName("leveltest");
                  platform::TestSink sink;
                  EvDebug::debugLvl(nullptr, 1, "one %d", 1);
                  EvDebug::DebugJob(nullptr, 2, "", 42, "two %s", "x");
                  platform::KeyStore::set(platform::kPlatformSection, "DebugLevel", "2");
                  EvDebug::DebugJob(nullptr, 2, "", 42, "three\n");
                  std::string log =
                      testsupport::readFile(platform::homePath("logs") + "/leveltest.log");
                  bool ok = sink.lines().size() == 3 && sink.lines()[2].text == "three" &&
                            sink.lines()[1].jobId == 42 &&
                            log.find(" 1 0 one 1\n") != std::string::npos &&
                            log.find("two x") == std::string::npos &&
                            log.find(" 2 42 three\n") != std::string::npos;
                  return ok ? 0 : 1;
              }),
              0);
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
