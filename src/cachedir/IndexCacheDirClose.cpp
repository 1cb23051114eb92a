// The ends of a cache directory's use: suspend, close, discard, the
// discard that keeps transaction logs for a resume, and uncache by clean-up.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "common/HostServices.h"
#include "platform/CrashPoint.h"
#include "platform/OXJobClient.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kSuspendFailedEvent = 0x0E00003C;
constexpr unsigned int kCloseFailedEvent = 0x0E00003E;
constexpr unsigned int kClientCloseFailedEvent = 0x0E00003F;
constexpr unsigned int kInUseEvent = 0x0E0000FB;
constexpr unsigned int kCannotOpenEvent = 0x0E0000FC;
constexpr unsigned int kRemovalFailedEvent = 0x0E0000FD;
constexpr int kLockTimeout = 60;
constexpr int kUnCacheOpenRetries = 15;
constexpr int kLineSize = 127;

// Transaction-log files that a resume rebuilds the index from.
bool isTranLogFile(const char* name) {
    return std::strcmp(name, "current_chunk") == 0 || std::strcmp(name, "TL_RST.cfg") == 0 ||
           std::strstr(name, ".start.") || std::strstr(name, ".trn") ||
           std::strstr(name, ".cfg.timemark");
}

} // namespace

// One line of at most kLineSize - 1 characters: a longer line keeps its
// beginning (the rest of it is consumed), an unreadable one gives "".
static void readStateLine(CXFile& file, char* line) {
    int rc = file.getLine(line, kLineSize);
    if (rc == 1 || (rc < 0 && std::strlen(line) == kLineSize - 1))
        return;
    line[0] = '\0';
}

// Lines 1 and 2 of the State file, empty where they cannot be read.
static void readStateLines(CXFile& file, char* line1, char* line2) {
    line1[0] = line2[0] = '\0';
    if (file.seek(0, sfSeekSet) != 0)
        return;
    readStateLine(file, line1);
    readStateLine(file, line2);
}

int IndexCacheDirBase::suspend() {
    if (!initialized_)
        return -1;
    if (completedIndex_) {
        debug(1, "suspending a completed index - forcing a close");
        return close(true, true);
    }
    try {
        if (!cacheDirPath_ || !stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object not opened";
        }
        switch (getState(true)) {
        case 3:
            setState(1);
            unLock();
            setCacheDirPath(nullptr);
            stateFile_.close();
            return 0;
        case 1:
            errorCode_ = ERR_WRONG_STATE;
            throw "already suspended";
        case 2:
        case 0:
            errorCode_ = ERR_WRONG_STATE;
            throw "object is COMPLETE, can't suspend";
        default:
            errorCode_ = ERR_WRONG_STATE;
            throw "getState() failed";
        }
    } catch (...) {
        const char* message = failureMessage();
        appEvent(static_cast<unsigned int>(realmNumber_), static_cast<unsigned int>(appNumber_));
        ev().MajorEvent(kSuspendFailedEvent, 0, 0);
        debug(1, "suspend(): %s: errno=%d\n", message, errorCode_);
        return -1;
    }
}

int IndexCacheDirBase::close(bool canStillResume) {
    return close(canStillResume, false);
}

