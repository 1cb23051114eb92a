#include "platform/CQiFile.h"

#include <cerrno>

int CQiFile::Stat(const char* path, struct stat* out) {
    if (!path || !out)
        return EINVAL;
    return ::stat(path, out) == 0 ? 0 : errno;
}
