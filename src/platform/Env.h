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
    // Nanoseconds of a clock that never goes back (CLOCK_MONOTONIC): for
    // deadlines and durations that a wall clock set back must not disturb.
    virtual long long monotonicNs();
    // The platform's millisecond sleep.
    virtual void sleepMs(unsigned long ms);
    // Free-space reading of the filesystem holding path (statvfs64 semantics).
    virtual int statvfs(const char* path, struct statvfs64* out);
    // The wait for a message the platform asked to wait requestedMs for.
    virtual unsigned long receiveTimeoutMs(unsigned long requestedMs) { return requestedMs; }
};

// The Env in force for this process; never null.
Env& env();
// Installs e (null restores the real one) and returns the previous Env.
Env* setEnv(Env* e);

inline time_t now() {
    return env().now();
}
inline long long monotonicNs() {
    return env().monotonicNs();
}
inline void sleepMs(unsigned long ms) {
    env().sleepMs(ms);
}

// This process's id, asked of the kernel once; a forked child asks again
// (the fork handler forgets the parent's). Lock ownership and log batches
// compare it on every call, so it must be cheap.
pid_t processId();

// A clock that only moves when someone sleeps: every sleep advances it at once
// and is recorded, so tests assert the sequence of waits instead of timing them.
// Its monotonic reading moves with sleeps and forward advances only: set and
// a negative advance turn the wall clock back and leave it alone.
// Installs itself on construction and restores the previous Env on destruction.
class VirtualClock : public Env {
public:
    explicit VirtualClock(time_t start = 1700000000);
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    time_t now() override;
    long long monotonicNs() override;
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
    long long monotonicMs_ = 0;
    std::vector<unsigned long> waits_;
    Env* previous_;
};

} // namespace platform

// The platform's sleep as the library calls it.
void QISLEEP_InTeRnAl(unsigned long milliseconds);
