#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/JobToken.h"
#include "platform/EvEvent.h"
#include "support/TestSupport.h"

namespace {

struct JobTokenTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;

    std::vector<std::string> texts(int level) const {
        std::vector<std::string> out;
        for (const platform::CapturedLine& l : sink.lines()) {
            if (l.level == level)
                out.push_back(l.text);
        }
        return out;
    }
};

TEST_F(JobTokenTest, ConstructFormatsFourNumbersAndFlagsFakeTokens) {
    struct Case {
        long long job;
        unsigned long phase, attempt, counter;
        const char* token;
        bool fake;
    } cases[] = {
        {12345, 2, 1, 0, "12345:2:1:0", false},
        {12345, 0, 1, 0, "12345:0:1:0", true},
        {12345, 2, 0, 9, "12345:2:0:9", true},
        {0, 0, 0, 0, "0:0:0:0", true},
        {-1, 3, 4, 5, "18446744073709551615:3:4:5", false},
        {9223372036854775807LL, 4294967295UL, 18446744073709551615UL, 7,
         "9223372036854775807:4294967295:18446744073709551615:7", false},
    };
    for (const Case& c : cases) {
        sink.clear();
        EXPECT_EQ(constructJobToken(c.job, c.phase, c.attempt, c.counter), c.token);
        std::vector<std::string> fake;
        if (c.fake)
            fake.push_back("::constructJobToken: Fake jobToken will be created.");
        EXPECT_EQ(texts(3), fake) << c.token;
    }
    EXPECT_EQ(constructJobToken(12345, 2, 1), "12345:2:1:0");
}

TEST_F(JobTokenTest, ParseReadsEveryAcceptedForm) {
    struct Case {
        const char* token;
        long long job;
        unsigned long phase, attempt, counter;
        std::vector<std::string> errors; // level 1, without the prefix
    } cases[] = {
        {"12345:2:1:0", 12345, 2, 1, 0, {}},
        {"12345:2:1", 12345, 2, 1, 0, {}},
        {"12345:2:1:7:9", 12345, 2, 1, 7, {}},
        {"12345:2:1:7:x:y", 12345, 2, 1, 7, {}},
        {"12345",
         12345,
         0,
         0,
         0,
         {"warning: old format of job token received '12345'. Phase and attempt are set to "
          "zero."}},
        {"x:2:1:0", 0, 2, 1, 0, {"Invalid jobId"}},
        {"12:p:1:0", 12, 0, 1, 0, {"Invalid phaseNumber"}},
        {"12:2:a:0", 12, 2, 0, 0, {"Invalid attemptNumber"}},
        {"12:2:1:c", 12, 2, 1, 0, {"Invalid writeOpenCounter"}},
        {"12:2:1:", 12, 2, 1, 0, {"Invalid writeOpenCounter"}},
        {"::", 0, 0, 0, 0, {"Invalid jobId", "Invalid phaseNumber", "Invalid attemptNumber"}},
        {"12x:3y:4z:5w", 12, 3, 4, 5, {}},
        {"abc",
         0,
         0,
         0,
         0,
         {"Invalid jobId",
          "warning: old format of job token received 'abc'. Phase and attempt are set to zero."}},
    };
    for (const Case& c : cases) {
        sink.clear();
        long long job = -7;
        unsigned long phase = 7, attempt = 7, counter = 7;
        ASSERT_TRUE(parseJobToken(c.token, job, phase, attempt, counter)) << c.token;
        EXPECT_EQ(job, c.job) << c.token;
        EXPECT_EQ(phase, c.phase) << c.token;
        EXPECT_EQ(attempt, c.attempt) << c.token;
        EXPECT_EQ(counter, c.counter) << c.token;
        std::vector<std::string> errors;
        for (const std::string& e : c.errors)
            errors.push_back("::parseJobToken: " + e);
        EXPECT_EQ(texts(1), errors) << c.token;
        std::vector<std::string> trace = {
            "::parseJobToken: job token '" + std::string(c.token) + "' to be parsed.",
            "::parseJobToken: job token '" + std::string(c.token) + "' is parsed."};
        EXPECT_EQ(texts(3), trace) << c.token;
        EXPECT_EQ(getJobIdFromJobToken(c.token), c.job) << c.token;
    }
}

TEST_F(JobTokenTest, ParseRejectsNullEmptyAndSingleColonTokensWithZeroedOutputs) {
    struct Case {
        const char* token;
        const char* error;
    } cases[] = {
        {nullptr, "::parseJobToken: ERROR: job token 'NULL' is received."},
        {"", "::parseJobToken: ERROR: empty job token is received."},
        {"12345:2", "::parseJobToken: cannot detect attempt number in '12345:2'"},
        {"12345:", "::parseJobToken: cannot detect attempt number in '12345:'"},
    };
    for (const Case& c : cases) {
        sink.clear();
        long long job = 5;
        unsigned long phase = 5, attempt = 5, counter = 5;
        EXPECT_FALSE(parseJobToken(c.token, job, phase, attempt, counter));
        EXPECT_EQ(job, 0);
        EXPECT_EQ(phase, 0u);
        EXPECT_EQ(attempt, 0u);
        EXPECT_EQ(counter, 0u);
        EXPECT_EQ(texts(1), std::vector<std::string>{c.error});
        EXPECT_FALSE(sink.hasLine("is parsed."));
        EXPECT_EQ(getJobIdFromJobToken(c.token), 0);
    }
}

TEST_F(JobTokenTest, ThreeOutputFormDiscardsTheCounter) {
    long long job = 0;
    unsigned long phase = 0, attempt = 0;
    ASSERT_TRUE(parseJobToken("77:3:2:9", job, phase, attempt));
    EXPECT_EQ(job, 77);
    EXPECT_EQ(phase, 3u);
    EXPECT_EQ(attempt, 2u);
    EXPECT_FALSE(parseJobToken("77:3", job, phase, attempt));
}

TEST_F(JobTokenTest, OnlyTheFirst127CharactersAreRead) {
    // The counter's digits straddle the cut: the 127th character is the last read.
    std::string head = "12345:2:1:";
    std::string token = head + std::string(127 - head.size() - 2, '0') + "42" + "999";
    long long job = 0;
    unsigned long phase = 0, attempt = 0, counter = 0;
    ASSERT_TRUE(parseJobToken(token.c_str(), job, phase, attempt, counter));
    EXPECT_EQ(counter, 42u);
    EXPECT_TRUE(sink.hasLine("job token '" + token.substr(0, 127) + "' to be parsed."));
    EXPECT_FALSE(sink.hasLine(token.substr(0, 128)));

    // A job id that only fits when the whole text is read.
    std::string old = std::string(126, ' ') + "1" + "2";
    ASSERT_TRUE(parseJobToken(old.c_str(), job, phase, attempt, counter));
    EXPECT_EQ(job, 1);
}

TEST_F(JobTokenTest, ConstructedTokensParseBack) {
    for (unsigned long counter : {0UL, 1UL, 4000000000UL}) {
        std::string token = constructJobToken(987654321012LL, 6, 3, counter);
        long long job = 0;
        unsigned long phase = 0, attempt = 0, c = 0;
        ASSERT_TRUE(parseJobToken(token.c_str(), job, phase, attempt, c));
        EXPECT_EQ(job, 987654321012LL);
        EXPECT_EQ(phase, 6u);
        EXPECT_EQ(attempt, 3u);
        EXPECT_EQ(c, counter);
    }
}

} // namespace
