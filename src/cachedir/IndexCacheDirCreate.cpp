// A new, empty cache directory for a new index, and the removal of a whole
// directory tree that open and update fall back on.
#include <unistd.h>

#include <cstdio>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/CrashPoint.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kCreateFailedEvent = 0x0E000039;
constexpr unsigned int kClientCreateFailedEvent = 0x0E00003A;
constexpr unsigned int kClockBackwardsEvent = 0x0E000053;
constexpr unsigned long kNoLimit = 0xFFFFFFFFul;

} // namespace

char* IndexCacheDirBase::create(unsigned long timeStamp) {
    if (!initialized_)
        return nullptr;
    // A client cache's directory is given at initialisation; every other
    // kind names its directory here.
    const bool clientCache = jobResults_;
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        if (!clientCache)
            setCacheDirPath(nullptr);
        if (stateFile_.isOpened()) {
            errorCode_ = ERR_NOT_OPENED;
            throw "object already opened";
        }
        if (clientCache && !cacheDirPath_) {
            debug(1, "no cacheDir for client cache create\n");
            return nullptr;
        }
        const unsigned long now = static_cast<unsigned long>(getCurrentTime());
        if (now == 0) {
            errorCode_ = ERR_NO_TIME;
            throw "getCurrentTime failed";
        }
        if (!clientCache) {
            const unsigned long previous = backSearch(kNoLimit, false);
            unsigned long chosen = timeStamp;
            if (chosen == 0) {
                // A directory named after a time that is not later than the
                // newest one would sort before it and be taken for an older
                // backup by every search.
                if (now <= previous) {
                    ev().CriticalEvent(kClockBackwardsEvent, 0, 0);
                    errorCode_ = ERR_CLOCK_BACKWARDS;
                    pendingReasonMessageId_ = static_cast<int>(kClockBackwardsEvent);
                    throw "server clock has gone backwards";
                }
                chosen = now;
            }
            timeStamp_ = chosen;
            // Failed directories are those newer than the last complete
            // index; the newest name may itself be one of them.
            const unsigned long lastGood = newestCompleteIn(appDirPath(), kNoLimit);
            cleanFailedCachedirs(lastGood, 0, false);
            cleanFailedCachedirs(lastGood, 0, true);
            setCacheDirPath(cacheDirPathFor(chosen).c_str());
        }
        mkCacheDir();
        platform::crashPoint("create.made");
        setState(3);
        platform::crashPoint("create.stated");
        char text[32];
        std::snprintf(text, sizeof text, "%lu    ", now);
        if (stateFilePutAtime(text) < 0) {
            errorCode_ = stateFile_.getLastError();
            throw "State file putLine error";
        }
        return cacheDirPath_.get();
    } catch (...) {
        const char* message = failureMessage();
        if (!clientCache) {
            appEvent(static_cast<unsigned int>(realmNumber_),
                     static_cast<unsigned int>(appNumber_));
            dateEvent(static_cast<unsigned int>(timeStamp));
            ev().MajorEvent(kCreateFailedEvent, 0, 0);
        } else {
            ev() << static_cast<long long>((appNumber_ << 32) + timeStamp_);
            ev().MajorEvent(kClientCreateFailedEvent, 0, 0);
        }
        debug(1, "create(int): %s: errno=%d\n", message, errorCode_);
        return nullptr;
    }
}

void IndexCacheDirBase::removeDirectory(char* path) {
    if (!path || ::access(path, F_OK) != 0)
        return;
    // Best effort: whatever stays behind is found again by the next search
    // and handled there.
    CXDirectory dir;
    if (dir.open(path) == 0) {
        dir.setRecursion(true);
        dir.removeFiles(nullptr);
        dir.close();
    }
    safeRmdir(path);
}
