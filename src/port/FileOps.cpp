#include "port/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/TDebuggable.h"
#include "platform/EvEvent.h"
#include "port/CXDirectory.h"

namespace {

constexpr size_t kMaxPath = 1027;
constexpr int kPathTooLong = -777;
// Fallback transfer size when the kernel cannot copy between the two files.
constexpr size_t kCopyBufferSize = 1 << 20;
// Largest request per copy_file_range call; the kernel caps it anyway.
constexpr size_t kCopyChunk = 1 << 30;

// Closes a descriptor at the end of a scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; errno of the failure is kept for the caller's report.
    void reset() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
            fd_ = -1;
        }
    }

private:
    int fd_;
};

ssize_t readRetry(int fd, char* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t writeRetry(int fd, const char* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::write(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Lets the kernel move the bytes of a regular file. Stops at the first call
// that moves nothing or fails: the read/write loop then carries on from the
// same offsets, which either confirms the end of the file or meets the same
// error again and reports it with the message of the failing side.
void kernelCopy(int in, int out) {
    struct stat64 st;
    if (::fstat64(in, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    // Deeper read-ahead for data that is not cached yet.
    ::posix_fadvise64(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
    }
}

} // namespace

int CXCopyFile(const char* source, const char* target, int* error) {
    TDebuggable log;
    log.setDebugPrefix("CXCOPYFILE");
    auto failed = [error]() {
        if (error)
            *error = errno;
        return -1;
    };

    Fd in(::open64(source, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        const int err = errno;
        log.debug(1, "cannot open %s for read, errno %d\n", source, err);
        errno = err;
        return failed();
    }
    Fd out(::open64(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744));
    if (out.get() < 0) {
        const int err = errno;
        log.debug(1, "cannot open %s for write, errno %d\n", target, err);
        errno = err;
        return failed();
    }

    kernelCopy(in.get(), out.get());

    // Left uninitialised: every byte written out was read in first.
    std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    for (;;) {
        ssize_t got = readRetry(in.get(), buffer.get(), kCopyBufferSize);
        if (got < 0) {
            const int err = errno;
            log.debug(1, "cannot read %s, errno %d\n", source, err);
            errno = err;
            return failed();
        }
        if (got == 0)
            break;
        ssize_t put = writeRetry(out.get(), buffer.get(), static_cast<size_t>(got));
        if (put != got) {
            // A short write leaves errno untouched; report it as a full disk.
            const int err = put < 0 ? errno : ENOSPC;
            log.debug(1, "cannot write %s, return value %d errno %d\n", target,
                      static_cast<int>(put), err);
            errno = err;
            return failed();
        }
    }

    if (::close(out.release()) != 0)
        return failed();
    return 0;
}

int recursiveMkdir(const char* path, int mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (std::strlen(path) >= kMaxPath) {
        errno = kPathTooLong;
        return -1;
    }
    if (::mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST)
        return 0;
    if (errno != ENOENT)
        return -1;
    std::string work(path);
    const size_t slash = work.rfind('/');
    if (slash == std::string::npos)
        return -1;
    if (slash > 0)
        recursiveMkdir(work.substr(0, slash).c_str(), mode);
    // Another process may have made it between the two calls.
    if (::mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST)
        return 0;
    return -1;
}

int deleteDir(const char* path) {
    EvEvent ev;
    struct stat64 st;
    // A link given as the tree is removed as a link: emptying through it
    // would remove the contents of whatever it points to.
    if (path && ::lstat64(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (::unlink(path) == 0) {
            EvDebug::DebugLvl(&ev, 3, "deleteDir", "Directory: [%s] was deleted successfully.",
                              path);
            return 0;
        }
        EvDebug::DebugLvl(&ev, 1, "deleteDir",
                          "Could not remove directory: [%s]. Error code: [%d].", path, errno);
        return -1;
    }

    CXDirectory dir;
    dir.setRecursion(true);
    if (dir.open(path) != 0) {
        EvDebug::DebugLvl(&ev, 3, "deleteDir",
                          "Could not open directory: [%s]. Possibly it does not exist.",
                          path ? path : "");
        return -1;
    }
    if (dir.removeFiles(nullptr) != 0) {
        EvDebug::DebugLvl(&ev, 1, "deleteDir", "Could not remove content within directory: [%s].",
                          path);
        return -1;
    }
    dir.close();
    if (safeRmdir(path) == 0) {
        EvDebug::DebugLvl(&ev, 3, "deleteDir", "Directory: [%s] was deleted successfully.", path);
        return 0;
    }
    EvDebug::DebugLvl(&ev, 1, "deleteDir", "Could not remove directory: [%s]. Error code: [%d].",
                      path, errno);
    return -1;
}

int safeRename(const char* from, const char* to) {
    if (std::strcmp(from, to) == 0)
        return 0;
    return ::rename(from, to);
}

int safeRmdir(const char* path) {
    return ::rmdir(path);
}

int safeUnlink(const char* path) {
    if (!path)
        return 1;
    if (::unlink(path) == 0 || errno == ENOENT)
        return 0;
    return -1;
}

int IdxReplaceString(std::string& text, const char* what, const char* with) {
    if (!what || !with)
        return -1;
    const size_t at = text.find(what);
    if (at == std::string::npos)
        return -1;
    text.replace(at, std::strlen(what), with);
    return 0;
}

DIR* openDirectory(const char* path) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    // The C library opens a directory close-on-exec itself (O_CLOEXEC), in
    // one call; fdopendir on a descriptor of our own would ask for and set
    // the flags again, two more calls for every directory a clean-up empties.
    return ::opendir(path);
}
