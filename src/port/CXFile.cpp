#include "port/CXFile.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Env.h"

namespace {

constexpr uint32_t kDefaultBufSize = 1024;
constexpr int kDefaultPermissions = 0744;
constexpr unsigned long kOpenRetrySleepMs = 1000;
constexpr unsigned long kMaxLockAttempts = 499999;
constexpr unsigned long kNoLockBackoffLimit = 299;
constexpr unsigned long kNoLockMaxUnit = 32;

constexpr int kErrWrongState = -1;
constexpr int kErrShort = -2;
constexpr int kErrLockAttempts = -7777;

constexpr wchar_t kByteOrderMark = 0xFEFF;

// Set once the kernel has rejected an OFD command, so later locks go straight
// to classic record locks instead of paying for a failing call each time.
std::atomic<bool> ofdUnsupported{false};

// Close-on-exec always: a program that a host process starts while it holds a
// lock must not inherit the descriptor, or the (open-file-description) lock
// outlives the process that took it.
int openFlags(sfOpenMode_t mode) {
    switch (mode) {
    case sfOpenRead:
        return O_RDONLY | O_CLOEXEC;
    case sfOpenWrite:
        return O_WRONLY | O_CLOEXEC;
    case sfOpenReadWrite:
        return O_RDWR | O_CLOEXEC;
    case sfOpenCreate:
        return O_RDWR | O_CREAT | O_CLOEXEC;
    case sfOpenCreateNew:
        return O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
    }
    return -1;
}

// The fallback changes what a lock means, so it must not pass unnoticed.
void reportOfdFallback(const std::string& path, int err) {
    TDebuggable log;
    log.setDebugPrefix("CXFILE");
    log.debug(1,
              "lock: open-file-description locks refused (errno %d) on '%s'; using classic "
              "record locks from now on: two objects of this process no longer exclude each "
              "other, and closing any descriptor of a file drops the process's lock on it\n",
              err, path.c_str());
    log.ev() << path << err;
    log.ev().MajorEvent(CXFile::kRecordLockFallbackEvent, 0, 0);
}

struct flock64 wholeFile(short type) {
    struct flock64 fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0; // must be 0 for OFD commands
    return fl;
}

} // namespace

// The buffers are allocated when the file is first opened: many objects carry
// files they never open (a clean-up builds one cache directory object, with
// its State and lock-slot files, for every directory it scans).
CXFile::CXFile() {
    bufSize_ = kDefaultBufSize;
}

bool CXFile::allocateBuffers() {
    if (!readBuffer_) {
        readBuffer_ = static_cast<char*>(std::malloc(bufSize_));
        readPtr_ = readBuffer_;
    }
    if (!writeBuffer_)
        writeBuffer_ = static_cast<char*>(std::malloc(bufSize_));
    if (!readBuffer_ || !writeBuffer_)
        return false;
    if (allocated_ == 0)
        allocated_ = bufSize_;
    return true;
}

CXFile::~CXFile() {
    if (opened_) {
        // A forked copy leaves the parent's buffered bytes to the parent.
        if (forkedCopy())
            writePending_ = 0;
        bufWriteFlush();
        if (locked_)
            unlock();
        if (!handlesGiven_)
            closeDescriptors();
    }
    std::free(readBuffer_);
    std::free(writeBuffer_);
}

int CXFile::fail(int code) {
    lastError_ = code;
    return -1;
}

ssize_t CXFile::rawRead(void* buffer, size_t length) {
    ssize_t n = ::read(readFd_, buffer, length);
    if (n < 0)
        lastError_ = errno;
    else
        position_ += static_cast<uint64_t>(n);
    return n;
}

bool CXFile::rawWrite(const void* buffer, size_t length) {
    ssize_t n = ::write(writeFd_, buffer, length);
    if (n > 0)
        position_ += static_cast<uint64_t>(n);
    if (n == static_cast<ssize_t>(length))
        return true;
    lastError_ = n < 0 ? errno : kErrShort;
    return false;
}

int CXFile::closeDescriptors() {
    int err = 0;
    if (readFd_ >= 0 && ::close(readFd_) != 0)
        err = errno;
    if (writeFd_ >= 0 && writeFd_ != readFd_ && ::close(writeFd_) != 0 && err == 0)
        err = errno;
    readFd_ = writeFd_ = mainFd_ = -1;
    return err != 0 ? fail(err) : 0;
}

bool CXFile::forkedCopy() const {
    return opened_ && openerPid_ != platform::processId();
}

int CXFile::isLocked() const {
    return locked_ && lockPid_ == platform::processId();
}

