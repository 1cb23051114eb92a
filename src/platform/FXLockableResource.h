// The platform's lockable-resource interface and the time-out type it takes.
#pragma once

#include <cstdint>

// A time span in 100-nanosecond units.
class CTimeInterval {
public:
    static constexpr int64_t kTicksPerMillisecond = 10000;
    static constexpr int64_t kTicksPerSecond = 10000000;

    constexpr explicit CTimeInterval(int64_t ticks = 0) : ticks_(ticks) {}
    static constexpr CTimeInterval fromMilliseconds(uint64_t ms) {
        return CTimeInterval(static_cast<int64_t>(ms) * kTicksPerMillisecond);
    }
    static constexpr CTimeInterval fromSeconds(uint64_t seconds) {
        return CTimeInterval(static_cast<int64_t>(seconds) * kTicksPerSecond);
    }

    constexpr int64_t ticks() const { return ticks_; }
    // Whole milliseconds; a negative span counts as none.
    constexpr uint64_t milliseconds() const {
        return ticks_ <= 0 ? 0 : static_cast<uint64_t>(ticks_ / kTicksPerMillisecond);
    }

private:
    int64_t ticks_;
};

class FXLockableResource {
public:
    virtual ~FXLockableResource() = default;
    // One attempt, no waiting.
    virtual bool TryLock() = 0;
    // Waits at most the given span.
    virtual bool TryLock(CTimeInterval timeout) = 0;
    // Waits as long as it takes.
    virtual bool Lock() = 0;
    virtual bool Unlock() = 0;
};
