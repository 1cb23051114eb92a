// Opening an existing cache directory: the newest complete index up to a
// time stamp (or exactly one) for reading, or a client cache for writing.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/Env.h"
#include "port/CXDirectory.h"
#include "port/CXLockedMarkerFile.h"

namespace {

constexpr unsigned int kClientOpenFailedEvent = 0x0E00004F;
constexpr int kLockTimeout = 60;
constexpr unsigned long kRetrySleepMs = 1000;
// The download's answer for an index that no server has.
constexpr int kIndexNotAvailable = 33;

// What is left of a directory that a search found, when it is no index.
enum class Husk {
    None,    // an index (or one to restore)
    Gone,    // removed or renamed since the search
    Emptied, // State file emptied by a discard, or not yet written by its maker
    Bare,    // no State file in an empty directory: a discard that got that
             // far, or a maker that has not locked it yet
};

Husk huskOf(const std::string& dir, const CXFile& state) {
    if (state.isOpened()) {
        struct stat st;
        return ::fstat(state.getMainDescriptor(), &st) == 0 && st.st_size == 0 ? Husk::Emptied
                                                                               : Husk::None;
    }
    if (state.getLastError() != ENOENT)
        return Husk::None;
    CXDirectory listing;
    if (listing.open(dir.c_str()) != 0)
        return listing.getLastError() == ENOENT ? Husk::Gone : Husk::None;
    while (const char* name = listing.read()) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            return Husk::None;
    }
    return Husk::Bare;
}

} // namespace

// This build talks to no index server and no other storage node: an index
// missing from the cache is never available from one.
int IndexCacheDirBase::downloadLogsFromCatalogServer(std::string, int) {
    return kIndexNotAvailable;
}

// Without index servers no transaction log is ever shipped or played back
// here, so the logs of a cache directory never disagree with its index.
bool IndexCacheDirBase::isTranLogConsistent(bool) {
    return true;
}