void CXFile::forgetLock() {
    locked_ = 0;
    ofdLock_ = false;
}

int CXFile::open(const char* path, sfOpenMode_t mode, unsigned int retries, int permissions) {
    if (opened_)
        return fail(kErrWrongState);
    path_ = path ? path : "";
    if (!allocateBuffers())
        return fail(ENOMEM);
    if (static_cast<unsigned int>(mode) > sfOpenCreateNew)
        return fail(EINVAL);

    const mode_t perms = static_cast<mode_t>(permissions ? permissions : kDefaultPermissions);
    int fd;
    for (;;) {
        fd = ::open64(path_.c_str(), openFlags(mode), perms);
        if (fd >= 0)
            break;
        const int err = errno;
        if (retries == 0)
            return fail(err);
        // Every failure is retried: a caller passing retries expects the file
        // to appear or become accessible within that many seconds.
        platform::sleepMs(kOpenRetrySleepMs);
        --retries;
    }

    mainFd_ = fd;
    readFd_ = mode == sfOpenWrite ? -1 : fd;
    writeFd_ = mode == sfOpenRead ? -1 : fd;
    openerPid_ = platform::processId();
    opened_ = 1;
    mode_ = mode;
    locked_ = 0;
    ofdLock_ = false;
    handlesGiven_ = 0;
    return 0;
}

int CXFile::setHandles(int readFd, int writeFd, sfOpenMode_t mode) {
    if (opened_ && !handlesGiven_)
        return fail(kErrWrongState);
    if (!allocateBuffers())
        return fail(ENOMEM);
    readFd_ = readFd;
    writeFd_ = writeFd;
    mainFd_ = mode == sfOpenWrite ? writeFd : readFd;
    mode_ = mode;
    openerPid_ = platform::processId();
    opened_ = 1;
    handlesGiven_ = 1;
    locked_ = 0;
    ofdLock_ = false;
    return 0;
}

int CXFile::close() {
    if (!opened_)
        return 0;
    // A forked copy only closes its descriptors: the buffered bytes and the
    // lock are the parent's.
    if (forkedCopy())
        writePending_ = 0;
    const int flushed = bufWriteFlush();
    bufReadFlush();
    if (locked_)
        unlock();
    // Whatever a failed flush left behind must not leak into the next file
    // this object opens.
    writePending_ = 0;
    opened_ = 0;
    forgetLock();
    // A failed close leaves the object closed too: its descriptor is gone.
    if (closeDescriptors() != 0)
        return -1;
    return flushed;
}

int CXFile::read(void* buffer, unsigned long length) {
    if (!opened_ || mode_ == sfOpenWrite)
        return fail(kErrWrongState);
    ssize_t n = rawRead(buffer, length);
    return n < 0 ? -1 : static_cast<int>(n);
}

int CXFile::write(const void* buffer, unsigned long length) {
    if (!opened_ || mode_ == sfOpenRead)
        return fail(kErrWrongState);
    return rawWrite(buffer, length) ? static_cast<int>(length) : -1;
}

int CXFile::selectForRead(unsigned int seconds) {
    if (!opened_)
        return fail(kErrWrongState);
    if (readFd_ < 0 || readFd_ >= FD_SETSIZE)
        return fail(EBADF);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(readFd_, &set);
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = 0;
    int rc = ::select(readFd_ + 1, &set, nullptr, nullptr, &tv);
    if (rc < 0)
        lastError_ = errno;
    return rc;
}

int CXFile::seek(long long offset, sfSeekMode_t origin) {
    if (!opened_)
        return fail(kErrWrongState);
    int whence;
    switch (origin) {
    case sfSeekSet:
        whence = SEEK_SET;
        break;
    case sfSeekCur:
        whence = SEEK_CUR;
        break;
    case sfSeekEnd:
        whence = SEEK_END;
        break;
    default:
        return fail(kErrWrongState);
    }
    if (bufWriteFlush() != 0)
        return -1;
    off64_t pos = ::lseek64(mainFd_, static_cast<off64_t>(offset), whence);
    if (pos < 0)
        return fail(errno);
    position_ = static_cast<uint64_t>(pos);
    bufReadFlush();
    return 0;
}

unsigned long long CXFile::getCurOffset() {
    if (writePending_ > 0)
        return position_ + writePending_;
    return position_ - readAvailable_;
}

int CXFile::setLock(short type, bool* usedOfd) {
    struct flock64 fl = wholeFile(type);
    if (!ofdUnsupported.load(std::memory_order_relaxed)) {
        if (::fcntl(mainFd_, F_OFD_SETLK, &fl) == 0) {
            *usedOfd = true;
            return 0;
        }
        const int err = errno;
        if (err != EINVAL)
            return -1;
        if (!ofdUnsupported.exchange(true))
            reportOfdFallback(path_, err);
        fl = wholeFile(type);
    }
    *usedOfd = false;
    return ::fcntl(mainFd_, F_SETLK, &fl);
}

