// The lockable-resource form of the platform's named mutex.
#pragma once

#include <string>

#include "platform/FXLockableResource.h"
#include "platform/OxNamedMutex.h"

class FXNamedMutex : public FXLockableResource {
public:
    explicit FXNamedMutex(const std::string& name);
    ~FXNamedMutex() override;

    bool TryLock() override;
    bool TryLock(CTimeInterval timeout) override;
    bool Lock() override;
    bool Unlock() override;

    int getLockCount() const { return mutex_.lockCount(); }
    int getLastError() const { return mutex_.lastError(); }
    const std::string& getName() const { return mutex_.name(); }

private:
    OxNamedMutex mutex_;
};