char* IndexCacheDirBase::open(unsigned long timeStamp, bool exact) {
    const bool clientCache = jobResults_;
    const bool reading = clientCache ? timeStamp != 0 : true;
    if (!initialized_)
        return nullptr;
    const unsigned long requested = timeStamp;
    const unsigned long long entryTimeStamp = timeStamp_;
    int retries = 0;
    bool restored = false;
    // Set after a directory was passed over: the next search must look below
    // it, and a limit of 0 would mean no limit at all.
    bool passedOver = false;
    bool notFound = false;
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        if ((!clientCache && cacheDirPath_) || stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object already opened";
        }
        // A client cache keeps the time stamp its given path was built from;
        // its argument only chooses reading or writing.
        if (!clientCache)
            timeStamp_ = timeStamp;
        for (;;) {
            if (!clientCache) {
                if (!exact && !(passedOver && timeStamp == 0))
                    timeStamp = backSearch(timeStamp, false);
                timeStamp_ = timeStamp;
                setCacheDirPath(cacheDirPathFor(timeStamp).c_str());
            } else if (!cacheDirPath_) {
                debug(1, "no cacheDir for client cache open\n");
                return nullptr;
            }
            if (timeStamp == 0 && !clientCache) {
                errorCode_ = ERR_NOT_FOUND;
                notFound = true;
                debug(3, "OPEN not found\n");
                throw "previous backup not found";
            }
            const std::string path = cacheDirPath_.get();
            const std::string stateName = path + separator_ + "State";

            const bool intact = checkIntegrity(IC_Check0);
            struct stat st;
            const bool present = ::stat(path.c_str(), &st) == 0;
            const int statError = present ? 0 : errno;
            if (!present || !intact) {
                if (!present && statError != ENOENT && intact) {
                    errorCode_ = statError;
                    throw "stat cacheDir failed";
                }
                if (clientCache) {
                    debug(1, "client cache %s does not exist\n", path.c_str());
                    if (appType_ != kOpt1AppType)
                        errorCode_ = ERR_NOT_FOUND;
                    return nullptr;
                }
                debug(3,
                      "index '%s' is not in the cache - attempt to get it from Index Cache "
                      "Server or remote DP.",
                      path.c_str());
                if (!intact)
                    removeDirectory(cacheDirPath_.get());
                const int downloaded = downloadLogsFromCatalogServer(std::string(), 0);
                if (downloaded == 0 && cacheDirPath_) {
                    if (isTranLogConsistent(true) && checkIntegrity(IC_Check0)) {
                        restored = true;
                    } else {
                        debug(1,
                              "downloaded partial index '%s'. Failover to restore from media if "
                              "possible.",
                              cacheDirPath_.get());
                        removeDirectory(cacheDirPath_.get());
                        restore(false, true);
                    }
                } else {
                    debug(downloaded == kIndexNotAvailable ? 3 : 1,
                          "download of index '%s' failed. Failover to restore from media if "
                          "possible.",
                          cacheDirPath_ ? cacheDirPath_.get() : "NULL");
                    restore(false, true);
                    restored = true;
                }
            }

            // The download may have moved the index elsewhere.
            const std::string dirPath = cacheDirPath_ ? cacheDirPath_.get() : path;
            const std::string statePath = dirPath + separator_ + "State";
            CXLockedMarkerFile marker(dirPath, 0);
            const bool interrupted = marker.isLocked() == 1;
            isTranLogConsistent(true);
            const bool inCache = isIndexInCache();
            if (!inCache)
                restored = false;
            const bool openFailed = stateFile_.open(statePath.c_str(), sfOpenReadWrite, 0, 0) != 0;
            if (!clientCache && !interrupted && !restored) {
                // What the search found may have been removed, moved or
                // emptied by another process since: that is no index to
                // restore, the search goes on without it.
                const Husk husk = huskOf(dirPath, stateFile_);
                if (husk != Husk::None) {
                    if (husk == Husk::Emptied && writeLock(0) > 0) {
                        // Its discarder died half-way: finish the removal.
                        debug(1, "open: discarding emptied directory %s\n", dirPath.c_str());
                        discard(true);
                    }
                    stateFile_.close();
                    if (exact) {
                        errorCode_ = ERR_NOT_FOUND;
                        notFound = true;
                        throw "previous backup not found";
                    }
                    if (husk != Husk::Gone) {
                        --timeStamp;
                        passedOver = true;
                    } else if (++retries > MAX_OPEN_RETRIES) {
                        throw "too many retries in open";
                    }
                    continue;
                }
            }
            // A client cache is created in place by whichever job comes
            // first: between its mkdir and its first State line another job
            // finds no State or an empty one. That is a creation in progress,
            // not a damaged directory: wait for it before judging.
            const bool unmade = openFailed ? stateFile_.getLastError() == ENOENT
                                           : huskOf(dirPath, stateFile_) == Husk::Emptied;
            if (clientCache && !interrupted && unmade && retries < MAX_OPEN_RETRIES) {
                ++retries;
                stateFile_.close();
                platform::sleepMs(kRetrySleepMs);
                continue;
            }
            const bool badState = openFailed || stateError();
            if (interrupted || badState || !inCache) {
                if (interrupted) {
                    debug(1, "presence of marker file in '%s' indicates an interrupted restore\n",
                          dirPath.c_str());
                    errorCode_ = 0;
                } else if (badState) {
                    debug(1, "cannot get state in state file '%s'\n", statePath.c_str());
                    stateFile_.close();
                    errorCode_ = 0;
                } else {
                    debug(1, "cannot open state file '%s' (code %d)\n", statePath.c_str(),
                          errorCode_);
                    errorCode_ = stateFile_.getLastError();
                }
                if (!inCache)
                    debug(1, "Index is not cached in '%s' during ::open .\n", dirPath.c_str());
                // One restore per call: a directory that is still unusable
                // after it is not restored again and again.
                if ((!interrupted && !badState && errorCode_ != ERR_NOT_THERE) || restored)
                    throw "open state file error";
                if (interrupted)
                    debug(1, "partially restored cache dir '%s' - attempting to restore again\n",
                          dirPath.c_str());
                else
                    debug(1, "missing state file '%s' during open - attempting to restore\n",
                          statePath.c_str());
                stateFile_.close();
                restore(false, true);
                restored = true;
                if (stateFile_.open(statePath.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                    errorCode_ = stateFile_.getLastError();
                    debug(1, "cannot open state file '%s' (code %d)\n", statePath.c_str(),
                          errorCode_);
                    throw "open state file error (after restore)";
                }
            }

            uncompress();
            const int state = getState(true);
            bool usable = false;
            // Lock, then verify: a lock granted on a directory that was
            // removed or moved meanwhile is no lock on an index (-2), and the
            // state read before the lock is read again under it.
            auto lockFound = [&](int timeout) -> int {
                int rc;
                try {
                    rc = reading ? readLock(timeout) : writeLock(timeout);
                } catch (const char* message) {
                    if (std::strcmp(message, LOCKED_DIR_GONE) != 0)
                        throw;
                    return -2;
                }
                if (rc < 0 && errorCode_ == ERR_NOT_THERE)
                    return -2;
                if (rc > 0) {
                    const int now = getState(true);
                    if (now != 0 && now != 2) {
                        unLock();
                        return -3;
                    }
                }
                return rc;
            };
            int locked = 0;
            switch (state) {
            case 3:
                if (clientCache) {
                    debug(1, "attempting to open busy client cache %s for %s\n", dirPath.c_str(),
                          exclusiveLockingDisabled_ ? "reading" : "writing");
                    keepState_ = true;
                    usable = true;
                    break;
                }
                // A writer holds its write lock for as long as it lives: a
                // probe that gets the lock finds a directory its writer left.
                if (writeLock(0) > 0) {
                    debug(1, "open: discarding directory %s in writing state\n", dirPath.c_str());
                    discard(true);
                } else if (exact) {
                    // The one directory asked for is being written.
                    stateFile_.close();
                    errorCode_ = ERR_WRONG_STATE;
                    throw "state error(busy writing)";
                }
                stateFile_.close();
                if (exact) {
                    errorCode_ = ERR_NOT_FOUND;
                    notFound = true;
                    throw "previous backup not found";
                }
                --timeStamp;
                passedOver = true;
                break;
            case 2:
                locked = lockFound(kLockTimeout);
                usable = locked > 0;
                break;
            case 0:
                // Held exclusively by another process (being removed or
                // moved): probed again every second for a while.
                locked = lockFound(0);
                if (locked > 0) {
                    usable = true;
                    break;
                }
                if (locked < -1)
                    break;
                if (++retries > MAX_OPEN_RETRIES)
                    throw "too many retries in open";
                stateFile_.close();
                platform::sleepMs(kRetrySleepMs);
                break;
            case 1:
                stateFile_.close();
                if (clientCache) {
                    debug(1, "attempting to open suspended client cache %s\n", dirPath.c_str());
                    errorCode_ = ERR_SUSPENDED;
                    return nullptr;
                }
                if (exact) {
                    errorCode_ = ERR_SUSPENDED;
                    throw "state error(suspended)";
                }
                --timeStamp;
                passedOver = true;
                break;
            default:
                errorCode_ = ERR_WRONG_STATE;
                throw "getState() failed";
            }
            if (locked < -1) {
                // Gone (-2): the search looks again below the same limit;
                // changed (-3): the pass is made again.
                stateFile_.close();
                if (locked == -2 && exact) {
                    errorCode_ = ERR_NOT_FOUND;
                    notFound = true;
                    throw "previous backup not found";
                }
                if (++retries > MAX_OPEN_RETRIES)
                    throw "too many retries in open";
                continue;
            }
            if (usable)
                break;
        }

        if (!keepState_)
            setState(reading ? 2 : 3);
        char text[32];
        std::snprintf(text, sizeof text, "%lu    ", static_cast<unsigned long>(platform::now()));
        if (stateFilePutAtime(text) < 0) {
            errorCode_ = stateFile_.getLastError();
            throw "State file putLine error";
        }
        debug(2, "opened index cache [%s]", cacheDirPath_.get());
        return cacheDirPath_.get();
    } catch (...) {
        const char* message = failureMessage();
        int level = 1;
        if (clientCache) {
            ev() << static_cast<long long>((appNumber_ << 32) + entryTimeStamp);
            ev().MajorEvent(kClientOpenFailedEvent, 0, 0);
        } else {
            const bool opt = appType_ == kOpt1AppType;
            if (getJobId() != 0)
                debug(opt ? 3 : 1, "Cannot open %sindex cache directory for [%s] at time [%s].",
                      opt ? "opt " : "",
                      appToString(static_cast<unsigned int>(realmNumber_),
                                  static_cast<unsigned int>(appNumber_)),
                      dateToString(static_cast<unsigned int>(requested)));
            if (opt && notFound)
                level = 3;
        }
        debug(level, "open(): %s: errno=%d (realm/app %u/%s, timestamp %u)\n", message, errorCode_,
              static_cast<unsigned int>(realmNumber_), appIdName_.c_str(),
              static_cast<unsigned int>(timeStamp));
        return nullptr;
    }
}