int IndexCacheDirBase::close(bool canStillResume, bool keepWritingOnBackupFailure) {
    if (!initialized_)
        return -1;
    const bool clientCache = jobResults_;
    if (!cacheDirPath_ || !stateFile_.isOpened()) {
        errorCode_ = ERR_NOT_OPENED;
        debug(1, "close(): INFO: index not opened: errno=%d\n", errorCode_);
        if (alreadyLocked())
            unLock();
        if (stateFile_.isOpened())
            stateFile_.close();
        return -1;
    }
    try {
        switch (getState(true)) {
        case 3: {
            if (getShouldIndexingTokenIncrement()) {
                ++jobIndexWriteCounter_;
                createJobIdFile();
            }
            if (!keepState_) {
                setState(0);
                unLock();
            }
            stateFile_.close();
            // Kept as text: the exception it came from ends with its handler.
            std::string failure;
            bool failed = false;
            try {
                backup();
            } catch (...) {
                failure = failureMessage();
                failed = true;
            }
            if (failed) {
                debug(1, "close(): index backup failed: %s: errno=%d\n", failure.c_str(),
                      errorCode_);
                std::string state = std::string(cacheDirPath_.get()) + "/State";
                if (stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                    errorCode_ = stateFile_.getLastError();
                    throw "state file open failed";
                }
                writeLock(kLockTimeout);
                setState(3);
                if (!keepWritingOnBackupFailure) {
                    std::string path = cacheDirPath_.get();
                    if (suspend() != 0) {
                        debug(1, "close: discarding directory %s after suspend failed\n",
                              path.c_str());
                        discard(true);
                        debug(1, "close(): can't even suspend after backup failure: %s: errno=%d\n",
                              failure.c_str(), errorCode_);
                        throw "both backup and suspend failed";
                    }
                    throw "index backup failed";
                }
            }
            break;
        }
        case 2:
            setState(0);
            break;
        case 0:
            break;
        case 1:
            errorCode_ = ERR_WRONG_STATE;
            throw "already suspended";
        default:
            errorCode_ = ERR_WRONG_STATE;
            throw "getState() failed";
        }
        if (canStillResume) {
            std::string marker = std::string(cacheDirPath_.get()) + "/canStillResume";
            FILE* f = std::fopen(marker.c_str(), "we");
            if (!f)
                debug(1, "cannot create '%s', errno %d\n", marker.c_str(), errno);
            else
                std::fclose(f);
        }
        if (alreadyLocked() && !keepState_)
            unLock();
        if (stateFile_.isOpened())
            stateFile_.close();
        if (!clientCache)
            setCacheDirPath(nullptr);
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        if (clientCache) {
            ev() << static_cast<long long>((appNumber_ << 32) + timeStamp_);
            ev().MajorEvent(kClientCloseFailedEvent, 0, 0);
        } else {
            appEvent(static_cast<unsigned int>(realmNumber_),
                     static_cast<unsigned int>(appNumber_));
            ev().MajorEvent(kCloseFailedEvent, 0, 0);
        }
        debug(1, "close(): %s: errno=%d\n", message, errorCode_);
        if (alreadyLocked())
            unLock();
        if (stateFile_.isOpened())
            stateFile_.close();
        return -1;
    }
}

int IndexCacheDirBase::discard(bool logDetails) {
    if (!initialized_)
        return -1;
    TAnyLogGuardian guard(this);
    setupCleanupLogging(true);
    try {
        if (!cacheDirPath_ || !stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object not opened";
        }
        const std::string path = cacheDirPath_.get();
        if (logDetails) {
            char line1[kLineSize], line2[kLineSize];
            readStateLines(stateFile_, line1, line2);
            debug(1, "DiscardUnusable '%s' [%s]", path.c_str(),
                  dateToString(static_cast<unsigned int>(timeStamp_)));
            debug(3, "state '%s' atime '%s'", line1, line2);
        }
        // Removal needs the write lock: a shared one (left by an open for
        // reading, or by an update that failed after its state check) still
        // has readers of other processes in the directory.
        holdWriteLock();
        // An emptied State file tells every other process the directory is
        // unusable before anything else of it goes.
        stateFileTruncate();
        platform::crashPoint("discard.truncated");
        stateFile_.close();
        CXDirectory dir;
        if (dir.open(path.c_str()) != 0) {
            errorCode_ = dir.getLastError();
            throw "cannot open cache dir";
        }
        dir.setRecursion(true);
        if (dir.removeFiles("State") != 0) {
            errorCode_ = dir.getLastError();
            debug(1, "cannot remove files from %s, code %d\n", path.c_str(), errorCode_);
        }
        dir.close();
        platform::crashPoint("discard.emptied");
        // The State file and the directory go while the lock is still held:
        // a process that waited for the lock finds, once it gets it, that the
        // file it locked is no longer the directory's (see myLock), instead
        // of a husk it could take for an index.
        std::string state = path + "/State";
        if (safeUnlink(state.c_str()) != 0) { // a State file already gone is no failure
            errorCode_ = errno;
            throw "cannot remove lock file";
        }
        platform::crashPoint("discard.unlinked");
        if (safeRmdir(path.c_str()) != 0) {
            errorCode_ = errno;
            throw "cannot remove directory";
        }
        unLock();
        if (cacheType_ == TCacheTypePageCache) {
            std::string::size_type slash = path.rfind('/');
            if (slash == std::string::npos) {
                debug(1, "received mal-formed path  while trying to remove parent directory'%s'",
                      path.c_str());
                return -1;
            }
            std::string parent = path.substr(0, slash);
            if (safeRmdir(parent.c_str()) != 0)
                debug(1, "Failed to remove parent directory [%s]", parent.c_str());
        }
        setCacheDirPath(nullptr);
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        unLock();
        debug(1, "discard(): %s: errno=%d\n", message, errorCode_);
        return -1;
    }
}

