#include "platform/FXNamedMutex.h"

FXNamedMutex::FXNamedMutex(const std::string& name) : mutex_(name) {}

FXNamedMutex::~FXNamedMutex() = default;

bool FXNamedMutex::TryLock() {
    return mutex_.lock(0);
}

bool FXNamedMutex::TryLock(CTimeInterval timeout) {
    // Spans beyond the platform's range wait without limit.
    const uint64_t ms = timeout.milliseconds();
    return mutex_.lock(ms >= OxNamedMutex::kInfinite ? OxNamedMutex::kInfinite
                                                     : static_cast<unsigned long>(ms));
}

bool FXNamedMutex::Lock() {
    return mutex_.lock(OxNamedMutex::kInfinite);
}

bool FXNamedMutex::Unlock() {
    return mutex_.unlock();
}
