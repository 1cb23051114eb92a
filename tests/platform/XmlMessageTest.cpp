#include <gtest/gtest.h>

#include <string>

#include "platform/CNMessageBase.h"

TEST(XmlMessage, RoundTripKeepsEveryFieldAndTheTag) {
    CNMessageBase m(48, 180, 0x30000013, "Indexing::ReserveOnDiskRequest");
    m.setInt(1, 1, 0x30000013, 1976492, 4294967291LL);
    m.setInt(11, 20, 0x30000012, 13627015, -9223372036854775807LL - 1);
    ASSERT_TRUE(m.setString(4, 4, 0x30000012, 7694716, "<a&b>\"c\"\td"));
    ASSERT_TRUE(m.setString(7, 10, 0x30000012, 4397005, ""));
    EXPECT_FALSE(m.setString(8, 14, 0x30000012, 998810, "line\nbreak"));

    std::string error;
    auto back = CNMessageBase::fromXml(m.toXml(), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->toXml(), m.toXml());
    EXPECT_EQ(back->getSubsystem(), 48);
    EXPECT_EQ(back->getMessage(), 180);
    EXPECT_EQ(back->getTagId(), 0x30000013u);
    EXPECT_STREQ(back->getTagName(), "Indexing::ReserveOnDiskRequest");
    long long v = 0;
    ASSERT_TRUE(back->getInt(1, 1, 0x30000013, 1976492, v));
    EXPECT_EQ(v, 4294967291LL);
    EXPECT_FALSE(back->getInt(1, 2, 0x30000013, 1976492, v));
    std::string s;
    ASSERT_TRUE(back->getString(4, 4, 0x30000012, 7694716, s));
    EXPECT_EQ(s, "<a&b>\"c\"\td");
    EXPECT_TRUE(back->isFieldSet(7));
    EXPECT_FALSE(back->isFieldSet(8));
}

TEST(XmlMessage, HostileTextsAreRefused) {
    const std::string head = "<message subsystem=\"48\" id=\"180\" tag=\"1\" name=\"n\">";
    const std::string f = " field=\"1\" tag=\"1\" class=\"2\" key=\"3\"";
    const char* doctype = "<!DOCTYPE m [<!ENTITY e \"x\">]><message subsystem=\"1\" id=\"1\" "
                          "tag=\"1\" name=\"n\"/>";
    const std::string cases[] = {
        "",
        "not xml",
        head,                                                              // truncated
        head + "<string" + f + ">a&#10;b</string></message>",              // LF by reference
        head + "<string" + f + ">a&#1;b</string></message>",               // control character
        head + "<int" + f + ">12x</int></message>",                        // bad integer
        head + "<int" + f + ">9223372036854775808</int></message>",        // overflow
        head + "<int" + f + "></int></message>",                           // empty integer
        head + "<int" + f + ">007</int></message>",                        // leading zeros
        head + "<int" + f + ">1</int><int" + f + ">2</int></message>",     // field twice
        head + "<int field=\"1\" tag=\"1\" class=\"2\">1</int></message>", // no key
        head + "<int field=\"-1\" tag=\"1\" class=\"2\" key=\"3\">1</int></message>",
        head + "<int" + f + "><int" + f + ">1</int></int></message>", // nested
        head + "<blob" + f + ">1</blob></message>",                   // unknown element
        head + "stray</message>",                                     // text outside a field
        "<other/>",
        "<message subsystem=\"4294967296\" id=\"1\" tag=\"1\" name=\"n\"/>",
        "<message id=\"1\" tag=\"1\" name=\"n\"/>",
        doctype,
    };
    for (const std::string& text : cases) {
        std::string error;
        EXPECT_FALSE(CNMessageBase::fromXml(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}
