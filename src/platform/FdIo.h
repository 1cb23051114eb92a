// Whole-buffer reads and writes on a descriptor, for the stand-ins that move
// file contents themselves.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace platform {

// read(2), retried when a signal interrupts it.
inline ssize_t readSome(int fd, char* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Writes every byte or fails with errno set (EIO for a write that moved
// nothing, which would otherwise leave errno stale).
inline bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace platform