int CXFile::lock(sfLockMode_t mode, unsigned long timeoutSeconds) {
    if (!opened_ || locked_)
        return fail(kErrWrongState);
    short type;
    switch (mode) {
    case sfLockExclusive:
        type = F_WRLCK;
        break;
    case sfLockShared:
        type = F_RDLCK;
        break;
    default:
        return fail(kErrWrongState);
    }

    unsigned long attempts = 0;
    const time_t start = platform::now();
    unsigned long waited = 0;
    unsigned long step = 1;
    unsigned long backoffUnit = 1;
    unsigned long backoffTotal = 0;

    for (;;) {
        if (attempts > kMaxLockAttempts)
            return fail(kErrLockAttempts);
        bool ofd = false;
        if (setLock(type, &ofd) == 0) {
            locked_ = 1;
            ofdLock_ = ofd;
            lockPid_ = platform::processId();
            return 1;
        }
        const int err = errno;
        lastError_ = err;
        switch (err) {
        case EINTR:
            ++attempts;
            continue;
        case EAGAIN:
#if EACCES != EAGAIN
        case EACCES:
#endif
        {
            if (timeoutSeconds == 0)
                return 0;
            const time_t now = platform::now();
            if (now < start)
                return 0;
            const unsigned long elapsed = static_cast<unsigned long>(now - start);
            if (elapsed >= timeoutSeconds)
                return 0;
            const unsigned long remaining = timeoutSeconds - elapsed;
            if (waited > 120)
                step = std::min(remaining, 10UL);
            else if (waited > 60)
                step = std::min(remaining, 5UL);
            else if (waited > 30)
                step = std::min(remaining, 2UL);
            platform::sleepMs(step * 1000);
            waited += step;
            ++attempts;
            continue;
        }
        case ENOLCK:
            // The system ran out of lock records; back off regardless of the
            // caller's time-out, which is about other holders.
            if (backoffTotal > kNoLockBackoffLimit)
                return -1;
            platform::sleepMs(backoffUnit * 1000);
            backoffTotal += backoffUnit;
            if (backoffUnit < kNoLockMaxUnit)
                backoffUnit *= 2;
            ++attempts;
            continue;
        default:
            return -1;
        }
    }
}

int CXFile::unlock() {
    if (!locked_)
        return fail(kErrWrongState);
    if (lockPid_ != platform::processId()) {
        // A forked child: an OFD lock is shared with the parent's descriptor,
        // so releasing it here would release the parent's lock.
        writePending_ = 0;
        forgetLock();
        return 0;
    }
    const int flushed = bufWriteFlush();
    struct flock64 fl = wholeFile(F_UNLCK);
    if (::fcntl(mainFd_, ofdLock_ ? F_OFD_SETLK : F_SETLK, &fl) != 0)
        return fail(errno);
    locked_ = 0;
    ofdLock_ = false;
    return flushed;
}

int CXFile::truncate() {
    if (!opened_)
        return fail(kErrWrongState);
    if (seek(0, sfSeekSet) != 0)
        return -1;
    if (::ftruncate64(mainFd_, 0) != 0)
        return fail(errno);
    return 0;
}

int CXFile::truncateTo(unsigned long long length) {
    if (!opened_)
        return fail(kErrWrongState);
    if (bufWriteFlush() != 0)
        return -1;
    if (::ftruncate64(mainFd_, static_cast<off64_t>(length)) != 0)
        return fail(errno);
    return 0;
}

int CXFile::bufRead(void* buffer, unsigned long length) {
    if (!opened_ || mode_ == sfOpenWrite)
        return fail(kErrWrongState);
    char* out = static_cast<char*>(buffer);
    unsigned long total = 0;
    while (total < length) {
        const unsigned long remaining = length - total;
        if (readAvailable_ == 0) {
            if (remaining >= bufSize_) {
                // Large request on an empty buffer: one call, no copy.
                ssize_t n = rawRead(out + total, remaining);
                if (n > 0)
                    total += static_cast<unsigned long>(n);
                return static_cast<int>(total);
            }
            ssize_t n = rawRead(readBuffer_, bufSize_);
            if (n <= 0)
                return total > 0 ? static_cast<int>(total) : static_cast<int>(n);
            readPtr_ = readBuffer_;
            readAvailable_ = static_cast<uint32_t>(n);
        }
        const unsigned long k = std::min<unsigned long>(readAvailable_, remaining);
        std::memcpy(out + total, readPtr_, k);
        readPtr_ += k;
        readAvailable_ -= static_cast<uint32_t>(k);
        total += k;
    }
    return static_cast<int>(length);
}

