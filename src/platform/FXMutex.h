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

// A scoped hold on a lockable resource: taken at construction when asked,
// or later with Lock; given back by Unlock or at the end of the scope.
class auto_lock {
public:
    auto_lock(FXLockableResource* resource, bool lockNow) : resource_(resource) {
        if (lockNow)
            Lock();
    }
    ~auto_lock() { Unlock(); }
    auto_lock(const auto_lock&) = delete;
    auto_lock& operator=(const auto_lock&) = delete;

    void Lock() {
        if (resource_ && !locked_)
            locked_ = resource_->Lock();
    }
    void Unlock() {
        if (locked_)
            resource_->Unlock();
        locked_ = false;
    }
    bool isLocked() const { return locked_; }

private:
    FXLockableResource* resource_;
    bool locked_ = false;
};
