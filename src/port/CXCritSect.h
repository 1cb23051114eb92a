// An in-process critical section and its scoped holder.
#pragma once

#include <cstdint>

#include "platform/OxCriticalSection.h"

class CXCritSect {
public:
    CXCritSect() = default;
    CXCritSect(const CXCritSect&) = delete;
    CXCritSect& operator=(const CXCritSect&) = delete;

    // 0, or -1 when the platform section refused.
    int lock();
    int unlock();

private:
    OxCriticalSection section_;
};

// Locks a section for the life of the object (when asked to) and unlocks it
// at the end; failures are kept as the error code and logged.
class CXAutoCritSect {
public:
    CXAutoCritSect(CXCritSect* section, const char* owner, bool lockNow);
    ~CXAutoCritSect();
    CXAutoCritSect(const CXAutoCritSect&) = delete;
    CXAutoCritSect& operator=(const CXAutoCritSect&) = delete;

    int getErrCode() const { return errCode_; }
    bool failed() const { return errCode_ != 0; }

private:
    void report(const char* operation, int code);

    CXCritSect* section_ = nullptr;
    int32_t errCode_ = 0;
    const char* owner_;
};
