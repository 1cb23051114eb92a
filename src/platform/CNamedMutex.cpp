#include "platform/CNamedMutex.h"

#include <cerrno>
#include <cstring>

CNamedMutex::CNamedMutex(const std::string& name) : mutex_(name) {}

CNamedMutex::~CNamedMutex() = default;

int CNamedMutex::lock(unsigned long timeoutMs) {
    if (mutex_.lock(timeoutMs)) {
        errorText_.clear();
        return 0;
    }
    const int err = mutex_.lastError();
    if (err == ETIMEDOUT)
        errorText_ = "timed out waiting for mutex '" + mutex_.name() + "'";
    else
        errorText_ = "cannot lock mutex '" + mutex_.name() + "': " + std::strerror(err);
    return err;
}

int CNamedMutex::unlock() {
    if (mutex_.unlock())
        return 0;
    errorText_ = "mutex '" + mutex_.name() + "' is not held";
    return -1;
}

MDLock::MDLock(const std::string& name) : mutex_(name) {}

MDLock::~MDLock() {
    release();
}

bool MDLock::set(unsigned long timeoutMs) {
    if (held_)
        return true;
    held_ = mutex_.lock(timeoutMs) == 0;
    return held_;
}

void MDLock::release() {
    if (held_)
        mutex_.unlock();
    held_ = false;
}