int CXFile::bufWrite(const void* buffer, unsigned long length) {
    if (!opened_ || mode_ == sfOpenRead)
        return fail(kErrWrongState);
    const char* in = static_cast<const char*>(buffer);
    unsigned long remaining = length;
    while (remaining > 0) {
        if ((writePending_ > 0 || remaining < bufSize_) && writePending_ < bufSize_) {
            const unsigned long k = std::min<unsigned long>(bufSize_ - writePending_, remaining);
            std::memcpy(writeBuffer_ + writePending_, in, k);
            writePending_ += static_cast<uint32_t>(k);
            in += k;
            remaining -= k;
        }
        if (writePending_ >= bufSize_) {
            if (!rawWrite(writeBuffer_, writePending_))
                return -1;
            writePending_ = 0;
        }
        if (remaining >= bufSize_) {
            // Large remainder on an empty buffer: one call, no copy.
            if (!rawWrite(in, remaining))
                return -1;
            return static_cast<int>(length);
        }
    }
    return static_cast<int>(length);
}

int CXFile::bufWriteFlush() {
    if (writePending_ == 0)
        return 0;
    if (!opened_ || writeFd_ < 0)
        return fail(kErrWrongState);
    if (!rawWrite(writeBuffer_, writePending_))
        return -1;
    writePending_ = 0;
    return 0;
}

void CXFile::bufReadFlush() {
    readAvailable_ = 0;
    readPtr_ = readBuffer_;
}

int CXFile::putLine(const char* text, bool flush) {
    if (!opened_ || mode_ == sfOpenRead || !text)
        return fail(kErrWrongState);
    const size_t len = std::strlen(text);
    // Common case: the text and its LF fit without filling the buffer, so
    // neither a write nor the general path is needed.
    if (writePending_ + len + 1 < bufSize_) {
        char* dst = writeBuffer_ + writePending_;
        std::memcpy(dst, text, len);
        dst[len] = '\n';
        writePending_ += static_cast<uint32_t>(len + 1);
    } else {
        if (bufWrite(text, len) < 0)
            return -1;
        if (bufWrite("\n", 1) < 0)
            return -1;
    }
    if (flush && bufWriteFlush() != 0)
        return -1;
    return 0;
}

int CXFile::fillReadBuffer() {
    ssize_t n = rawRead(readBuffer_, bufSize_);
    if (n > 0) {
        readPtr_ = readBuffer_;
        readAvailable_ = static_cast<uint32_t>(n);
    }
    return static_cast<int>(n < 0 ? -1 : n);
}

int CXFile::getLine(char* buffer, unsigned long size) {
    if (size == 0)
        return fail(kErrWrongState);
    buffer[0] = '\0';
    if (!opened_ || mode_ == sfOpenWrite)
        return fail(kErrWrongState);

    const unsigned long capacity = size - 1;
    unsigned long stored = 0;
    bool truncated = false;
    bool heldCr = false;

    auto store = [&](const char* src, unsigned long n) {
        const unsigned long room = capacity - stored;
        const unsigned long k = std::min(n, room);
        std::memcpy(buffer + stored, src, k);
        stored += k;
        if (k < n) {
            truncated = true;
            lastError_ = kErrShort;
        }
    };

    bool endOfLine = false;
    while (!endOfLine) {
        if (readAvailable_ == 0) {
            int n = fillReadBuffer();
            if (n < 0) {
                buffer[stored] = '\0';
                return -1;
            }
            if (n == 0)
                break; // end of file; a held CR is dropped
        }
        if (heldCr) {
            const char c = *readPtr_++;
            --readAvailable_;
            if (c == '\n') {
                endOfLine = true;
            } else {
                // A CR before anything but LF is data; before another CR one
                // of the pair is emitted and the other stays held.
                store("\r", 1);
                if (c != '\r') {
                    heldCr = false;
                    store(&c, 1);
                }
            }
            continue;
        }
        // Copy the run of ordinary bytes up to the next LF or CR in one go.
        const char* p = readPtr_;
        const unsigned long avail = readAvailable_;
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', avail));
        const unsigned long upToLf = lf ? static_cast<unsigned long>(lf - p) : avail;
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', upToLf));
        const unsigned long plain = cr ? static_cast<unsigned long>(cr - p) : upToLf;
        store(p, plain);
        readPtr_ += plain;
        readAvailable_ -= static_cast<uint32_t>(plain);
        if (cr || lf) {
            ++readPtr_;
            --readAvailable_;
            if (cr)
                heldCr = true;
            else
                endOfLine = true;
        }
    }
    buffer[stored] = '\0';
    if (truncated)
        return -1;
    // At end of file a line counts only when something was stored.
    return endOfLine || stored > 0 ? 1 : 0;
}

