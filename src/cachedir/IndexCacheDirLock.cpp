// Locks on cache directories: a whole-file record lock on each directory's
// State file, held through one of four slots so that an update can hold the
// previous index and the new one at the same time.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"

namespace {

constexpr int kLockTimeout = 60;

// Lock, then verify: the locked descriptor must still be the State file the
// path names (same inode, not unlinked), and so must the object's own State
// file when it has one open on that path.
bool sameLiveFile(int fd, const struct stat& named) {
    struct stat held;
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

} // namespace

bool IndexCacheDirBase::lockedFileIsCurrent(const CXFile& file, const std::string& stateName) {
    struct stat named;
    if (::stat(stateName.c_str(), &named) != 0 || !sameLiveFile(file.getMainDescriptor(), named))
        return false;
    return !stateFile_.isOpened() || stateFile_.getPath() != stateName ||
           sameLiveFile(stateFile_.getMainDescriptor(), named);
}

void IndexCacheDirBase::holdWriteLock() {
    const char* path = cacheDirPath_.get();
    for (LockSlot& slot : lockSlots_) {
        if (!slot.name || !path || std::strcmp(slot.name, path) != 0)
            continue;
        if (slot.file.isLocked() && (slot.exclusive || exclusiveLockingDisabled_))
            return;
        break;
    }
    // A shared lock only keeps writers out: readers of other processes may
    // still be in the directory, so it is given up for the write lock, which
    // waits for them.
    if (alreadyLocked())
        unLock();
    writeLock(kLockTimeout);
}

void IndexCacheDirBase::followRename(const std::string& from) {
    char* name = cacheDirPath_ ? ::strdup(cacheDirPath_.get()) : nullptr;
    if (!name)
        throw "switchLock strdup failure";
    for (LockSlot& slot : lockSlots_) {
        if (slot.name && from == slot.name && slot.file.isLocked()) {
            std::free(slot.name);
            slot.name = name;
            return;
        }
    }
    std::free(name);
    throw "switchLock finds no lock";
}

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
    // Only a caller that makes the directory (it has no State file open yet)
    // may create the State file: a probe, or a lock on a State file already
    // read, that found none would otherwise plant one in a directory that a
    // discard is emptying.
    const bool mayCreate = !probe && !stateFile_.isOpened();
    if (!slot.file.isOpened() &&
        slot.file.open(stateName.c_str(), mayCreate ? sfOpenCreate : sfOpenReadWrite, 0,
                       static_cast<int>(creationMode_)) != 0) {
        errorCode_ = slot.file.getLastError();
        debug(1, "cannot open %s, code %d\n", stateName.c_str(), errorCode_);
        if (probe)
            return -1;
        throw "open lock error";
    }

    int rc =
        slot.file.lock(write ? sfLockExclusive : sfLockShared, static_cast<unsigned long>(timeout));
    if (rc == 1 && !lockedFileIsCurrent(slot.file, stateName)) {
        // Granted on a State file that a discard unlinked or an update moved
        // while this process waited: the directory it stood for is gone.
        slot.file.unlock();
        rc = -2;
    } else if (rc == 0 && !probe && !lockedFileIsCurrent(slot.file, stateName)) {
        rc = -2; // waited for a file the path no longer names
    }
    if (rc == 1) {
        slot.exclusive = write;
        if (!probe)
            currentLockSlot_ = index;
        return 1;
    }
    // Nothing stays open for a later lock to reuse: the next attempt opens
    // whatever the path names then.
    const int lastError = slot.file.getLastError();
    slot.file.close();
    if (rc == -2) {
        errorCode_ = ERR_NOT_THERE;
        debug(probe ? 3 : 1, "%s is gone while trying to lock it\n", stateName.c_str());
        if (probe)
            return -1;
        throw LOCKED_DIR_GONE;
    }
    if (probe) {
        // A probe that finds another holder is an answer, not a failure.
        if (rc < 0) {
            errorCode_ = lastError;
            debug(1, "%s while trying to lock %s\n", "Error", stateName.c_str());
        }
        return rc;
    }
    debug(1, "%s while trying to lock %s\n", rc == 0 ? "Timeout" : "Error", stateName.c_str());
    if (rc == 0)
        throw LOCKING_TIMEOUT;
    errorCode_ = lastError;
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
