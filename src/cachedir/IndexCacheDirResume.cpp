// Resume of an interrupted job's index: find the directory the job left,
// check that it is suspended (or closed but resumable) and take it back for
// writing under its write lock.
//
// A retry from the copy is a restore over the live directory, so it is only
// allowed for a directory this process holds the write lock of and knows is
// damaged: its writer is gone, its State is unreadable, its verification
// failed or a restore into it was cut short. A directory another process
// still writes or reads, or a completed index, is never restored over.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/TInternalException.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"

namespace {

constexpr const char* kRestoreMarker = "restoreInProgress";

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

char* IndexCacheDirBase::resume(long long expectedJobId, bool retryFromCopy) {
    if (!initialized_)
        return nullptr;
    resumeFlag_ = false;
    errorCode_ = 0;
    completedIndex_ = false;
    bool damaged = false;
    bool statusNamesDir = false;
    try {
        return resumeAttempt(expectedJobId, retryFromCopy, damaged, statusNamesDir);
    } catch (const TInternalException& e) {
        stateFile_.close();
        if (e.isMessageSet())
            debug(1, "resume(): %s: code=%d, errno=%d\n", e.getMessage().c_str(), e.getErrorCode(),
                  errorCode_);
        else
            debug(3, "resume(): code=%d, errno=%d\n", e.getErrorCode(), errorCode_);
    } catch (const char* message) {
        stateFile_.close();
        debug(1, "Internal problem: old style exception [%s] occurred", message ? message : "NULL");
    }
    const int failedCode = errorCode_;
    if (retryFromCopy && damaged && restoreCopy(nullptr) == 0) {
        debug(1, "index checkpoint copy restore succeeded - retrying the resume");
        unLock();
        setCacheDirPath(nullptr);
        stateFile_.close();
        return resume(expectedJobId, false);
    }
    if (alreadyLocked())
        unLock();
    errorCode_ = failedCode;
    return nullptr;
}

// The last component of the cache root ("OX_Index"): the first one of every
// local path a job status file of this root holds.
std::string IndexCacheDirBase::cacheTypeFolder() const {
    const std::string root = cacheRoot_ ? cacheRoot_.get() : "";
    const size_t slash = root.find_last_of("/\\");
    return slash == std::string::npos ? root : root.substr(slash + 1);
}

// One attempt; every failure is raised. damaged is set when the directory may
// be restored from its copy (this process then holds its write lock).
char* IndexCacheDirBase::resumeAttempt(long long expectedJobId, bool& retryFromCopy, bool& damaged,
                                       bool& statusNamesDir) {
    if (!cacheRoot_)
        throw TInternalException("Index cache directory is not configured in registry", 1);
    if (cacheDirPath_) {
        errorCode_ = ERR_NOT_OPENED;
        throw TInternalException("Cache already opened", 2);
    }
    char collects[64];
    std::snprintf(collects, sizeof collects, "%llu.txt",
                  static_cast<unsigned long long>(getJobId()));
    const std::string collectsPath = std::string(cacheRoot_.get()) + "/collects/" + collects;
    if (safeUnlink(collectsPath.c_str()) != 0)
        debug(1, "resume: Failed to delete collects file '%s', errno=%d", collectsPath.c_str(),
              errno);

    timeStamp_ = 0;
    std::string localPath;
    EJobStatusFileLastAction action = JobStatusNA;
    unsigned long previousBackupTime = 0;
    const int status = readJobStatusFile(localPath, action, previousBackupTime);
    if (status == 0) {
        unsigned long realm = 0, stamp = 0;
        std::string appName;
        if (parseJobStatusLocalPath(localPath, realm, appName, stamp) != 0) {
            debug(1, "parseJobStatusLocalPath(): Mal-formed local path '%s'", localPath.c_str());
        } else if (realm != realmNumber_ || appName != appIdName_ ||
                   localPath.compare(0, cacheTypeFolder().size() + 1, cacheTypeFolder() + "/") !=
                       0) {
            // A status file naming another realm or application is not this
            // job's: the back search finds the directory instead.
            debug(1, "parseJobStatusLocalPath(): Mal-formed local path '%s'", localPath.c_str());
        } else {
            timeStamp_ = stamp;
            statusNamesDir = true;
        }
    } else if (status != 1) {
        throw TInternalException(0);
    }
    if (timeStamp_ == 0)
        timeStamp_ = backSearch();
    if (timeStamp_ == 0) {
        errorCode_ = ERR_NOT_FOUND;
        throw TInternalException("previous backup not found. Cannot resume", 4);
    }
    setCacheDirPath(cacheDirPathFor(static_cast<unsigned long>(timeStamp_)).c_str());
    const std::string path = cacheDirPath_.get();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        errorCode_ = errno;
        debug(1, "resume cannot stat %s, errno %d\n", path.c_str(), errorCode_);
        throw TInternalException(0);
    }

    // A restore into the directory that was cut short: only its owner's
    // write lock makes it this process's to repair.
    const bool restoreCut = exists(path + "/" + kRestoreMarker);
    if (restoreCut || !isIndexInCache()) {
        bool consistent = false;
        if (!restoreCut &&
            platform::KeyStore::getNumberOr("Depot", "nPlayBackTranLogForRestart", 0) != 0) {
            if (discardForResume(true) != 0)
                debug(1, "Unable to discard index [%s] for resume", path.c_str());
            consistent = isTranLogConsistent(true);
            if (!consistent && removeCopy(nullptr) < 0)
                debug(1, "Unable to remove transaction logs for index [%s]", path.c_str());
        }
        if (!consistent) {
            errorCode_ = errno;
            debug(1, "index cache verification failed during resume of %s\n", path.c_str());
            markDamagedIfOwned(damaged);
            throw TInternalException(0);
        }
    }

