#include "platform/SimulatedVolume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string resolve(const char* path) {
    char buffer[PATH_MAX];
    return ::realpath(path, buffer) ? std::string(buffer) : std::string();
}

// Sum of the sizes of the non-directory entries below dirFd (consumed).
// Entries that vanish while the tree is walked are simply not counted.
unsigned long long treeBytes(int dirFd) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    unsigned long long total = 0;
    while (struct dirent64* e = ::readdir64(dir)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat64 st;
        if (::fstatat64(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            int sub = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                total += treeBytes(sub);
        } else {
            total += static_cast<unsigned long long>(st.st_size);
        }
    }
    ::closedir(dir);
    return total;
}

} // namespace

SimulatedVolume::SimulatedVolume(const std::string& root, unsigned long long capacity,
                                 unsigned long blockSize)
    : root_(resolve(root.c_str())), capacity_(capacity), blockSize_(blockSize ? blockSize : 4096),
      previous_(setEnv(this)) {
    if (root_.empty())
        root_ = root;
}

SimulatedVolume::~SimulatedVolume() {
    setEnv(previous_);
}

time_t SimulatedVolume::now() {
    return previous_ ? previous_->now() : Env::now();
}

void SimulatedVolume::sleepMs(unsigned long ms) {
    if (previous_)
        previous_->sleepMs(ms);
    else
        Env::sleepMs(ms);
}

void SimulatedVolume::setCapacity(unsigned long long capacity) {
    capacity_ = capacity;
}

bool SimulatedVolume::contains(const std::string& resolved) const {
    if (resolved.compare(0, root_.size(), root_) != 0)
        return false;
    return resolved.size() == root_.size() || resolved[root_.size()] == '/' || root_ == "/";
}

unsigned long long SimulatedVolume::usedBytes() const {
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? 0 : treeBytes(fd);
}

int SimulatedVolume::statvfs(const char* path, struct statvfs64* out) {
    const int real = previous_ ? previous_->statvfs(path, out) : Env::statvfs(path, out);
    if (real != 0 || !contains(resolve(path)))
        return real;
    const unsigned long long used = usedBytes();
    const unsigned long long free = used >= capacity_ ? 0 : capacity_ - used;
    out->f_bsize = blockSize_;
    out->f_frsize = blockSize_;
    out->f_blocks = capacity_ / blockSize_;
    out->f_bfree = free / blockSize_;
    out->f_bavail = free / blockSize_;
    return 0;
}

} // namespace platform
