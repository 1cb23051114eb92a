// The job token text "%llu:%lu:%lu:%lu" and every form a parser accepts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/JobToken.h"
#include "support/TestSupport.h"

namespace {

TEST(JobTokenTest, ConstructAndParse) {
    EXPECT_EQ(constructJobToken(12345, 2, 1), "12345:2:1:0");
    EXPECT_EQ(constructJobToken(-1, 3, 4, 5), "18446744073709551615:3:4:5");
    EXPECT_EQ(constructJobToken(9223372036854775807LL, 4294967295UL, 18446744073709551615UL, 7),
              "9223372036854775807:4294967295:18446744073709551615:7");
    struct Case {
        const char* token;
        bool ok;
        long long job;
        unsigned long phase, attempt, counter;
    } cases[] = {
        {"12345:2:1:0", true, 12345, 2, 1, 0},
        {"12345:2:1", true, 12345, 2, 1, 0},
        {"12345:2:1:7:x:y", true, 12345, 2, 1, 7},
        {"12345", true, 12345, 0, 0, 0},
        {"x:2:1:0", true, 0, 2, 1, 0},
        {"12:2:1:", true, 12, 2, 1, 0},
        {"12x:3y:4z:5w", true, 12, 3, 4, 5},
        {"::", true, 0, 0, 0, 0},
        {nullptr, false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
        {"12345:2", false, 0, 0, 0, 0},
        {"12345:", false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const char* name = c.token ? c.token : "null";
        long long job = -7;
        unsigned long phase = 7, attempt = 7, counter = 7;
        EXPECT_EQ(parseJobToken(c.token, job, phase, attempt, counter), c.ok) << name;
        EXPECT_EQ(job, c.job) << name;
        EXPECT_EQ(phase, c.phase) << name;
        EXPECT_EQ(attempt, c.attempt) << name;
        EXPECT_EQ(counter, c.counter) << name;
        EXPECT_EQ(getJobIdFromJobToken(c.token), c.job) << name;
    }
    // Only the first 127 characters are read.
    const std::string head = "12345:2:1:";
    const std::string token = head + std::string(127 - head.size() - 2, '0') + "42" + "999";
    long long job = 0;
    unsigned long phase = 0, attempt = 0, counter = 0;
    ASSERT_TRUE(parseJobToken(token.c_str(), job, phase, attempt, counter));
    EXPECT_EQ(counter, 42u);
}

} // namespace
