// Stand-in for the platform's in-process mutex and its scoped holder: a
// recursive mutex of one process (threads of other processes are not
// excluded; machine-wide exclusion is CNamedMutex / MDLock).
#pragma once

#include <mutex>

#include "platform/FXLockableResource.h"

class FXMutex : public FXLockableResource {
public:
    FXMutex() = default;
    FXMutex(const FXMutex&) = delete;
    FXMutex& operator=(const FXMutex&) = delete;

    bool TryLock() override { return mutex_.try_lock(); }
    bool TryLock(CTimeInterval timeout) override {
        return mutex_.try_lock_for(std::chrono::milliseconds(timeout.milliseconds()));
    }
    bool Lock() override {
        mutex_.lock();
        return true;
    }
    bool Unlock() override {
        mutex_.unlock();
        return true;
    }

private:
    std::recursive_timed_mutex mutex_;
};

// Holds a lockable resource for the life of the scope.
class auto_lock {
public:
    explicit auto_lock(FXLockableResource& resource) : resource_(resource) { resource_.Lock(); }
    ~auto_lock() { resource_.Unlock(); }
    auto_lock(const auto_lock&) = delete;
    auto_lock& operator=(const auto_lock&) = delete;

private:
    FXLockableResource& resource_;
};
