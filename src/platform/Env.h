// The seam through which the library reaches the clock, sleep and free-space
// readings. Tests install their own Env (a virtual clock, a simulated volume).
#pragma once

#include <sys/statvfs.h>
#include <sys/types.h>

#include <ctime>
#include <mutex>
#include <vector>

namespace platform {

class Env {
public:
    virtual ~Env() = default;
    // Seconds since the epoch, as time () gives it.
    virtual time_t now();
    // The platform's millisecond sleep.
    virtual void sleepMs(unsigned long ms);
    // Free-space reading of the filesystem holding path (statvfs64 semantics).
    virtual int statvfs(const char* path, struct statvfs64* out);
};

// The Env in force for this process; never null.
Env& env();
// Installs e (null restores the real one) and returns the previous Env.
Env* setEnv(Env* e);

inline time_t now() {
    return env().now();
}
inline void sleepMs(unsigned long ms) {
    env().sleepMs(ms);
}

// A clock that only moves when someone sleeps: every sleep advances it at once
// and is recorded, so tests assert the sequence of waits instead of timing them.
// Installs itself on construction and restores the previous Env on destruction.
class VirtualClock : public Env {
public:
    explicit VirtualClock(time_t start = 1700000000);
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    time_t now() override;
    void sleepMs(unsigned long ms) override;
    int statvfs(const char* path, struct statvfs64* out) override;

    void advance(long seconds);
    void set(time_t t);
    // Each sleep in milliseconds, in order.
    std::vector<unsigned long> waits() const;
    // Each sleep in whole seconds, in order (for the 1/2/5/10-second steps).
    std::vector<unsigned long> waitSeconds() const;
    void clearWaits();

private:
    mutable std::mutex mu_;
    long long nowMs_;
    std::vector<unsigned long> waits_;
    Env* previous_;
};

} // namespace platform

// The platform's sleep as the library calls it.
void QISLEEP_InTeRnAl(unsigned long milliseconds);