int IndexCacheDirBase::discardForResume() {
    return discardForResume(false);
}

int IndexCacheDirBase::discardForResume(bool stateFileMayBeClosed) {
    if (!initialized_)
        return -1;
    try {
        if (!cacheDirPath_ || (!stateFile_.isOpened() && !stateFileMayBeClosed)) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object not opened";
        }
        const std::string path = cacheDirPath_.get();
        if (stateFile_.isOpened()) {
            char line1[kLineSize], line2[kLineSize];
            readStateLines(stateFile_, line1, line2);
            debug(1, "Discarding %s state '%s' atime '%s'\n", path.c_str(), line1, line2);
            holdWriteLock();
            stateFileTruncate();
            stateFile_.close();
        }
        CXDirectory dir;
        if (dir.open(path.c_str()) != 0) {
            errorCode_ = dir.getLastError();
            throw "cannot open cache dir";
        }
        while (const char* name = dir.read()) {
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            std::string entry = path + "/" + name;
            struct stat st;
            bool plain = ::stat(entry.c_str(), &st) != 0 || S_ISREG(st.st_mode);
            if (plain && !isTranLogFile(name) && safeUnlink(entry.c_str()) != 0)
                debug(1, "discardForResume: Failed to delete file '%s', errno = %d", entry.c_str(),
                      errno);
        }
        dir.close();
        std::string state = path + "/State";
        if (::access(state.c_str(), F_OK) == 0 && safeUnlink(state.c_str()) != 0) {
            errorCode_ = errno;
            throw "cannot remove lock file";
        }
        unLock();
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        unLock();
        debug(1, "discard(): %s: errno=%d\n", message, errorCode_);
        return -1;
    }
}

int IndexCacheDirBase::unCache(bool lowSpace, unsigned int realmNumber, const char* appIdName,
                               unsigned int timeStamp) {
    return privateUnCache(lowSpace, realmNumber, appIdName ? appIdName : "", timeStamp, false);
}

int IndexCacheDirBase::routineUnCache(bool lowSpace, unsigned int realmNumber,
                                      std::string appIdName, unsigned int timeStamp) {
    return privateUnCache(lowSpace, realmNumber, appIdName, timeStamp, true);
}

