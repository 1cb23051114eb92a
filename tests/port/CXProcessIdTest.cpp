// Process ids read from files other processes wrote: one leading number, and
// never an id that names no single process.
#include <gtest/gtest.h>

#include "port/CXProcessId.h"

TEST(CXProcessId, SetIdStringTakesOneLeadingNumberOfARealProcess) {
    struct Case {
        const char* text;
        int rc;
        const char* id; // getIdString afterwards, null when uninitialised
    };
    const Case cases[] = {
        {"12a", 0, "12"},   {" 7", 0, "7"},         {"4294967295", -1, nullptr},
        {"0", -1, nullptr}, {"1", -1, nullptr},     {"a12", -1, nullptr},
        {"", -1, nullptr},  {nullptr, -1, nullptr},
    };
    for (const Case& c : cases) {
        CXProcessId p;
        p.thisProcess();
        EXPECT_EQ(p.setIdString(c.text), c.rc) << (c.text ? c.text : "null");
        const char* id = p.getIdString();
        if (c.id)
            EXPECT_STREQ(id, c.id);
        else
            EXPECT_EQ(id, nullptr) << "a rejected text leaves the object uninitialised";
    }
}
