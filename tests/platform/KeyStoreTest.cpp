// The key store stand-in: its file format, hostile lines and concurrent writers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/TDebuggable.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

TEST(KeyStoreTest, ValuesNumbersAndMalformedLines) {
    testsupport::ScratchHome home;
    platform::TestSink sink;
    testsupport::writeFile(KeyStore::path(), "orphan = 1\n"
                                             "# comment kept\n"
                                             "[Depot]\n"
                                             "dec = 42\n"
                                             "no equals here\n"
                                             " = empty key\n"
                                             "[Depot]\n"
                                             "hex = 0x1F\n"
                                             "neg = -5\n"
                                             "word = abc\n"
                                             "dec = 43\n"
                                             "bin\x01\x02 = \x03\n");
    OXPlatformInfo info;
    unsigned long long v = 7;
    EXPECT_TRUE(info.getNumber("Depot", "dec", &v));
    EXPECT_EQ(v, 43u); // a later line overrides an earlier one
    EXPECT_TRUE(info.getNumber("Depot", "hex", &v));
    EXPECT_EQ(v, 31u);
    v = 7;
    EXPECT_FALSE(info.getNumber("Depot", "word", &v));
    EXPECT_FALSE(info.getNumber("depot", "dec", &v)); // names are exact
    EXPECT_EQ(v, 7u);
    for (int line : {1, 5, 6})
        EXPECT_TRUE(
            sink.hasLine("KEYSTORE: skipped malformed line " + std::to_string(line) + " of"));
    EXPECT_FALSE(sink.hasLine("line 4 of"));

    ASSERT_TRUE(KeyStore::set("Depot", "dec", "45"));
    EXPECT_TRUE(info.getNumber("Depot", "dec", &v));
    EXPECT_EQ(v, 45u);
    const std::string text = testsupport::readFile(KeyStore::path());
    EXPECT_NE(text.find("# comment kept"), std::string::npos);
    EXPECT_NE(text.find("no equals here"), std::string::npos);
    // Texts that would break the file format are refused.
    EXPECT_FALSE(KeyStore::set("Depot", "bad\nkey", "1"));
    EXPECT_FALSE(KeyStore::set("Depot", "key", "two\nlines"));
    EXPECT_FALSE(KeyStore::set("Dep]ot", "key", "1"));
}

TEST(KeyStoreTest, APinnedThreadSeesOtherProcessesWritesOnlyAfterThePin) {
    testsupport::ScratchHome home;
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

} // namespace
