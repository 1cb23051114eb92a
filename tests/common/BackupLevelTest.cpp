#include <gtest/gtest.h>

#include <cstdint>

#include "common/BackupLevel.h"
#include "common/HiLo.h"

namespace {

TEST(BackupLevelTest, LevelTableAndHiLo) {
    struct Case {
        int level, result, type; // type: 99 when untouched
        bool full, synthetic;
    } cases[] = {
        {1, 0, 1, true, false},    {2, 0, 2, false, false},   {4, 0, 3, false, false},
        {64, 0, 8, true, true},    {128, 0, 8, true, true},   {0x20000, 0, 1, true, false},
        {8, -1, 99, false, false}, {0, -1, 99, false, false}, {0x20001, -1, 99, false, false},
    };
    for (const Case& c : cases) {
        BackupType type = static_cast<BackupType>(99);
        bool full = false, synthetic = false;
        EXPECT_EQ(TransformOXBkpLevelToBackupType(c.level, type, full, synthetic), c.result);
        EXPECT_EQ(static_cast<int>(type), c.type) << c.level;
        EXPECT_EQ(full, c.full) << c.level;
        EXPECT_EQ(synthetic, c.synthetic) << c.level;
    }
    for (int t = 0; t <= 10; ++t)
        EXPECT_EQ(IsFullBackupType(static_cast<BackupType>(t)), t == 1 || t == 8) << t;
    EXPECT_EQ(toUint64(0x12345678u, 0x9ABCDEF0u), 0x123456789ABCDEF0ull);
    EXPECT_EQ(getHi(0x100000000ull), 1u);
    EXPECT_EQ(getLo(0x1FFFFFFFFull), 0xFFFFFFFFu);
}

} // namespace
