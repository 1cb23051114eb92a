#include "platform/TCtreeTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/FdIo.h"

namespace {

using platform::readSome;
using platform::writeAll;

// Closes a descriptor at the end of a scope unless released.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now; false when close reported an error (errno set).
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace

int TCtreeTable::TranLog_copyFile(const char* source, const char* target) {
    if (!source || !*source) {
        errno = EINVAL;
        return kCopySourceError;
    }
    if (!target || !*target) {
        errno = EINVAL;
        return kCopyTargetError;
    }
    // O_NONBLOCK: a FIFO must not hold the caller up; it is refused below.
    Fd in(::open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0)
        return kCopySourceError;
    struct stat sst;
    if (::fstat(in.get(), &sst) != 0)
        return kCopySourceError;
    if (!S_ISREG(sst.st_mode)) {
        errno = S_ISDIR(sst.st_mode) ? EISDIR : EINVAL;
        return kCopySourceError;
    }
    // Only regular files are written, so that a failed copy never removes a
    // device or a FIFO in its place.
    struct stat tst;
    if (::stat(target, &tst) == 0 && !S_ISREG(tst.st_mode)) {
        errno = S_ISDIR(tst.st_mode) ? EISDIR : EINVAL;
        return kCopyTargetError;
    }
    // Opened without O_TRUNC: a target that is the source (same path, a hard
    // link or a symbolic link to it) must not be emptied before it is read.
    Fd out(::open(target, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
    if (out.get() < 0)
        return kCopyTargetError;
    if (::fstat(out.get(), &tst) != 0)
        return kCopyTargetError;
    if (!S_ISREG(tst.st_mode)) {
        errno = EINVAL;
        return kCopyTargetError;
    }
    if (tst.st_dev == sst.st_dev && tst.st_ino == sst.st_ino)
        return kCopyOk;
    if (::ftruncate(out.get(), 0) != 0)
        return kCopyTargetError;

    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = readSome(in.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0 || !writeAll(out.get(), buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    if (ok)
        ok = out.close();
    if (!ok) {
        // A partial copy would pass for a good one later.
        int saved = errno;
        ::unlink(target);
        errno = saved;
        return kCopyIoError;
    }
    return kCopyOk;
}

std::unique_ptr<char[]> TCtreeTable::TranLog_allocateMemoryAndLoadFile(const char* path,
                                                                       size_t* size) {
    if (size)
        *size = 0;
    if (!path || !*path) {
        errno = EINVAL;
        return nullptr;
    }
    Fd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return nullptr;
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return nullptr;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    // The size is only a hint: the file may change while it is read.
    std::string text;
    if (st.st_size > 0)
        text.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = readSome(in.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0)
            return nullptr;
        text.append(buffer, static_cast<size_t>(n));
    }
    std::unique_ptr<char[]> result(new (std::nothrow) char[text.size() + 1]);
    if (!result) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(result.get(), text.data(), text.size());
    result[text.size()] = '\0';
    if (size)
        *size = text.size();
    return result;
}

long long TCtreeTable::TranLog_countBsNsInFile(const char* path) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    Fd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return -1;
    char buffer[65536];
    long long count = 0;
    for (;;) {
        ssize_t n = readSome(in.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0)
            return -1;
        for (const char* p = buffer;
             (p = static_cast<const char*>(std::memchr(p, '\n', buffer + n - p))) != nullptr; ++p)
            ++count;
    }
    return count;
}

int TCtreeTable::TranLog_addTextToFile(const char* path, const char* text) {
    if (!path || !*path || !text)
        return -EINVAL;
    Fd out(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (out.get() < 0)
        return errno ? -errno : -EIO;
    struct stat st;
    if (::fstat(out.get(), &st) != 0)
        return errno ? -errno : -EIO;
    if (writeAll(out.get(), text, std::strlen(text)) && out.close())
        return 0;
    int err = errno ? errno : EIO;
    // Cut the partial text off again so the next line starts where this one did.
    if (::truncate(path, st.st_size) != 0)
        errno = err;
    return -err;
}

int TCtreeTranLogChunkLineHelper::setFile(const char* path) {
    size_t size = 0;
    std::unique_ptr<char[]> text = TCtreeTable::TranLog_allocateMemoryAndLoadFile(path, &size);
    if (!text)
        return -1;
    path_ = path;
    content_.assign(text.get(), size);
    offset_ = 0;
    lineNumber_ = 0;
    return 0;
}

int TCtreeTranLogChunkLineHelper::parse(const std::string& list, std::vector<std::string>& names) {
    names.clear();
    size_t i = 0;
    while (i < list.size()) {
        if (list[i] == ' ') {
            ++i;
            continue;
        }
        if (list[i] != '"')
            return -1;
        const size_t close = list.find('"', i + 1);
        if (close == std::string::npos)
            return -1;
        names.push_back(list.substr(i + 1, close - i - 1));
        i = close + 1;
    }
    return 0;
}

int TCtreeTranLogChunkLineHelper::readNextLineAndParse() {
    if (offset_ >= content_.size())
        return 0;
    const size_t end = content_.find('\n', offset_);
    if (end == std::string::npos)
        return -1;
    const std::string line = content_.substr(offset_, end - offset_);
    std::vector<std::string> parts;
    if (line.find('\r') != std::string::npos || parse(line, parts) != 0 || parts.empty())
        return -1;
    const std::string& head = parts.front();
    const size_t space = head.find(' ');
    jobId_ = head.substr(0, space);
    restartText_ = space == std::string::npos ? std::string() : head.substr(space + 1);
    restartStrings_.clear();
    size_t p = 0;
    while (p < restartText_.size()) {
        size_t q = restartText_.find(' ', p);
        if (q == std::string::npos)
            q = restartText_.size();
        if (q > p)
            restartStrings_.push_back(restartText_.substr(p, q - p));
        p = q + 1;
    }
    entries_.assign(parts.begin() + 1, parts.end());
    offset_ = end + 1;
    ++lineNumber_;
    return 1;
}

int TCtreeTranLogChunkLineHelper::truncateFile() {
    if (::truncate(path_.c_str(), static_cast<off_t>(offset_)) != 0)
        return -1;
    content_.resize(offset_);
    return 0;
}
