// A new, uniquely named file in the platform's temporary directory.
#pragma once

#include "port/CXFile.h"

class CXTempFile : public CXFile {
public:
    static constexpr size_t kNameSize = 1025;
    // Last errors of create besides open's errno.
    static constexpr int kErrNoTempDir = -1000;
    static constexpr int kErrNoProcessId = -2000;

    CXTempFile();

    // Creates temporary directory/prefix_<pid>_<n> for the first free n and
    // leaves it open; 0, or -1 with the last error set.
    int create(const char* prefix);
    // The file's name, "Uninitialized" before and "Error" after a failed create.
    char* getName() { return name_; }

private:
    int failWith(int code);

    char name_[kNameSize];
};
