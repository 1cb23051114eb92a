// Process identity: parsing and whether a process still runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include "port/CXProcessId.h"
#include "support/TestSupport.h"

TEST(CXProcessId, ParsesOneLeadingNumberAndTellsWhetherItRuns) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"12a", "12"},    {" 7", "7"},   {"4294967295", "4294967295"},
        {"a12", nullptr}, {"", nullptr}, {nullptr, nullptr},
    };
    for (const auto& [text, id] : cases) {
        CXProcessId p;
        p.thisProcess();
        EXPECT_EQ(p.setIdString(text), id ? 0 : -1);
        if (id)
            EXPECT_STREQ(p.getIdString(), id);
        else
            EXPECT_EQ(p.getIdString(), nullptr); // a rejected text leaves it uninitialised
    }
    CXProcessId none;
    EXPECT_EQ(none.isRunning(), -1);
    CXProcessId own;
    own.thisProcess();
    EXPECT_EQ(std::string(own.getIdString()), std::to_string(::getpid()));
    EXPECT_EQ(own.isRunning(), 1);

    testsupport::ProcessSignal release;
    pid_t live = testsupport::forkChild([&] { return release.wait() ? 0 : 1; });
    CXProcessId p;
    ASSERT_EQ(p.setIdString(std::to_string(live).c_str()), 0);
    EXPECT_EQ(p.isRunning(), 1);
    release.post();
    ASSERT_EQ(testsupport::waitChild(live), 0);
    EXPECT_EQ(p.isRunning(), 0);
}
