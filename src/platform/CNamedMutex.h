// Machine-wide named mutexes as the cache and results code takes them: a
// mutex object with a waiting lock, and a scoped holder for a name.
#pragma once

#include <memory>
#include <string>

#include "platform/OxNamedMutex.h"

class CNamedMutex {
public:
    explicit CNamedMutex(const std::string& name);
    ~CNamedMutex();
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Waits at most timeoutMs (0xFFFFFFFF: without limit). 0 when taken;
    // otherwise the error (ETIMEDOUT when the time-out passed), whose text
    // getErrorText gives.
    int lock(unsigned long timeoutMs);
    // 0, or -1 when this object does not hold the mutex.
    int unlock();
    bool isLocked() const { return mutex_.lockCount() > 0; }
    const std::string& getErrorText() const { return errorText_; }
    const std::string& getName() const { return mutex_.name(); }

private:
    OxNamedMutex mutex_;
    std::string errorText_;
};

// Holds a named mutex from set () until release () or the end of the scope.
class MDLock {
public:
    explicit MDLock(const std::string& name);
    ~MDLock();
    MDLock(const MDLock&) = delete;
    MDLock& operator=(const MDLock&) = delete;

    // Takes the mutex, waiting at most timeoutMs (0xFFFFFFFF: without limit).
    bool set(unsigned long timeoutMs);
    // Gives the mutex back when held.
    void release();
    bool isSet() const { return held_; }
    const CNamedMutex& mutex() const { return mutex_; }

private:
    CNamedMutex mutex_;
    bool held_ = false;
};
