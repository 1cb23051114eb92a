// The platform process launcher's C-buffer forms: the error text is cut to
// the caller's buffer and a success leaves the buffer alone.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/OxProcess.h"

namespace {

TEST(OxProcessTest, CBufferFormsCopyAtMostSizeMinusOneAndOnlyOnFailure) {
    OxProcess process;
    char buffer[32];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_FALSE(process.StartProcess("/bin/true", "", buffer, 6, 0));
    EXPECT_STREQ(buffer, "empty");
    EXPECT_EQ(buffer[6], 'Z');
    std::strcpy(buffer, "untouched");
    ASSERT_TRUE(process.StartProcess("/bin/sh", "sh -c \"exit 5\"", buffer, sizeof buffer, 0));
    int code = 0;
    EXPECT_TRUE(process.WaitForProcessToEnd(code, buffer, sizeof buffer, -1));
    EXPECT_EQ(code, 5);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_FALSE(process.WaitForProcessToEnd(code, buffer, 8, -1));
    EXPECT_STREQ(buffer, "no proc");
}

} // namespace
