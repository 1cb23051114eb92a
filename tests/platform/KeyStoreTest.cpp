#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/TDebuggable.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using testsupport::ScratchHome;

namespace {

struct KeyStoreTest : ::testing::Test {
    ScratchHome home;
};

TEST_F(KeyStoreTest, ValuesRoundTripPerSectionWithNamesTakenVerbatim) {
    ASSERT_TRUE(KeyStore::set("Depot", "nINDEXINGBUSYTIMEOUT", "30"));
    ASSERT_TRUE(KeyStore::set("~Depot", "nINDEXINGBUSYTIMEOUT", "31"));
    ASSERT_TRUE(KeyStore::set("~Machines\\client1", "sName", "a value with = and  blanks"));
    ASSERT_TRUE(KeyStore::set("Machines\\client1", "sName", "other"));

    OXPlatformInfo info;
    unsigned long long n64 = 0;
    unsigned int n32 = 0;
    EXPECT_TRUE(info.getNumber("Depot", "nINDEXINGBUSYTIMEOUT", &n64));
    EXPECT_EQ(n64, 30u);
    EXPECT_TRUE(info.getNumber("~Depot", "nINDEXINGBUSYTIMEOUT", &n32));
    EXPECT_EQ(n32, 31u);
    std::string s;
    EXPECT_TRUE(info.getString("~Machines\\client1", "sName", s));
    EXPECT_EQ(s, "a value with = and  blanks");
    EXPECT_TRUE(info.getString("Machines\\client1", "sName", s));
    EXPECT_EQ(s, "other");
    // Sections and keys are distinct by exact name.
    EXPECT_FALSE(info.getString("machines\\client1", "sName", s));
    EXPECT_FALSE(info.getNumber("Depot", "ninDEXINGBUSYTIMEOUT", &n64));

    // Overwriting keeps one entry.
    ASSERT_TRUE(KeyStore::set("Depot", "nINDEXINGBUSYTIMEOUT", "45"));
    EXPECT_TRUE(info.getNumber("Depot", "nINDEXINGBUSYTIMEOUT", &n64));
    EXPECT_EQ(n64, 45u);
    int entries = 0;
    for (const auto& e : KeyStore::list())
        entries += e.section == "Depot" && e.key == "nINDEXINGBUSYTIMEOUT";
    EXPECT_EQ(entries, 1);
}

TEST_F(KeyStoreTest, NumbersAbsentValuesAndBuffers) {
    testsupport::writeFile(KeyStore::path(), "[Depot]\n"
                                             "dec = 42\n"
                                             "hex = 0x1F\n"
                                             "neg = -5\n"
                                             "word = abc\n"
                                             "big = 18446744073709551615\n"
                                             "long = 0123456789\n");
    OXPlatformInfo info;
    unsigned long long v = 7;
    EXPECT_TRUE(info.getNumber("Depot", "dec", &v));
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(info.getNumber("Depot", "hex", &v));
    EXPECT_EQ(v, 31u);
    EXPECT_TRUE(info.getNumber("Depot", "big", &v));
    EXPECT_EQ(v, 18446744073709551615ull);
    // A value that is not a number leaves the caller's default untouched.
    v = 7;
    EXPECT_FALSE(info.getNumber("Depot", "word", &v));
    EXPECT_FALSE(info.getNumber("Depot", "neg", &v));
    EXPECT_FALSE(info.getNumber("Depot", "missing", &v));
    EXPECT_EQ(v, 7u);

    int i = 3;
    EXPECT_EQ(info.getRegInt("Depot", "neg", &i), 1);
    EXPECT_EQ(i, -5);
    i = 3;
    EXPECT_NE(info.getRegInt("Depot", "word", &i), 1);
    EXPECT_EQ(i, 3);

    char buf[5];
    int len = sizeof buf;
    EXPECT_TRUE(info.getString("Depot", "long", buf, &len));
    EXPECT_STREQ(buf, "0123");
    EXPECT_EQ(len, 4);

    EXPECT_EQ(info.setRegInt("Gatherer", "nValue", -9), 0);
    EXPECT_EQ(info.getRegInt("Gatherer", "nValue", &i), 1);
    EXPECT_EQ(i, -9);
    EXPECT_EQ(info.setNumber("__Cache", "nStamp", 1700000000ul), 0);
    unsigned long ul = 0;
    EXPECT_TRUE(info.getNumber("__Cache", "nStamp", &ul));
    EXPECT_EQ(ul, 1700000000ul);
}

TEST_F(KeyStoreTest, MalformedLinesAreSkippedWithAWarningAndTheRestSurvivesWrites) {
    platform::TestSink sink;
    testsupport::writeFile(KeyStore::path(), "orphan = 1\n"
                                             "# comment kept\n"
                                             "[Depot]\n"
                                             "good = 1\n"
                                             "no equals here\n"
                                             " = empty key\n"
                                             "[Depot]\n"
                                             "good = 2\n"
                                             "bin\x01\x02 = \x03\n");
    std::string v;
    ASSERT_TRUE(KeyStore::get("Depot", "good", v));
    EXPECT_EQ(v, "2") << "a later line overrides an earlier one";
    EXPECT_TRUE(sink.hasLine("KEYSTORE: skipped malformed line 1 of"));
    EXPECT_TRUE(sink.hasLine("KEYSTORE: skipped malformed line 5 of"));
    EXPECT_TRUE(sink.hasLine("KEYSTORE: skipped malformed line 6 of"));
    EXPECT_FALSE(sink.hasLine("line 4 of"));

    ASSERT_TRUE(KeyStore::set("Depot", "added", "x"));
    std::string text = testsupport::readFile(KeyStore::path());
    EXPECT_NE(text.find("# comment kept"), std::string::npos);
    EXPECT_NE(text.find("no equals here"), std::string::npos);
    EXPECT_TRUE(KeyStore::get("Depot", "added", v));

    // Texts that would break the file format are refused.
    EXPECT_FALSE(KeyStore::set("Depot", "bad\nkey", "1"));
    EXPECT_FALSE(KeyStore::set("Depot", "key", "two\nlines"));
    EXPECT_FALSE(KeyStore::set("Dep]ot", "key", "1"));
}

TEST_F(KeyStoreTest, TwoProcessesWritingAtOnceLoseNoKey) {
    const int perChild = 40;
    auto writer = [&](const char* tag) {
        return [=]() {
            for (int i = 0; i < perChild; ++i) {
                if (!KeyStore::set("Depot", std::string(tag) + std::to_string(i), "v"))
                    return 1;
            }
            return 0;
        };
    };
    ASSERT_TRUE(KeyStore::set("Depot", "anchor", "1"));
    pid_t a = testsupport::forkChild(writer("a"));
    pid_t b = testsupport::forkChild(writer("b"));
    // Meanwhile every read sees a whole file: the anchor is always there.
    bool anchorAlwaysSeen = true;
    for (int i = 0; i < 200; ++i) {
        std::string v;
        anchorAlwaysSeen &= KeyStore::get("Depot", "anchor", v);
    }
    EXPECT_EQ(testsupport::waitChild(a), 0);
    EXPECT_EQ(testsupport::waitChild(b), 0);
    EXPECT_TRUE(anchorAlwaysSeen);
    std::set<std::string> keys;
    for (const auto& e : KeyStore::list())
        keys.insert(e.key);
    for (int i = 0; i < perChild; ++i) {
        EXPECT_TRUE(keys.count("a" + std::to_string(i))) << i;
        EXPECT_TRUE(keys.count("b" + std::to_string(i))) << i;
    }
}

TEST_F(KeyStoreTest, APinnedThreadSeesOtherProcessesWritesOnlyAfterThePin) {
    ASSERT_TRUE(KeyStore::set("Depot", "k", "1"));
    std::string v;
    {
        KeyStore::Pin pin;
        EXPECT_TRUE(KeyStore::get("Depot", "k", v));
        ASSERT_EQ(testsupport::runInChild([] { return KeyStore::set("Depot", "k", "2") ? 0 : 1; }),
                  0);
        EXPECT_TRUE(KeyStore::get("Depot", "k", v));
        EXPECT_EQ(v, "1");
        // This process's own writes show at once (and bring the other's along).
        ASSERT_TRUE(KeyStore::set("Depot", "own", "3"));
        EXPECT_TRUE(KeyStore::get("Depot", "own", v));
        EXPECT_TRUE(KeyStore::get("Depot", "k", v));
        EXPECT_EQ(v, "2");
        ASSERT_EQ(testsupport::runInChild([] { return KeyStore::set("Depot", "k", "4") ? 0 : 1; }),
                  0);
    }
    EXPECT_TRUE(KeyStore::get("Depot", "k", v));
    EXPECT_EQ(v, "4");
}

TEST_F(KeyStoreTest, FocusAndPlatformFacts) {
    EXPECT_EQ(OXPI_Focus::getFocus(), "Instance001");
    EXPECT_FALSE(OXPI_Focus::AmIAService());
    KeyStore::set(platform::kPlatformSection, "Focus", "Instance007");
    KeyStore::set(platform::kPlatformSection, "FocusClient", "node1");
    KeyStore::set(platform::kPlatformSection, "IsService", "1");
    EXPECT_EQ(OXPI_Focus::getFocus(), "Instance007");
    EXPECT_EQ(OXPI_Focus::getFocusClientName(), "node1");
    EXPECT_TRUE(OXPI_Focus::AmIAService());
    // setFocus is process-wide: try it in a child.
    EXPECT_EQ(testsupport::runInChild([] {
                  OXPI_Focus::setFocus("");
                  TDebuggable d;
                  KeyStore::set("Depot", "sKey", "value");
                  return OXPI_Focus::getFocus().empty() && !d.getRegistryString("sKey", nullptr)
                             ? 0
                             : 1;
              }),
              0);
}

} // namespace
