// The library's backup types and the platform's backup levels they come from.
#pragma once

enum BackupType : int {
    BackupTypeFull = 1,
    BackupTypeIncremental = 2,
    BackupTypeDifferential = 3,
    BackupTypeSyntheticFull = 8,
};

// Maps a platform backup level to a backup type: 0, or -1 (outputs untouched)
// for a level the library does not know. isSynthetic is only ever set.
int TransformOXBkpLevelToBackupType(int level, BackupType& backupType, bool& isFull,
                                    bool& isSynthetic);
// True for full and synthetic full.
bool IsFullBackupType(BackupType type);
