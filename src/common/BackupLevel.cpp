#include "common/BackupLevel.h"

namespace {

struct LevelRow {
    int level;
    BackupType type;
    bool full;
    bool synthetic; // sets the synthetic flag; other rows leave it alone
};

const LevelRow kLevels[] = {
    {1, BackupTypeFull, true, false},           {2, BackupTypeIncremental, false, false},
    {4, BackupTypeDifferential, false, false},  {64, BackupTypeSyntheticFull, true, true},
    {128, BackupTypeSyntheticFull, true, true}, {0x20000, BackupTypeFull, true, false},
};

} // namespace

int TransformOXBkpLevelToBackupType(int level, BackupType& backupType, bool& isFull,
                                    bool& isSynthetic) {
    for (const LevelRow& row : kLevels) {
        if (row.level == level) {
            backupType = row.type;
            isFull = row.full;
            if (row.synthetic)
                isSynthetic = true;
            return 0;
        }
    }
    return -1;
}

bool IsFullBackupType(BackupType type) {
    return type == BackupTypeFull || type == BackupTypeSyntheticFull;
}
