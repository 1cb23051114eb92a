#include "platform/OxNamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/Env.h"
#include "platform/PlatformHome.h"

namespace {

// Longest stem kept from a name; with the hash and ".lock" the file name
// stays far below NAME_MAX.
constexpr size_t kMaxStem = 160;

bool safeChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

uint64_t fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Poll interval while waiting: short at first so that brief holds cost
// little, longer once the holder is evidently busy.
unsigned long pollStep(unsigned long waited) {
    if (waited < 100)
        return 10;
    if (waited < 1000)
        return 50;
    return 250;
}

// Closes a descriptor that was not handed over.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

} // namespace

std::string OxNamedMutex::lockFileName(const std::string& name) {
    std::string stem = name;
    bool changed = stem.empty();
    for (char& c : stem) {
        if (!safeChar(c)) {
            c = '_';
            changed = true;
        }
    }
    if (stem.size() > kMaxStem) {
        stem.resize(kMaxStem);
        changed = true;
    }
    if (changed) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(fnv1a(name)));
        stem += hash;
    }
    return stem + ".lock";
}

OxNamedMutex::OxNamedMutex(const std::string& name)
    : name_(name), path_(platform::homePath("locks", true) + "/" + lockFileName(name)) {}

OxNamedMutex::~OxNamedMutex() {
    if (fd_ >= 0)
        ::close(fd_);
}

int OxNamedMutex::openLockFile() {
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        // The locks folder went away (a scratch home was cleaned up).
        std::string dir = path_.substr(0, path_.find_last_of('/'));
        platform::makeDirs(dir, 0755);
        fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    return fd;
}

bool OxNamedMutex::fail(int error) {
    std::lock_guard<std::mutex> g(mu_);
    lastError_ = error;
    return false;
}

bool OxNamedMutex::lock(unsigned long timeoutMs) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (count_ > 0 && owner_ == std::this_thread::get_id()) {
            ++count_;
            return true;
        }
    }
    FdGuard fd(openLockFile());
    if (fd.get() < 0)
        return fail(errno);

    if (timeoutMs == kInfinite) {
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                return fail(errno);
        }
    } else {
        unsigned long waited = 0;
        while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return fail(errno);
            if (waited >= timeoutMs)
                return fail(ETIMEDOUT);
            unsigned long step = std::min(pollStep(waited), timeoutMs - waited);
            platform::sleepMs(step);
            waited += step;
        }
    }

    std::lock_guard<std::mutex> g(mu_);
    fd_ = fd.release();
    owner_ = std::this_thread::get_id();
    count_ = 1;
    lastError_ = 0;
    return true;
}

bool OxNamedMutex::unlock() {
    std::lock_guard<std::mutex> g(mu_);
    if (count_ == 0) {
        lastError_ = EPERM;
        return false;
    }
    if (--count_ > 0)
        return true;
    // Closing the only descriptor of this acquisition drops the flock.
    ::close(fd_);
    fd_ = -1;
    owner_ = std::thread::id();
    return true;
}

int OxNamedMutex::lockCount() const {
    std::lock_guard<std::mutex> g(mu_);
    return count_;
}

int OxNamedMutex::lastError() const {
    std::lock_guard<std::mutex> g(mu_);
    return lastError_;
}
