// Cache directories a job left unusable: those of failed backups after the
// last good one, a corrupt index, and copies kept for analysis.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kCannotOpenEvent = 0x0E0000FC;
constexpr unsigned int kRemovalFailedEvent = 0x0E0000FD;

const char* typeFolder(TCacheTypeEnum type) {
    return type == TCacheTypeContentSearch ? "OX_FcsIndex"
           : type == TCacheTypeSnap        ? "OX_SnapMetadata"
                                           : "OX_Index";
}

} // namespace

// Removes a directory without a State file, files first; the steps that
// fail are logged (and reported through onOpen/onEmpty when given).
static bool removeTree(TDebuggable& log, const std::string& path, bool* openFailed = nullptr,
                       bool* emptyFailed = nullptr) {
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0) {
        log.debug(1, "cannot open dir %s, code %d\n", path.c_str(), dir.getLastError());
        if (openFailed)
            *openFailed = true;
        return false;
    }
    dir.setRecursion(true);
    if (dir.removeFiles(nullptr) != 0) {
        log.debug(1, "cannot remove files in %s, code %d\n", path.c_str(), dir.getLastError());
        if (emptyFailed)
            *emptyFailed = true;
        dir.close();
        return false;
    }
    dir.close();
    if (safeRmdir(path.c_str()) != 0) {
        log.debug(1, "cannot remove dir %s, code %d\n", path.c_str(), errno);
        return false;
    }
    return true;
}

unsigned long IndexCacheDirBase::newestCompleteIn(const std::string& appDir, unsigned long limit) {
    std::vector<uint32_t> stamps;
    CXDirectory dir;
    if (dir.open(appDir.c_str()) != 0)
        return 0;
    while (const char* name = dir.read()) {
        if (!isDecimal(name))
            continue;
        const uint32_t t = static_cast<uint32_t>(std::strtoul(name, nullptr, 10));
        if (t <= static_cast<uint32_t>(limit))
            stamps.push_back(t);
    }
    dir.close();
    std::sort(stamps.rbegin(), stamps.rend());
    // Read without a lock: the answer is only a limit for the removal of
    // failed directories, each of which is then probed for its lock.
    for (uint32_t t : stamps) {
        CXFile state;
        char line[16];
        const std::string name = appDir + "/" + std::to_string(t) + "/State";
        if (state.open(name.c_str(), sfOpenRead, 0, 0) == 0 &&
            state.getLine(line, sizeof line) > 0 && (line[0] == '0' || line[0] == '2'))
            return t;
    }
    return 0;
}

bool IndexCacheDirBase::pastGracePeriod(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return true;
    unsigned long grace = kDefaultGraceSeconds;
    OXPlatformInfo info;
    info.getNumber("Depot", kGraceKey, &grace);
    const long long age = static_cast<long long>(platform::now()) - st.st_mtime;
    return age > static_cast<long long>(grace);
}

void IndexCacheDirBase::cleanFailedCachedirs(unsigned long afterTimeStamp,
                                             unsigned long keptTimeStamp, bool networkShare) {
    const char* source = "cleanFailedCachedirs";
    if ((appNumber_ == 0 && realmNumber_ == 0) || jobResults_ || cacheType_ == TCacheTypePageCache)
        return;
    try {
        std::string base = cacheRoot_ ? cacheRoot_.get() : "";
        if (networkShare) {
            if (catalogServer_ || remoteCacheRoot_.empty())
                return;
            base = remoteCacheRoot_ + "/" + typeFolder(cacheType_);
            debug(1, "Cleaning failed indices from network share");
            impersonateUser(false, nullptr, nullptr);
        }
        if (!initialized_ || base.empty()) {
            debug(1, "indexcache directory not set, skipping failed indices cleanup");
            return;
        }
        char appDir[kPathSize];
        std::snprintf(appDir, sizeof appDir, "%s%c%lu%c%s", base.c_str(), '/',
                      static_cast<unsigned long>(realmNumber_), '/', appIdName_.c_str());
        if (networkShare) {
            // The share keeps indexes of its own: what failed there is judged
            // against its own last good index, never against the local cache
            // (an empty local cache would otherwise clear the share).
            afterTimeStamp = newestCompleteIn(appDir, 0xFFFFFFFFul);
            if (afterTimeStamp == 0)
                return;
        }
        CXDirectory dir;
        if (dir.open(appDir) != 0) {
            debug(1, "%s:Failed to open [%s]", source, appDir);
            return;
        }
        while (const char* name = dir.read()) {
            if (!isDecimal(name))
                continue;
            // Unsigned, so that a name past 2^31 still names its own directory.
            unsigned long t = std::strtoul(name, nullptr, 10);
            if (t == keptTimeStamp || t <= afterTimeStamp)
                continue;
            char buf[kPathSize + 32];
            std::snprintf(buf, sizeof buf, "%s%c%lu", appDir, '/', t);
            const char* path = buf;
            setCacheDirPath(path);
            std::string state = std::string(path) + "/State";
            bool left = false;
            if (stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                debug(1, "cannot open state file '%s' (code %d) for cleanup\n", state.c_str(),
                      stateFile_.getLastError());
                // Without a State file there is no lock to take: only age
                // tells a directory that another process is making from one
                // that was left behind.
                if (stateFile_.getLastError() == ENOENT) {
                    if (pastGracePeriod(path))
                        removeTree(*this, path);
                    else
                        left = true;
                }
            } else if (writeLock(0) == 1) {
                // Through discard, under the directory's write lock.
                discard(true);
                stateFile_.close();
            } else {
                // A probe only: this runs inside create and update, which
                // must not wait for a directory another process still uses.
                stateFile_.close();
                left = true;
            }
            setCacheDirPath(nullptr);
            if (left)
                debug(1, "cleanFailedCachedirs: directory %s is in use, left alone", path);
            else
                debug(1, "cleanFailedCachedirs: discarding directory %s with time stamp > %u", path,
                      static_cast<unsigned int>(afterTimeStamp));
        }
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "%s: %s: errno=%d\n", source, message, errorCode_);
    }
}

