#include "port/CXFileLock.h"

CXFileLock::CXFileLock() = default;

CXFileLock::~CXFileLock() {
    // The base destructor can only drop the record lock; release the mutex
    // here while the object is still a CXFileLock.
    if (isLocked())
        unlock();
}

int CXFileLock::lock(sfLockMode_t mode, unsigned long timeoutSeconds) {
    const int rc = CXFile::lock(mode, timeoutSeconds);
    if (rc != 1 || mode != sfLockExclusive)
        return rc;
    // An object reopened on another file must not keep guarding the old one.
    const std::string name = mutexNameFromPath(getPath());
    if (!namedMutex_ || namedMutex_->getName() != name)
        namedMutex_ = std::make_unique<FXNamedMutex>(name);
    if (!namedMutex_->TryLock(CTimeInterval::fromSeconds(timeoutSeconds))) {
        // Another thread of some process holds the file's mutex: give the
        // record lock back and report the file busy.
        CXFile::unlock();
        return 0;
    }
    return rc;
}

int CXFileLock::unlock() {
    if (!isLocked())
        return 0;
    const int rc = CXFile::unlock();
    if (namedMutex_ && namedMutex_->getLockCount() > 0)
        namedMutex_->Unlock();
    return rc;
}
