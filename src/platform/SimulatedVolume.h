// A volume of a chosen size laid over a directory, for tests and demos that
// need to run a disk full (or nearly full) without filling a real one.
//
// While installed, statvfs of any path below the root (the root included)
// reports a filesystem of `capacity` bytes in blocks of `blockSize`:
//   f_bsize = f_frsize = blockSize
//   f_blocks            = capacity / blockSize
//   f_bfree = f_bavail  = (capacity - used) / blockSize, never below 0
// where `used` is the sum of the sizes (lstat st_size) of everything below
// the root that is not a directory, read afresh on every call: files written,
// grown, truncated or removed by any process show up at once. A link counts
// its own size. Other fields (f_files, f_fsid, f_namemax...) are those of the
// real filesystem. Paths are resolved (realpath) before the comparison, so a
// link that leads out of the root reports the filesystem it leads to; a path
// that does not exist fails as a real statvfs would.
//
// Paths outside the root, now() and sleepMs() go to the Env that was in force
// when the volume was installed, so it stacks with a VirtualClock in either
// order. Installs itself on construction and restores the previous Env on
// destruction (destroy stacked Envs in the reverse order of construction).
#pragma once

#include <string>

#include "platform/Env.h"

namespace platform {

class SimulatedVolume : public Env {
public:
    SimulatedVolume(const std::string& root, unsigned long long capacity,
                    unsigned long blockSize = 4096);
    ~SimulatedVolume() override;
    SimulatedVolume(const SimulatedVolume&) = delete;
    SimulatedVolume& operator=(const SimulatedVolume&) = delete;

    time_t now() override;
    void sleepMs(unsigned long ms) override;
    int statvfs(const char* path, struct statvfs64* out) override;

    void setCapacity(unsigned long long capacity);
    unsigned long long capacity() const { return capacity_; }
    unsigned long blockSize() const { return blockSize_; }
    const std::string& root() const { return root_; }
    // Bytes stored below the root now, as statvfs counts them.
    unsigned long long usedBytes() const;

private:
    bool contains(const std::string& resolved) const;

    std::string root_;
    unsigned long long capacity_;
    unsigned long blockSize_;
    Env* previous_;
};

} // namespace platform
