#include "jobresults/ConfinedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

ConfinedFile::~ConfinedFile() {
    close();
}

int ConfinedFile::openConfined(const char* path, sfOpenMode_t mode) {
    if (isOpened()) {
        lastError_ = -1;
        return -1;
    }
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (mode) {
    case sfOpenRead:
        flags |= O_RDONLY;
        break;
    case sfOpenReadWrite:
        flags |= O_RDWR;
        break;
    case sfOpenCreate:
        flags |= O_RDWR | O_CREAT;
        break;
    case sfOpenCreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    default:
        lastError_ = EINVAL;
        return -1;
    }
    const int fd = ::open64(path ? path : "", flags, kCreateMode);
    if (fd < 0) {
        lastError_ = errno;
        return -1;
    }
    path_ = path;
    position_ = 0;
    bufReadFlush();
    setHandles(fd, mode == sfOpenRead ? -1 : fd, mode == sfOpenRead ? sfOpenRead : sfOpenReadWrite);
    return 0;
}
