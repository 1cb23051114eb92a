// Stand-in for the platform's file object: only the status query the results
// code needs.
#pragma once

#include <sys/stat.h>

class CQiFile {
public:
    // Status of path, following links, into out: 0, or the errno of the
    // failing stat (ENAMETOOLONG for an overlong path, never an overrun).
    static int Stat(const char* path, struct stat* out);
};