    const std::string statePath = path + "/State";
    if (stateFile_.open(statePath.c_str(), sfOpenReadWrite, 0, 0) != 0) {
        errorCode_ = stateFile_.getLastError();
        debug(1, "resume cannot open %s, errno %d\n", statePath.c_str(), errorCode_);
        markDamagedIfOwned(damaged);
        throw TInternalException(0);
    }
    int state = -1;
    try {
        state = getState(true);
    } catch (const char*) {
        state = -1;
    }
    switch (state) {
    case 3:
        if (writeLock(0) == 1) {
            const std::string copyDir = defaultCopyDir(false);
            if (copyDir.empty() || !exists(copyDir)) {
                debug(1, "resume: discarding directory %s in writing state\n", path.c_str());
                discardForResume();
            } else {
                debug(1, "resume: copy '%s' exists (cacheDir='%s' in writing state)",
                      copyDir.c_str(), path.c_str());
            }
            damaged = true;
        } else {
            debug(1, "resume: directory %s is busy\n", path.c_str());
            errorCode_ = ERR_SUSPENDED;
        }
        throw TInternalException(0);
    case 2:
        errorCode_ = ERR_WRONG_STATE;
        throw TInternalException("Previous index is closed in reading state. Closed index "
                                 "cannot be resumed",
                                 13);
    case 0:
        if (!exists(path + "/canStillResume")) {
            errorCode_ = ERR_WRONG_STATE;
            throw TInternalException(
                "Found a completed/closed index. Cannot resume a completed index", 9);
        }
        completedIndex_ = true;
        debug(1, "resuming a completed index '%s'", path.c_str());
        break;
    case 1:
        break;
    default:
        if (errorCode_ == 0)
            errorCode_ = ERR_WRONG_STATE;
        markDamagedIfOwned(damaged);
        throw TInternalException("Failed to read state file", 14);
    }

    try {
        writeLock(60);
    } catch (const char* message) {
        if (retryFromCopy) {
            debug(1, "disabling retry during resume");
            retryFromCopy = false;
        }
        throw TInternalException(message ? message : "", 10);
    }
    const long now = getCurrentTime();
    if (now == 0) {
        errorCode_ = ERR_NO_TIME;
        throw TInternalException("Failed to get WardenServer time.", 11);
    }
    char atime[32];
    std::snprintf(atime, sizeof atime, "%lu    ", static_cast<unsigned long>(now));
    try {
        setState(3);
        if (stateFilePutAtime(atime) < 0)
            throw "stateFilePutAtime";
    } catch (const char*) {
        errorCode_ = stateFile_.getLastError();
        throw TInternalException("Failed to write state file", 12);
    }
    if (expectedJobId != 0 && !checkJobRun(expectedJobId, statusNamesDir))
        return nullptr;
    return cacheDirPath_.get();
}

// Whether the directory belongs to the expected job run. Another run's index
// is emptied and the resume flag set; the caller builds the index anew.
bool IndexCacheDirBase::checkJobRun(long long expectedJobId, bool statusNamesDir) {
    long long fileJobId = 0;
    std::string host, reason;
    unsigned int phase = 0, attempt = 0, counter = 0;
    const int read = readJobIdFile(&fileJobId, &host, &phase, &attempt, &counter);
    if (read != 1 && statusNamesDir) {
        // A torn or missing JobId proves nothing about whose index this is;
        // the job status file says it is this job's, so it is kept.
        debug(1, "resume: job id file of '%s' unreadable; the job status file names it",
              cacheDirPath_.get());
        jobIndexWriteCounter_ += 1;
        createJobIdFile();
        return true;
    }
    bool valid = read == 1 && isJobIdFileValid(&reason);
    if (!valid) {
        if (isTranLogConsistent(true)) {
            debug(1, "successfully downloaded index '%s'.", cacheDirPath_.get());
            valid = isJobIdFileValid(&reason);
            if (valid)
                readJobIdFile(&fileJobId, &host, &phase, &attempt, &counter);
        } else {
            debug(1, "Failed to verify consistency of index '%s'.", cacheDirPath_.get());
        }
    }
    if (!valid) {
        removeCopy(nullptr);
        discardForResume();
        debug(1,
              "resume: phase/attempt for job id %llu (DP '%s') in cache does not match expected "
              "%llu with err='%s'\n",
              static_cast<unsigned long long>(fileJobId), host.c_str(),
              static_cast<unsigned long long>(expectedJobId), reason.c_str());
        resumeFlag_ = true;
        stateFile_.close();
        return false;
    }
    jobIndexWriteCounter_ = counter + 1;
    createJobIdFile();
    return true;
}

// A damaged directory may be restored only by the process holding its write
// lock; one locked by a live process is busy.
void IndexCacheDirBase::markDamagedIfOwned(bool& damaged) {
    if (alreadyLocked() || writeLock(0) == 1) {
        damaged = true;
        return;
    }
    debug(1, "resume: directory %s is busy\n", cacheDirPath_.get());
    errorCode_ = ERR_SUSPENDED;
}
