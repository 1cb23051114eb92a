// The State file of a cache directory: line 1 the state digit, line 2 the
// access time. Both lines are rewritten in place and never truncated, so a
// reader in another process sees either the old or the new digit.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/Env.h"

namespace {

constexpr unsigned int kGetStateFailedEvent = 0x0E000031;
constexpr unsigned int kSetStateFailedEvent = 0x0E000032;
constexpr unsigned int kMkCacheDirFailedEvent = 0x0E000034;
constexpr int kLineSize = 256;
constexpr int kStateLockTimeout = 60;
constexpr unsigned long kAtimeRetrySleepMs = 1000;

// Whether path has gone unchanged for longer than getAtime's waits last: the
// maker of a directory who died before its State file was whole will not
// finish it, and waiting for it would only hold up clean-up, which weighs
// directories under the node-wide reservation lock.
bool unchangedLongerThanWaits(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 &&
           platform::now() - st.st_mtime >
               static_cast<time_t>(IndexCacheDirBase::GET_ATIME_RETRIES * kAtimeRetrySleepMs /
                                   1000);
}

bool startsWithDigit(const char* text) {
    return text[0] >= '0' && text[0] <= '9';
}

// Reopens the State file member after a write through a lock slot. The file
// was there when the member was opened; if it has been removed since, making
// a new empty one would leave a State file nobody wrote, so it is not created.
void reopenAfterSlotWrite(CXFile& member, const char* path, TDebuggable& log) {
    if (!path)
        return;
    std::string name = std::string(path) + "/State";
    if (member.open(name.c_str(), sfOpenReadWrite, 0, 0) != 0)
        log.debug(1, "cannot reopen '%s', code %d", name.c_str(), member.getLastError());
}

} // namespace

CXFile* IndexCacheDirBase::lockedSlotFile() {
    const char* path = cacheDirPath_.get();
    if (!path)
        return nullptr;
    // Only an open slot file has a descriptor to write through; a slot that was
    // unlocked keeps its name but has nothing left to route to.
    for (LockSlot& slot : lockSlots_) {
        if (slot.name && std::strcmp(slot.name, path) == 0 && slot.file.isOpened())
            return &slot.file;
    }
    return nullptr;
}

int IndexCacheDirBase::getState(bool raiseEvent) {
    try {
        errorCode_ = 0;
        if (!stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object is not opened";
        }
        if (stateFile_.seek(0, sfSeekSet) != 0) {
            errorCode_ = stateFile_.getLastError();
            throw "seek failed";
        }
        char line[kLineSize];
        int rc = stateFile_.getLine(line, sizeof line);
        if (rc > 0)
            return startsWithDigit(line) ? std::atoi(line) : -1;
        errorCode_ = stateFile_.getLastError();
        debug(1, "State file getLine %s\n", rc < 0 ? "error" : "unexpected EOF");
        throw "State file getLine error";
    } catch (...) {
        const char* message = failureMessage();
        if (raiseEvent) {
            ev() << (cacheDirPath_ ? cacheDirPath_.get() : "NULL");
            ev().MajorEvent(kGetStateFailedEvent, 0, 0);
        }
        debug(1, "getState(): %s: errno=%d\n", message, errorCode_);
        throw "getState() exception";
    }
}

int IndexCacheDirBase::setState(int state) {
    try {
        if (!stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object is not opened";
        }
        // Line 1 is rewritten in place: a value of another length would move
        // line 2 under its readers.
        if (state < 0 || state > 9) {
            errorCode_ = EINVAL;
            throw "invalid state value";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%d", state);
        bool tookLock = false;
        if (!alreadyLocked()) {
            if (writeLock(kStateLockTimeout) != 1)
                throw "cannot lock State file";
            tookLock = true;
        }
        const char* path = cacheDirPath_.get();
        // Line 1 keeps its ending: a CR LF file written by another platform
        // stays CR LF, so line 2 does not move.
        int offset = seekToAtime(path, stateFile_, true);
        if (offset == 2) {
            std::strcat(text, "\n");
        } else if (offset == 3) {
            std::strcat(text, "\r\n");
        } else {
            debug(1, "unable to determine seek offset in '%s'", path ? path : "NULL");
            throw "State file error";
        }
        if (stateFileSeek(0, sfSeekSet) < 0) {
            errorCode_ = stateFile_.getLastError();
            throw "seek failed";
        }
        int length = static_cast<int>(std::strlen(text));
        int written = stateFileWrite(text, length);
        if (written != length) {
            errorCode_ = stateFile_.getLastError();
            debug(1, "unable to write in '%s', ret %d, code %d", path ? path : "NULL", written,
                  errorCode_);
            throw "State file write error";
        }
        if (tookLock)
            unLock();
        debug(3, "state is set to %d", state);
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        ev() << (cacheDirPath_ ? cacheDirPath_.get() : "NULL");
        ev().MajorEvent(kSetStateFailedEvent, 0, 0);
        debug(1, "setState(): %s: errno=%d\n", message, errorCode_);
        throw "setState exception";
    }
}

int IndexCacheDirBase::getCacheState() {
    const bool wasOpen = stateFile_.isOpened() != 0;
    if (!wasOpen && reopenStateFile() != 0)
        return -1;
    int state;
    try {
        state = getState(false);
    } catch (...) {
        const char* message = failureMessage();
        debug(3, "getCacheState() caught exception: %s", message);
        state = -1;
    }
    if (!wasOpen)
        stateFile_.close();
    return state;
}

bool IndexCacheDirBase::stateError() {
    try {
        getState(false);
        return false;
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "stateError: getState threw exception '%s'\n", message);
        return true;
    }
}