void IndexCacheDirBase::cleanFailedCachedirs_ci(unsigned long afterTimeStamp,
                                                unsigned long keptTimeStamp) {
    cleanFailedCachedirs(afterTimeStamp, keptTimeStamp, false);
}

int IndexCacheDirBase::removeCorruptIndex() {
    try {
        if (!cacheDirPath_)
            return 1;
        const std::string path = cacheDirPath_.get();
        const std::string state = path + "/State";
        // A writer that found its own index corrupt still holds the State file:
        // the discard goes through that one.
        if (!stateFile_.isOpened() && stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0) != 0) {
            int err = stateFile_.getLastError();
            debug(1, "cannot open state file '%s' (code %d) for cleanup\n", state.c_str(), err);
            // A State file that exists but cannot be opened leaves the directory
            // in place: that is a failure, not a removal.
            if (err != ENOENT)
                return 1;
            bool openFailed = false, emptyFailed = false;
            if (removeTree(*this, path, &openFailed, &emptyFailed))
                return 0;
            if (openFailed)
                logEvent(kCannotOpenEvent);
            if (emptyFailed)
                logEvent(kRemovalFailedEvent);
            return 1;
        }
        debug(1, "removeCorruptIndex : discarding corrupt directory %s", path.c_str());
        int rc = discard(true);
        stateFile_.close();
        return rc;
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "removeCorruptIndex(): %s: errno=%d\n", message, errorCode_);
        return 1;
    }
}

void IndexCacheDirBase::preserveFailedCache(const char* suffix) {
    try {
        if (!cacheDirPath_)
            return;
        OXPlatformInfo info;
        int preserve = 0;
        if (info.getRegInt("~Depot", "nPRESERVEFAILEDICD", &preserve) != 1 || preserve == 0)
            return;
        const std::string path = cacheDirPath_.get();
        const std::string target = path + (suffix ? suffix : "_preservedAfterFailed");
        if (::mkdir(target.c_str(), creationMode_) != 0 && errno != EEXIST) {
            debug(1, "preserveFailedCache: cannot mkdir %s (errno %d)\n", target.c_str(), errno);
            return;
        }
        CXDirectory dir;
        dir.setRecursion(true);
        int rc = dir.open(path.c_str());
        if (rc != 0) {
            debug(1,
                  "preserveFailedCache: Failed to preserve failed ICD '%s' to '%s' with result=%d",
                  path.c_str(), target.c_str(), rc);
            return;
        }
        rc = dir.copyFiles(target.c_str(), nullptr, true);
        dir.close();
        debug(1, "preserveFailedCache: Files were copied from '%s' to '%s' with result=%d",
              path.c_str(), target.c_str(), rc);
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "preserveFailedCache(): %s: errno=%d\n", message, errorCode_);
    }
}

void IndexCacheDirBase::logEvent(unsigned long eventNumber) {
    try {
        if (!cleanupLogFile_ || !cacheDirPath_ || !*cacheDirPath_.get())
            return;
        char text[2048];
        if (EvEvent::evPrintf(static_cast<unsigned int>(eventNumber), text, sizeof text) <= 0 ||
            !*text)
            return;
        IndexCacheDirMainTranLogHelper helper(cacheDirPath_.get());
        std::string local = helper.getLocalPath(cacheDirPath_.get());
        if (catalogServer_)
            local = std::string("CatalogServer") + "/" + local;
        char line[4096];
        std::snprintf(line, sizeof line, "%s,%lu,%s", local.c_str(), eventNumber, text);
        // The host may have opened the file at its start; lines are only ever added.
        cleanupLogFile_->seek(0, sfSeekEnd);
        cleanupLogFile_->putLine(line, true);
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "logEvent(): %s: errno=%d\n", message, errorCode_);
    }
}
