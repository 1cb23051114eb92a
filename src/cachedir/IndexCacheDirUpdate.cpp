// Starting the index of a later backup from the previous one: the previous
// cache directory is renamed to the new time stamp, or copied into a new
// directory (an index below the size threshold, settings or application
// types that keep the previous index, or one that another process uses).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXDirectory.h"
#include "port/CXLockedMarkerFile.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kClockBackwardsEvent = 0x0E000053;
constexpr unsigned long kNoLimit = 0xFFFFFFFFul;
constexpr int kLockTimeout = 60;
constexpr int kRemoveAttempts = 20;
constexpr unsigned long kRemoveRetrySleepMs = 1000;
constexpr int kErrReservationRefused = -10;
constexpr BackupType kForceCopyBackupType = BackupTypeSyntheticFull;

// Real application types whose index is always copied.
bool alwaysCopied(OXAppType type) {
    return type == 105 || type == 54 || type == 8 || type == 14;
}
constexpr OXAppType kVsaAppType = 106;

bool keyIsOne(const char* key) {
    OXPlatformInfo info;
    unsigned long value = 0;
    return info.getNumber("Depot", key, &value) && value == 1;
}

// readLock (60) on the object's current directory with its failures turned
// into results: 0 for a time-out, -1 for another message, -2 for anything else.
int readLockPrevious(IndexCacheDirBase& dir) {
    // Held since the state check: the lock that keeps other processes'
    // clean-ups away from the previous index is the one the copy needs.
    if (dir.alreadyLocked())
        return 1;
    try {
        return dir.readLock(kLockTimeout);
    } catch (const char* message) {
        return std::strcmp(message, IndexCacheDirBase::LOCKING_TIMEOUT) == 0 ? 0 : -1;
    } catch (...) {
        dir.debug(1, "update: unknown exception in readLock()\n");
        return -2;
    }
}

} // namespace