int IndexCacheDirBase::seekToAtime(const char* name, CXFile& file, bool offsetOnly) {
    if (!name)
        name = "NULL";
    if (file.seek(0, sfSeekSet) != 0) {
        debug(1, "seekToAtime: seek failed in '%s', code %d", name, file.getLastError());
        errorCode_ = file.getLastError();
        return -1;
    }
    char bytes[3] = {0, 0, 0};
    int n = file.read(bytes, 2);
    if (n == 0 && offsetOnly)
        return 2; // an empty file counts as a one-digit first line
    if (n == 2) {
        int offset;
        if (bytes[1] == '\n') {
            offset = 2;
        } else if (bytes[1] == '\r') {
            offset = 3;
        } else {
            debug(1, "seekToAtime: in '%s' read 2nd byte 0x%X buffer '%s'", name,
                  static_cast<unsigned int>(static_cast<unsigned char>(bytes[1])), bytes);
            errorCode_ = ERR_NOT_THERE;
            return -1;
        }
        if (offsetOnly)
            return offset;
        if (file.seek(offset, sfSeekSet) != 0) {
            errorCode_ = file.getLastError();
            debug(1, "seekToAtime: seek %d in '%s' failed, errno %d\n", offset, name, errorCode_);
            return -1;
        }
        return 0;
    }
    debug(1, "seekToAtime: read in '%s' ret %d, code %d", name, n, file.getLastError());
    errorCode_ = n < 0 ? file.getLastError() : ERR_SHORT_READ;
    return -1;
}

unsigned long IndexCacheDirBase::getAtime() {
    if (!initialized_)
        return 0;
    if (otherStuff_ && otherStuff_->atime != 0)
        return otherStuff_->atime;
    if (stateFileMissing_) {
        errorCode_ = ERR_NOT_THERE;
        return 0;
    }
    const char* path = cacheDirPath_.get();
    try {
        if (!path) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object is not opened";
        }
        std::string name = std::string(path) + separator_ + "State";
        char line[kLineSize];
        int openFailures = 0;
        bool lastOpenFailed = false;
        // A writer may be between creating the directory and writing the
        // State file, so a missing or short file is retried before it counts.
        for (int attempt = 1;; ++attempt) {
            const bool final = attempt == GET_ATIME_RETRIES;
            const char* failure = nullptr;
            CXFile file;
            if (file.open(name.c_str(), sfOpenRead, 0) != 0) {
                ++openFailures;
                lastOpenFailed = true;
                errorCode_ = file.getLastError();
                // Waiting is for a State file its maker is about to write;
                // a directory that is gone gets none, nor one its maker left.
                struct stat dirStat;
                if (final || (::stat(path, &dirStat) != 0 && errno == ENOENT) ||
                    unchangedLongerThanWaits(path)) {
                    debug(1,
                          "getAtime: open '%s' failed %d times, errno %d will be treated as "
                          "ERR_NOT_THERE\n",
                          name.c_str(), openFailures, errorCode_);
                    errorCode_ = ERR_NOT_THERE;
                    throw "State file open error";
                }
            } else {
                if (lastOpenFailed)
                    debug(1, "getAtime: open '%s' failed %d times, errno %d\n", name.c_str(),
                          openFailures, errorCode_);
                lastOpenFailed = false;
                if (seekToAtime(name.c_str(), file, false) != 0) {
                    failure = "seek error";
                } else {
                    int rc = file.getLine(line, sizeof line);
                    if (rc <= 0) {
                        errorCode_ = file.getLastError();
                        debug(1, "State file '%s' getLine %s code %d\n", name.c_str(),
                              rc < 0 ? "error" : "unexpected EOF", errorCode_);
                        failure = "State file getLine error";
                    } else {
                        file.close();
                        if (startsWithDigit(line))
                            break;
                        failure = "invalid atime";
                    }
                }
                if (final || unchangedLongerThanWaits(name)) {
                    errorCode_ = ERR_NOT_THERE;
                    throw failure;
                }
            }
            platform::sleepMs(kAtimeRetrySleepMs);
        }
        unsigned long atime = static_cast<unsigned long>(std::atoi(line));
        unsigned long timeStamp = getTimeStamp();
        if (static_cast<int32_t>(atime) < static_cast<int32_t>(timeStamp)) {
            debug(3, "getAtime: atime %d is smaller than time stamp %lu", static_cast<int>(atime),
                  timeStamp);
            atime = timeStamp;
        }
        if (otherStuff_)
            otherStuff_->atime = static_cast<uint32_t>(atime);
        return atime;
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "getAtime(): cache '%s' error '%s' errno=%d\n", path ? path : "NULL", message,
              errorCode_);
        if (errorCode_ == ERR_NOT_THERE)
            stateFileMissing_ = true;
        return 0;
    }
}