bool CXFile::nextUnit(wchar_t* unit, int* status) {
    if (readAvailable_ < sizeof(wchar_t)) {
        // Move a partial unit to the front and read behind it; a pipe may
        // deliver units split across reads.
        const uint32_t left = readAvailable_;
        if (left > 0 && readPtr_ != readBuffer_)
            std::memmove(readBuffer_, readPtr_, left);
        readPtr_ = readBuffer_;
        while (readAvailable_ < sizeof(wchar_t)) {
            if (readAvailable_ >= bufSize_) {
                *status = 0;
                return false;
            }
            ssize_t n = rawRead(readBuffer_ + readAvailable_, bufSize_ - readAvailable_);
            if (n < 0) {
                *status = -1;
                return false;
            }
            if (n == 0) {
                // A trailing partial unit is not a character.
                readAvailable_ = 0;
                *status = 0;
                return false;
            }
            readAvailable_ += static_cast<uint32_t>(n);
        }
    }
    std::memcpy(unit, readPtr_, sizeof(wchar_t));
    readPtr_ += sizeof(wchar_t);
    readAvailable_ -= sizeof(wchar_t);
    return true;
}

int CXFile::getLineW(wchar_t* buffer, unsigned long size) {
    // size counts bytes; the terminating zero must fit as well.
    if (size < sizeof(wchar_t))
        return fail(kErrWrongState);
    buffer[0] = L'\0';
    if (!opened_ || mode_ == sfOpenWrite)
        return fail(kErrWrongState);

    const unsigned long capacity = size / sizeof(wchar_t) - 1;
    unsigned long stored = 0;
    bool truncated = false;
    bool heldCr = false;
    bool afterBom = false;

    auto store = [&](wchar_t c) {
        if (stored < capacity) {
            buffer[stored++] = c;
        } else {
            truncated = true;
            lastError_ = kErrShort;
        }
    };

    for (;;) {
        wchar_t c;
        int status = 0;
        if (!nextUnit(&c, &status)) {
            if (status < 0) {
                buffer[stored] = L'\0';
                return -1;
            }
            break;
        }
        if (c == kByteOrderMark && !afterBom) {
            afterBom = true;
            continue;
        }
        afterBom = false;
        if (c == L'\n') {
            buffer[stored] = L'\0';
            return truncated ? -1 : 1;
        }
        if (c == L'\r') {
            if (heldCr)
                store(L'\r');
            heldCr = true;
            continue;
        }
        if (heldCr) {
            store(L'\r');
            heldCr = false;
        }
        store(c);
    }
    buffer[stored] = L'\0';
    if (truncated)
        return -1;
    return stored == 0 ? 0 : 1;
}

int CXFile::setBufSize(unsigned int size) {
    if (size == 0)
        return fail(EINVAL);
    if (!readBuffer_ || !writeBuffer_) {
        // Not opened yet: the buffers get this size when they are made.
        bufSize_ = size;
        return 0;
    }
    if (size > allocated_) {
        char* grownRead = static_cast<char*>(std::realloc(readBuffer_, size));
        if (!grownRead)
            return fail(ENOMEM);
        readPtr_ = grownRead + (readPtr_ - readBuffer_);
        readBuffer_ = grownRead;
        char* grownWrite = static_cast<char*>(std::realloc(writeBuffer_, size));
        if (!grownWrite)
            return fail(ENOMEM);
        writeBuffer_ = grownWrite;
        allocated_ = size;
    }
    bufSize_ = size;
    return 0;
}

int CXFile::setLastError(CXFile& other) {
    lastError_ = other.lastError_;
    return lastError_;
}

std::string CXFile::mutexNameFromPath(const std::string& path) {
    std::string tail;
    size_t slashes = 0;
    size_t cut = std::string::npos;
    for (size_t i = path.size(); i-- > 0;) {
        if (path[i] == '/' && ++slashes == 6) {
            cut = i;
            break;
        }
    }
    if (cut != std::string::npos)
        tail = path.substr(cut + 1);
    else if (!path.empty() && path[0] == '/')
        tail = path.substr(1);
    else
        tail = path;
    std::replace(tail.begin(), tail.end(), '/', '_');
    return tail;
}
