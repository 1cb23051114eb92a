// Locks on cache directories: a whole-file record lock on each directory's
// State file, held through one of four slots so that an update can hold the
// previous index and the new one at the same time.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"

int IndexCacheDirBase::writeLock(int timeout) {
    return myLock(timeout, true);
}

int IndexCacheDirBase::readLock(int timeout) {
    return myLock(timeout, false);
}

int IndexCacheDirBase::myLock(int timeout, bool write) {
    const char* path = cacheDirPath_.get();
    if (!path) {
        debug(1, "myLock: no cache dir\n");
        return -1;
    }
    if (exclusiveLockingDisabled_)
        write = false;
    const bool probe = timeout == 0;

    // The directory's own slot wins; otherwise the last free slot before it,
    // so an empty table hands out 3, 2, 1, 0.
    int own = -1;
    int freeSlot = -1;
    for (int i = 0; i < kLockSlots; ++i) {
        if (lockSlots_[i].name && std::strcmp(lockSlots_[i].name, path) == 0) {
            own = i;
            break;
        }
        if (!lockSlots_[i].file.isOpened())
            freeSlot = i;
    }

    int index;
    if (own >= 0) {
        if (lockSlots_[own].file.isLocked()) {
            if (probe)
                return -1;
            debug(1, "attempting to lock %s for %s when already locked\n", lockSlots_[own].name,
                  write ? "write" : "read");
            throw "already locked";
        }
        index = own;
    } else {
        if (freeSlot < 0) {
            if (!probe)
                throw "no more locks available";
            debug(1, "no more locks available\n");
            return -1;
        }
        char* name = ::strdup(path);
        if (!name) {
            errorCode_ = errno;
            debug(1, "strdup failed, errno %d\n", errorCode_);
            if (probe)
                return -1;
            throw "strdup failed";
        }
        std::free(lockSlots_[freeSlot].name);
        lockSlots_[freeSlot].name = name;
        index = freeSlot;
    }

    LockSlot& slot = lockSlots_[index];
    std::string stateName = std::string(path) + separator_ + "State";
    if (!slot.file.isOpened() &&
        slot.file.open(stateName.c_str(), sfOpenCreate, 0, static_cast<int>(creationMode_)) != 0) {
        errorCode_ = slot.file.getLastError();
        debug(1, "cannot open %s, code %d\n", stateName.c_str(), errorCode_);
        if (probe)
            return -1;
        throw "open lock error";
    }

    int rc =
        slot.file.lock(write ? sfLockExclusive : sfLockShared, static_cast<unsigned long>(timeout));
    if (probe) {
        // A probe that finds another holder is an answer, not a failure.
        if (rc < 0) {
            errorCode_ = slot.file.getLastError();
            debug(1, "%s while trying to lock %s\n", "Error", stateName.c_str());
        }
        return rc;
    }
    if (rc == 1) {
        currentLockSlot_ = index;
        return 1;
    }
    debug(1, "%s while trying to lock %s\n", rc == 0 ? "Timeout" : "Error", stateName.c_str());
    if (rc == 0)
        throw LOCKING_TIMEOUT;
    errorCode_ = slot.file.getLastError();
    throw LOCKING_ERROR;
}

int IndexCacheDirBase::unLock() {
    const char* path = cacheDirPath_.get();
    if (!path) {
        debug(1, "unLock: no cache dir\n");
        return -1;
    }
    for (LockSlot& slot : lockSlots_) {
        if (!slot.name || std::strcmp(slot.name, path) != 0)
            continue;
        if (slot.file.isLocked()) {
            int rc = slot.file.unlock();
            slot.file.close();
            return rc;
        }
        slot.file.close();
    }
    return -1;
}

bool IndexCacheDirBase::alreadyLocked() {
    const char* path = cacheDirPath_.get();
    if (!path) {
        debug(1, "alreadyLocked: no cache dir\n");
        return false;
    }
    for (LockSlot& slot : lockSlots_) {
        if (slot.name && std::strcmp(slot.name, path) == 0)
            return slot.file.isLocked() != 0;
    }
    return false;
}

void IndexCacheDirBase::switchLock() {
    if (currentLockSlot_ < 0)
        throw "switchLock finds no lock";
    LockSlot& slot = lockSlots_[currentLockSlot_];
    if (!slot.name)
        throw "switchLock finds no lock dir";
    // The descriptor and its lock stay: only the name the slot answers to
    // follows the renamed directory.
    char* name = cacheDirPath_ ? ::strdup(cacheDirPath_.get()) : nullptr;
    if (!name)
        throw "switchLock strdup failure";
    std::free(slot.name);
    slot.name = name;
}
