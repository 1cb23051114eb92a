// Cache directories a job left unusable: those of failed backups after the
// last good one, a corrupt index, and copies kept for analysis.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"
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

void IndexCacheDirBase::cleanFailedCachedirs(unsigned long afterTimeStamp,
                                             unsigned long keptTimeStamp, bool networkShare) {
    const char* source = "cleanFailedCachedirs";
    if ((appNumber_ == 0 && realmNumber_ == 0) || jobResults_ || cacheType_ == TCacheTypePageCache)
        return;
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
    CXDirectory dir;
    if (dir.open(appDir) != 0) {
        debug(1, "%s:Failed to open [%s]", source, appDir);
        return;
    }
    try {
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
            if (stateFile_.open(state.c_str(), sfOpenReadWrite, 0, 0) != 0) {
                debug(1, "cannot open state file '%s' (code %d) for cleanup\n", state.c_str(),
                      stateFile_.getLastError());
                if (stateFile_.getLastError() == ENOENT)
                    removeTree(*this, path);
            } else {
                // Through discard, under the directory's write lock: a directory
                // still in use elsewhere stays.
                discard(true);
                stateFile_.close();
            }
            setCacheDirPath(nullptr);
            debug(1, "cleanFailedCachedirs: discarding directory %s with time stamp > %u", path,
                  static_cast<unsigned int>(afterTimeStamp));
        }
    } catch (const char* message) {
        debug(1, "%s: %s: errno=%d\n", source, message, errorCode_);
    }
}

void IndexCacheDirBase::cleanFailedCachedirs_ci(unsigned long afterTimeStamp,
                                                unsigned long keptTimeStamp) {
    cleanFailedCachedirs(afterTimeStamp, keptTimeStamp, false);
}

int IndexCacheDirBase::removeCorruptIndex() {
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
}

void IndexCacheDirBase::preserveFailedCache(const char* suffix) {
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
        debug(1, "preserveFailedCache: Failed to preserve failed ICD '%s' to '%s' with result=%d",
              path.c_str(), target.c_str(), rc);
        return;
    }
    rc = dir.copyFiles(target.c_str(), nullptr, true);
    dir.close();
    debug(1, "preserveFailedCache: Files were copied from '%s' to '%s' with result=%d",
          path.c_str(), target.c_str(), rc);
}

void IndexCacheDirBase::logEvent(unsigned long eventNumber) {
    if (!cleanupLogFile_ || !cacheDirPath_ || !*cacheDirPath_.get())
        return;
    char text[2048];
    if (EvEvent::evPrintf(static_cast<unsigned int>(eventNumber), text, sizeof text) <= 0 || !*text)
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
}