int IndexCacheDirBase::stateFileWrite(const char* text, int length) {
    CXFile* slot = lockedSlotFile();
    if (!slot)
        return stateFile_.write(text, static_cast<unsigned long>(length));
    const bool wasOpen = stateFile_.isOpened() != 0;
    if (wasOpen)
        stateFile_.close();
    int rc = slot->write(text, static_cast<unsigned long>(length));
    if (wasOpen)
        reopenAfterSlotWrite(stateFile_, cacheDirPath_.get(), *this);
    stateFile_.setLastError(*slot);
    return rc;
}

int IndexCacheDirBase::stateFileSeek(long long offset, sfSeekMode_t origin) {
    CXFile* slot = lockedSlotFile();
    if (!slot)
        return stateFile_.seek(offset, origin);
    int rc = slot->seek(offset, origin);
    stateFile_.setLastError(*slot);
    return rc;
}

int IndexCacheDirBase::stateFileTruncate() {
    CXFile* slot = lockedSlotFile();
    if (!slot)
        return stateFile_.truncate();
    int rc = slot->truncate();
    stateFile_.setLastError(*slot);
    return rc;
}

int IndexCacheDirBase::stateFilePutAtime(const char* text) {
    const char* path = cacheDirPath_.get();
    CXFile* slot = lockedSlotFile();
    if (!slot) {
        if (seekToAtime(path ? path : "unknown", stateFile_, false) != 0)
            return -1;
        return stateFile_.putLine(text, true);
    }
    if (seekToAtime(path, *slot, false) != 0) {
        stateFile_.setLastError(*slot);
        return -1;
    }
    const bool wasOpen = stateFile_.isOpened() != 0;
    if (wasOpen)
        stateFile_.close();
    int rc = slot->putLine(text, true);
    if (wasOpen)
        reopenAfterSlotWrite(stateFile_, path, *this);
    stateFile_.setLastError(*slot);
    return rc;
}

int IndexCacheDirBase::reopenStateFile() {
    if (stateFile_.isOpened())
        return 0;
    const char* path = cacheDirPath_.get();
    if (!path) {
        debug(1, "cannot reopen state file with no cacheDir");
        return -1;
    }
    std::string name = std::string(path) + separator_ + "State";
    if (stateFile_.open(name.c_str(), sfOpenCreate, 0, 0) != 0) {
        debug(1, "cannot reopen '%s', code %d", name.c_str(), stateFile_.getLastError());
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::mkCacheDir() {
    std::string making = "NONE";
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        const mode_t mode = static_cast<mode_t>(creationMode_);

        making = realmDirPath();
        if (::mkdir(making.c_str(), mode) != 0 && errno != EEXIST) {
            errorCode_ = errno;
            debug(1, "cannot mkdir %s (errno %d)\n", making.c_str(), errorCode_);
            throw "make client directory failed";
        }
        making = appDirPath();
        if (::mkdir(making.c_str(), mode) != 0 && errno != EEXIST) {
            errorCode_ = errno;
            debug(1, "cannot mkdir %s (errno %d)\n", making.c_str(), errorCode_);
            throw "make subclient directory failed";
        }
        making = cacheDirPathFor(static_cast<unsigned long>(timeStamp_));
        setCacheDirPath(making.c_str());
        if (jobId_ != 0)
            debug(2, "job %llu creating '%s'\n", static_cast<unsigned long long>(jobId_),
                  making.c_str());
        if (::mkdir(making.c_str(), mode) != 0) {
            errorCode_ = errno;
            if (errorCode_ != EEXIST) {
                debug(1, "cannot mkdir %s (errno %d)\n", making.c_str(), errorCode_);
                throw "make timeStamp directory failed";
            }
            debug(1, "mkdir %s failed because directory already exists\n", making.c_str());
        }

        if (writeLock(kStateLockTimeout) != 1)
            throw "cannot lock State file";

        std::string name = making + separator_ + "State";
        if (stateFile_.open(name.c_str(), sfOpenCreate, 0, static_cast<int>(creationMode_)) != 0) {
            errorCode_ = stateFile_.getLastError();
            throw "failed to create State file";
        }
        if (appType_ != kJobResultsAppType)
            createJobStatusFile(JobStatusCI, 0);
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        ev() << making.c_str();
        ev().MajorEvent(kMkCacheDirFailedEvent, 0, 0);
        debug(1, "mkCacheDir(): %s: errno=%d\n", message, errorCode_);
        throw "mkCacheDir exception";
    }
}