int IndexCacheDirBase::privateUnCache(bool lowSpace, unsigned int realmNumber,
                                      std::string appIdName, unsigned int timeStamp, bool routine) {
    const char* kind = routine    ? "RoutineRemoval"
                       : lowSpace ? "LowSpaceRemoval"
                                  : "AgeBasedRemoval";
    const char* shown = cacheDirPath_ ? cacheDirPath_.get() : "NULL";
    if (isItMyIndexCache(realmNumber, appIdName, timeStamp, catalogServer_)) {
        debug(1, "%s '%s' NOT REMOVED\n", kind, shown);
        return 0;
    }
    TAnyLogGuardian guard(this);
    setupCleanupLogging(dualLogging_);
    debug(1, "%s '%s' [%s]\n", kind, shown, dateToString(static_cast<unsigned int>(timeStamp_)));
    try {
        if (!cacheDirPath_ || stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object is not ready to be unCached";
        }
        const std::string path = cacheDirPath_.get();
        const std::string state = path + "/State";
        // Clean-up may run under the node-wide reservation lock: it does not
        // wait for the State file of a directory that is gone, nor of one
        // that another process has just made and is about to lock. Those
        // are looked at only when the State file is not there at once.
        bool opened = stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0) == 0;
        if (!opened) {
            if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
                debug(1, "%s: directory %s is gone\n", kind, path.c_str());
                return 0;
            }
            if (!pastGracePeriod(path)) {
                debug(1, "%s: directory %s has no State file yet, left alone\n", kind,
                      path.c_str());
                return 0;
            }
        }
        if (!opened)
            opened = stateFile_.open(state.c_str(), sfOpenReadWrite, kUnCacheOpenRetries, 0) == 0;
        if (opened) {
            // Removal only under our own write lock: a directory another
            // process reads or writes stays.
            const int locked = writeLock(0);
            if (locked == 1) {
                if (discard(false) < 0)
                    logEvent(kRemovalFailedEvent);
            } else if (locked < 0 && errorCode_ == ERR_NOT_THERE) {
                debug(1, "%s: directory %s is gone\n", kind, path.c_str());
                stateFile_.close();
            } else {
                debug(1, "%s: cannot discard directory %s\n", kind, path.c_str());
                logEvent(kInUseEvent);
                stateFile_.close();
            }
            return 0;
        }
        errorCode_ = stateFile_.getLastError();
        debug(1, "cannot open state file '%s' (code %d) for unCache\n", state.c_str(), errorCode_);
        if (errorCode_ != ENOENT)
            throw "State file open error";
        CXDirectory dir;
        if (dir.open(path.c_str()) != 0) {
            logEvent(kCannotOpenEvent);
            debug(1, "cannot open dir %s, code %d\n", path.c_str(), dir.getLastError());
        } else {
            dir.setRecursion(true);
            if (dir.removeFiles(nullptr) != 0) {
                debug(1, "cannot remove files in %s, code %d\n", path.c_str(), dir.getLastError());
                logEvent(kRemovalFailedEvent);
            }
            dir.close();
        }
        int rc = safeRmdir(path.c_str());
        if (rc == 0)
            return 0;
        errorCode_ = errno;
        debug(1, "%s: after State file open error, rmdir(%s) returns %d, errno %d\n", kind,
              path.c_str(), rc, errorCode_);
        throw "rmdir error (State file missing)";
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "%s: %s: errno=%d\n", kind, message, errorCode_);
        logEvent(kRemovalFailedEvent);
        return -1;
    }
}

int IndexCacheDirBase::failJob(bool wholeJob) {
    long long job = getJobId();
    debug(1, "failJob: failing %s (jobId=%lld)\n", wholeJob ? "whole job" : "phase only", job);
    std::string warden = getWarden();
    if (warden.empty()) {
        debug(1, "failJob: cannot obtain WardenServer name\n");
        return -1;
    }
    OXBkpJobClient client;
    if (client.init(warden, job, 1, 2, 0, 0) != 1) {
        debug(1, "failJob: job object init failed (WardenServer=%s, jobId=%lld)\n", warden.c_str(),
              job);
        return -1;
    }
    if (client.complete(2, wholeJob ? 2 : 1, 0, 0) != 1) {
        debug(1, "failJob: unable to fail the %s (WardenServer=%s, jobId=%lld)\n",
              wholeJob ? "job" : "phase", warden.c_str(), job);
        return -1;
    }
    return 0;
}