char* IndexCacheDirBase::update(bool fullBackup, unsigned int previousTimeStamp,
                                bool restoreWhenBlocked) {
    const OXAppType realType = getRealAppType();
    if (!initialized_)
        return nullptr;
    // What this call has taken so far, so that a failure gives back exactly
    // that and leaves the object as a fresh one.
    std::string oldPath;
    std::string newPath;
    bool madeNew = false;  // a directory this call made and still holds
    bool renamed = false;  // the previous index now lives under newPath
    bool stateSet = false; // ... and its state says writing
    bool reserved = false; // space is reserved for a copy
    bool began = false;    // past the checks that leave the object as it was
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        if (cacheDirPath_ || stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object already opened";
        }
        began = true;
        const unsigned long now = static_cast<unsigned long>(getCurrentTime());
        if (now == 0) {
            errorCode_ = ERR_NO_TIME;
            throw "getCurrentTime failed";
        }
        setCacheDirPath(cacheDirPathFor(now).c_str());

        const unsigned long limit = previousTimeStamp != 0 ? previousTimeStamp : kNoLimit;
        unsigned long previous = backSearch(limit, false);
        timeStamp_ = previous;
        auto noPrevious = [&] {
            errorCode_ = ERR_NOT_FOUND;
            noIndexFiles_ = true;
            throw "previous backup not found";
        };
        if (previous == 0)
            noPrevious();
        if (now <= previous) {
            ev().CriticalEvent(kClockBackwardsEvent, 0, 0);
            errorCode_ = ERR_CLOCK_BACKWARDS;
            pendingReasonMessageId_ = static_cast<int>(kClockBackwardsEvent);
            throw "server clock has gone backwards";
        }
        if (previousTimeStamp == 0) {
            // Failed directories are those newer than the last complete
            // index; the newest name may be one of them, so the previous
            // index is looked for again once they are gone.
            const unsigned long lastGood = newestCompleteIn(appDirPath(), previous);
            cleanFailedCachedirs(lastGood, 0, false);
            cleanFailedCachedirs(lastGood, 0, true);
            previous = backSearch(limit, false);
            timeStamp_ = previous;
            if (previous == 0)
                noPrevious();
        }
        // The clean-up works through the object's path and leaves it cleared.
        oldPath = cacheDirPathFor(previous);
        setCacheDirPath(oldPath.c_str());

        bool restored = false;
        struct stat st;
        if (::stat(oldPath.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                errorCode_ = errno;
                throw "stat cacheDir failed";
            }
            restore(true, restoreWhenBlocked);
            restored = true;
        }
        if (!checkIntegrity(IC_Check0)) {
            removeDirectory(cacheDirPath_.get());
            throw "one or more files are missing from index";
        }

        const std::string oldState = oldPath + separator_ + "State";
        {
            CXLockedMarkerFile marker(oldPath, 0);
            const bool interrupted = marker.isLocked() == 1;
            const bool openFailed = stateFile_.open(oldState.c_str(), sfOpenRead, 0, 0) != 0;
            const bool badState = !openFailed && stateError();
            if (interrupted || openFailed || badState) {
                if (interrupted) {
                    debug(1, "presence of marker file in '%s' indicates an interrupted restore\n",
                          oldPath.c_str());
                    errorCode_ = 0;
                } else if (badState) {
                    debug(1, "cannot get state in state file '%s'\n", oldState.c_str());
                    stateFile_.close();
                    errorCode_ = 0;
                } else {
                    errorCode_ = stateFile_.getLastError();
                    debug(1, "cannot open state file '%s' (code %d)\n", oldState.c_str(),
                          errorCode_);
                }
                if ((!interrupted && !badState && errorCode_ != ERR_NOT_THERE) || restored)
                    throw "open state file error";
                if (interrupted)
                    debug(1, "partially restored cache dir '%s' - attempting to restore again\n",
                          oldPath.c_str());
                else
                    debug(1, "missing state file '%s' during update - attempting to restore\n",
                          oldState.c_str());
                stateFile_.close();
                restore(true, restoreWhenBlocked);
                restored = true;
                if (stateFile_.open(oldState.c_str(), sfOpenRead, 0, 0) != 0) {
                    errorCode_ = stateFile_.getLastError();
                    debug(1, "cannot open state file '%s' (code %d)\n", oldState.c_str(),
                          errorCode_);
                    throw "open state file error (after restore)";
                }
            }
        }

        auto checkPreviousState = [&] {
            switch (getState(true)) {
            case 0:
            case 2:
                return;
            case 3:
                errorCode_ = ERR_WRONG_STATE;
                throw "previous index: state error(busy writing)";
            case 1:
                errorCode_ = ERR_WRONG_STATE;
                throw "previous index: state error(suspended)";
            default:
                errorCode_ = ERR_WRONG_STATE;
                throw "prevIdxCacheDir->getState() failed";
            }
        };
        checkPreviousState();

        // From here to the copy or rename the previous index is only read: a
        // shared lock keeps another process's clean-up (which removes only
        // what it can lock exclusively) from taking it away in between, as
        // while this process sizes it and reserves the space for its copy.
        // A writer elsewhere makes this probe fail; the steps below then wait
        // for the lock as before. Lock, then verify: what was checked above
        // is read again under the lock.
        if (readLock(0) == 1)
            checkPreviousState();
        else if (errorCode_ == ERR_NOT_THERE)
            noPrevious(); // removed or moved since the search

        timeStamp_ = now;
        newPath = cacheDirPathFor(now);
        const std::string newState = newPath + separator_ + "State";

        if (keyIsOne("disableIndexRename")) {
            debug(3, "Registry key disableIndexRename is present with value %d", 1);
            copyUponUpdate_ = true;
            copyUponUpdateThreshold = 0;
        } else {
            const bool keepLatest = keyIsOne("bKEEPLATESTINDEX");
            if (keepLatest)
                debug(3,
                      "Registry key '%s' is set to [%d] - preserve latest index in cache for each "
                      "subclient is present",
                      "bKEEPLATESTINDEX", 1);
            bool vsaRename = false;
            if (realType == kVsaAppType && keyIsOne("enableIndexRenameVSA")) {
                vsaRename = true;
                debug(3, "Registry key enableIndexRenameVSA is present with value %d", 1);
            }
            const bool alternate = getIndexUseAlternateIndexServerIfAvailFlag();
            if (alwaysCopied(realType) || (realType == kVsaAppType && !vsaRename) || keepLatest ||
                alternate) {
                copyUponUpdate_ = true;
                // For the rest of the process: every later update copies.
                copyUponUpdateThreshold = 0;
                debug(5,
                      "copy index upon update [%s] - app type [%d], , keep latest index setting "
                      "[%s], use alternate index server [%s]",
                      bToS(copyUponUpdate_), static_cast<int>(realType), bToS(keepLatest),
                      bToS(alternate));
            }
        }

        auto sizeOfPrevious = [&]() -> long long {
            CXDirectory old;
            if (old.open(oldPath.c_str()) != 0) {
                errorCode_ = old.getLastError();
                throw "cannot open old cache dir";
            }
            old.setRecursion(true);
            const long long bytes = old.sumSizes();
            if (bytes < 0) {
                errorCode_ = old.getLastError();
                throw "cannot sum size of old cache dir";
            }
            return bytes;
        };
        // The copy needs room for a second index; without it the update
        // fails here instead of filling the disk halfway.
        auto reserveForCopy = [&](long long bytes) {
            const int rc = reserve(static_cast<unsigned long long>(bytes),
                                   static_cast<unsigned int>(realmNumber_), appIdName_.c_str(),
                                   static_cast<unsigned int>(previous));
            if (rc != 1) {
                debug(1,
                      "folder %s could not be copied - reservation of %lld bytes failed due to "
                      "%s\n",
                      oldPath.c_str(), bytes, rc < 0 ? "error" : "lack of space");
                errorCode_ = kErrReservationRefused;
                throw "space reservation failed";
            }
            reserved = true;
        };
        // A rename that turned out impossible because the index is in use
        // falls back on a copy, sized and reserved like any other.
        auto copyInstead = [&] {
            copyUponUpdate_ = true;
            reserveForCopy(sizeOfPrevious());
        };

        if (copyUponUpdate_) {
            const long long bytes = sizeOfPrevious();
            const long long megabytes = bytes >> 20;
            if (copyUponUpdateThreshold != 0 &&
                static_cast<unsigned long long>(megabytes) >= copyUponUpdateThreshold &&
                backupType_ != kForceCopyBackupType) {
                debug(2,
                      "folder %s will not be copied - %lld MB is larger than threshold %llu MB\n",
                      oldPath.c_str(), megabytes,
                      static_cast<unsigned long long>(copyUponUpdateThreshold));
                copyUponUpdate_ = false;
            } else {
                reserveForCopy(bytes);
            }
        }

        // Makes a new directory for the new time stamp and restores the
        // previous index into it, leaving the previous directory alone. The
        // new directory stays locked throughout: a clean-up must not take it
        // for one its maker left before the restore wrote its State file.
        auto restoreIntoNewDirectory = [&](bool afterRenameFailure) {
            setCacheDirPath(newPath.c_str());
            mkCacheDir();
            madeNew = true;
            setState(3);
            stateFile_.close();
            restore(true, restoreWhenBlocked);
            if (stateFile_.open(newState.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                errorCode_ = stateFile_.getLastError();
                if (afterRenameFailure)
                    debug(1, "cannot open state file '%s' after rename failure (errno %d)\n",
                          newState.c_str(), errorCode_);
                else
                    debug(1, "cannot open state file '%s' after lock failure, errno %d)\n",
                          newState.c_str(), errorCode_);
                throw "open state file error";
            }
            // A restore that wrote a new State file leaves the lock on the
            // old one: the lock is taken again on what the path names now.
            CXFile* held = lockedSlotFile();
            if (!held || !lockedFileIsCurrent(*held, newState)) {
                unLock();
                writeLock(kLockTimeout);
            }
            setState(3);
        };

        if (!copyUponUpdate_) {
            debug(3, "cache dir '%s' is being renamed to '%s'\n", oldPath.c_str(), newPath.c_str());
            // A read lock is granted only when no writer is active there.
            if (readLockPrevious(*this) > 0) {
                debug(3, "obtained a read lock on '%s'\n", oldPath.c_str());
                unLock();
                stateFile_.close();
                // Readers keep their shared lock while they browse. A rename
                // would pull their index away under them (nothing on this
                // platform refuses to rename a directory with open files), so
                // a directory that is not free for a write lock is in use.
                int renameError = 0;
                if (writeLock(0) != 1) {
                    renameError = EACCES;
                    debug(3, "cache dir '%s' is in use by another process\n", oldPath.c_str());
                } else {
                    debug(2, "job %llu renaming '%s' to '%s'\n",
                          static_cast<unsigned long long>(getJobId()), oldPath.c_str(),
                          newPath.c_str());
                    if (safeRename(oldPath.c_str(), newPath.c_str()) != 0) {
                        renameError = errno;
                        debug(3, "safeRename failed with errno %d\n", renameError);
                        unLock();
                    }
                }
                if (renameError == 0) {
                    renamed = true;
                    platform::crashPoint("update.renamed");
                    // The write lock taken before the rename is kept across
                    // it: the slot follows the directory to its new name, so
                    // no reader or clean-up ever finds it unlocked.
                    setCacheDirPath(newPath.c_str());
                    followRename(oldPath);
                    if (stateFile_.open(newState.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                        errorCode_ = stateFile_.getLastError();
                        debug(1, "cannot open state file '%s' (errno %d)\n", newState.c_str(),
                              errorCode_);
                        throw "open state file error";
                    }
                    createJobStatusFile(JobStatusCI, 0);
                    setState(3);
                    stateSet = true;
                } else {
                    errorCode_ = renameError;
                    if (renameError != EACCES)
                        throw "rename cacheDir failed";
                    if (!restoreWhenBlocked)
                        copyInstead();
                    else
                        restoreIntoNewDirectory(true);
                }
            } else {
                debug(3, "could not obtain a read lock on '%s'\n", oldPath.c_str());
                stateFile_.close();
                if (restoreWhenBlocked) {
                    restoreIntoNewDirectory(false);
                } else {
                    debug(3, "Continue with copying of '%s'\n", oldPath.c_str());
                    copyInstead();
                }
            }
        }

        const bool copying = copyUponUpdate_;
        if (copying) {
            debug(3, "cache dir '%s' is being copied to '%s'\n", oldPath.c_str(), newPath.c_str());
            // Keeps a writer out of the previous index while it is copied.
            readLockPrevious(*this);
            stateFile_.close();
            setCacheDirPath(newPath.c_str());
            mkCacheDir();
            madeNew = true;
            setState(3);
        }

        char text[32];
        std::snprintf(text, sizeof text, "%lu    ", now);
        if (stateFilePutAtime(text) < 0) {
            errorCode_ = stateFile_.getLastError();
            throw "State file putLine error";
        }

        if (copying) {
            platform::crashPoint("update.copying");
            CXDirectory old;
            if (old.open(oldPath.c_str()) != 0) {
                errorCode_ = old.getLastError();
                throw "cannot open old cache dir";
            }
            debug(2, "job %llu copying '%s' to '%s'\n", static_cast<unsigned long long>(getJobId()),
                  oldPath.c_str(), newPath.c_str());
            if (isComponentBasedIndex())
                old.setRecursion(true);
            if (old.copyFiles(newPath.c_str(), "State") == 0) {
                reserve(0, 0, nullptr, 0);
                reserved = false;
                old.close();
                setCacheDirPath(oldPath.c_str());
                unLock();
                setCacheDirPath(newPath.c_str());
            } else {
                reserve(0, 0, nullptr, 0);
                reserved = false;
                errorCode_ = old.getLastError();
                debug(1, "cannot copy files from '%s' to '%s' (code %d)", oldPath.c_str(),
                      newPath.c_str(), errorCode_);
                old.close();
                madeNew = false; // removed here, with its own retries
                removeHalfCopy(newPath);
                throw "could not copy files to new cache directory";
            }
        }
        return cacheDirPath_.get();
    } catch (...) {
        const char* message = failureMessage();
        // The exception's text outlives the clean-up below, which may raise
        // and handle messages of its own.
        const std::string failure = message;
        if (began)
            letGoAfterFailedUpdate(oldPath, newPath, madeNew, renamed && stateSet, reserved);
        if (fullBackup && errorCode_ == ERR_NOT_FOUND) {
            debug(1, "update(): index not found during (first?) full backup\n");
            return nullptr;
        }
        debug(3, "MSG: Cannot update cache directory for [%s].",
              appToString(static_cast<unsigned int>(realmNumber_),
                          static_cast<unsigned int>(appNumber_)));
        debug(1, "update(): %s: errno=%d\n", failure.c_str(), errorCode_);
        return nullptr;
    }
}

void IndexCacheDirBase::removeHalfCopy(const std::string& newPath) {
    // A half copy must not stay behind as an index of its own. Each attempt
    // reads the directory from its start: a handle that a failed pass left at
    // the end would find nothing more to remove and pass for a success. The
    // directory's write lock is held until it is gone.
    CXDirectory fresh;
    auto openFresh = [&] {
        if (fresh.open(newPath.c_str()) != 0) {
            debug(1, "cannot open directory '%s' (code %d)\n", newPath.c_str(),
                  fresh.getLastError());
            throw "directory open failure";
        }
        // Whatever the copy made, subdirectories included.
        fresh.setRecursion(true);
    };
    openFresh();
    stateFile_.close();
    for (int attempt = 1; fresh.removeFiles(nullptr) != 0; ++attempt) {
        debug(1, "cannot remove files in directory '%s' (code %d)\n", newPath.c_str(),
              fresh.getLastError());
        if (attempt == kRemoveAttempts)
            throw "failure removing files from directory";
        platform::sleepMs(kRemoveRetrySleepMs);
        fresh.close();
        openFresh();
    }
    fresh.close();
    if (safeRmdir(newPath.c_str()) != 0) {
        errorCode_ = errno;
        debug(1, "cannot remove directory '%s' (code %d)\n", newPath.c_str(), errorCode_);
        throw "directory removal failure";
    }
    unLock();
}

void IndexCacheDirBase::letGoAfterFailedUpdate(const std::string& oldPath,
                                               const std::string& newPath, bool madeNew,
                                               bool renamedAndWriting, bool reserved) {
    // After a failed update the object holds nothing: no lock, no State file,
    // no path. A following close or discard (what callers do after a
    // failure) then has nothing to mark complete or to remove, and the
    // previous index stays as it was for every other process.
    try {
        if (reserved)
            reserve(0, 0, nullptr, 0);
        const bool atNew = cacheDirPath_ && newPath == cacheDirPath_.get();
        if (madeNew && atNew) {
            // Made by this call and empty or partial: it goes.
            const std::string state = newPath + separator_ + "State";
            if (!stateFile_.isOpened())
                stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0);
            if (discard(false) != 0)
                debug(1, "update(): cannot remove new directory %s\n", newPath.c_str());
        } else if (renamedAndWriting && atNew) {
            // The previous index, complete, lives on under the new name.
            setState(0);
        }
        if (atNew)
            unLock();
        stateFile_.close();
        if (!oldPath.empty()) {
            setCacheDirPath(oldPath.c_str());
            unLock();
        }
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "update(): %s while giving back what the update took\n", message);
    }
    stateFile_.close();
    cacheDirPath_.reset();
}
