#include <gtest/gtest.h>

#include <cstdint>

#include "common/BackupLevel.h"
#include "common/HiLo.h"

namespace {

TEST(BackupLevelTest, LevelTable) {
    struct Case {
        int level;
        int result;
        int type; // expected backup type (the sentinel 99 when untouched)
        bool full;
        bool synthetic; // when the flag starts false
    } cases[] = {
        {1, 0, 1, true, false},     {2, 0, 2, false, false},         {4, 0, 3, false, false},
        {64, 0, 8, true, true},     {128, 0, 8, true, true},         {0x20000, 0, 1, true, false},
        {8, -1, 99, false, false},  {0, -1, 99, false, false},       {3, -1, 99, false, false},
        {-1, -1, 99, false, false}, {0x20001, -1, 99, false, false}, {256, -1, 99, false, false},
    };
    for (const Case& c : cases) {
        for (bool syntheticBefore : {false, true}) {
            BackupType type = static_cast<BackupType>(99);
            bool full = false;
            bool synthetic = syntheticBefore;
            EXPECT_EQ(TransformOXBkpLevelToBackupType(c.level, type, full, synthetic), c.result)
                << c.level;
            EXPECT_EQ(static_cast<int>(type), c.type) << c.level;
            EXPECT_EQ(full, c.full) << c.level;
            EXPECT_EQ(synthetic, c.synthetic || syntheticBefore)
                << c.level << ": the synthetic flag is only ever set";
        }
    }
    // A level not in the table leaves a true full flag alone too.
    BackupType type = BackupTypeIncremental;
    bool full = true, synthetic = false;
    EXPECT_EQ(TransformOXBkpLevelToBackupType(8, type, full, synthetic), -1);
    EXPECT_TRUE(full);
    EXPECT_EQ(type, BackupTypeIncremental);
}

TEST(BackupLevelTest, FullTypesAreFullAndSyntheticFull) {
    for (int t = 0; t <= 10; ++t)
        EXPECT_EQ(IsFullBackupType(static_cast<BackupType>(t)), t == 1 || t == 8) << t;
}

TEST(HiLoTest, JoinAndSplitHighHalfFirst) {
    struct Case {
        uint32_t high, low;
        uint64_t value;
    } cases[] = {
        {0, 0, 0},
        {0x12345678u, 0x9ABCDEF0u, 0x123456789ABCDEF0ull},
        {0, 0xFFFFFFFFu, 0xFFFFFFFFull},
        {1, 0, 0x100000000ull},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull},
        {0x80000000u, 1, 0x8000000000000001ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toUint64(c.high, c.low), c.value);
        EXPECT_EQ(getHi(c.value), c.high);
        EXPECT_EQ(getLo(c.value), c.low);
        uint32_t h = 7, l = 7;
        toHiLo(c.value, h, l);
        EXPECT_EQ(h, c.high);
        EXPECT_EQ(l, c.low);
    }
}

} // namespace
