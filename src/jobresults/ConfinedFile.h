// A buffered file the results code opens itself: close-on-exec, never through
// a symbolic link (a link planted where a map or State file belongs makes the
// open fail with ELOOP instead of writing through it), created without
// execute permission. The object owns the descriptor and closes it.
#pragma once

#include "port/CXFile.h"

class ConfinedFile : public CXFile {
public:
    // Files the library creates: read and write for everyone, before umask.
    static constexpr int kCreateMode = 0666;

    ConfinedFile() = default;
    ~ConfinedFile() override;

    // sfOpenRead, sfOpenReadWrite, sfOpenCreate or sfOpenCreateNew (which
    // fails with EEXIST when the name exists, even as a dangling link).
    // 0, or -1 with the last error set.
    int openConfined(const char* path, sfOpenMode_t mode);
};
