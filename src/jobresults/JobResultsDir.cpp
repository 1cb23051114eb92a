#include "jobresults/JobResultsDir.h"

#include <unistd.h>

#include <new>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/ApplicationId.h"
#include "platform/Env.h"

namespace {
constexpr unsigned long kKeepAccessedSeconds = 86400;
constexpr const char* kNoClientName = "**NoClientName**";
// The backup type every results directory is made with.
constexpr int kResultsBackupType = 6;
} // namespace

JobResultsDir::JobResultsDir() {
    setDebugPrefix("JOBRESULTSDIR");
}

JobResultsDir::~JobResultsDir() {
    if (opened_)
        close();
    // The cache directory's log may point at the clean-up event: it goes first.
    cacheDirObject_.reset();
    if (externalEvent_ == cleanupEvent_.get())
        setEvent(nullptr);
}

int JobResultsDir::initialize(unsigned int realmId, long long jobId, bool exclusive,
                              const char* clientName) {
    return initialize(realmId, jobId, exclusive, clientName, 0);
}

int JobResultsDir::initialize(unsigned int realmId, long long jobId, bool exclusive,
                              const char* clientName, unsigned int appId) {
    // A directory still open under the old object would keep its writing state
    // and lock until the object is gone: close it as the caller would.
    if (opened_)
        close();
    opened_ = false;
    cacheDirObject_.reset();

    if (appId != 0) {
        ApplicationId app(realmId, appId);
        const unsigned int type = app.getAppType();
        if (type == 0) {
            debug(1, "JobResultsDir::initialize: AppId[%lu] - Failed to get appType",
                  static_cast<unsigned long>(appId));
            return 1;
        }
        debug(3, "JobResultsDir::initialize: AppId[%lu] AppType[%lu]",
              static_cast<unsigned long>(appId), static_cast<unsigned long>(type));
        if (type != kOwnAppIdType)
            appId = 0;
    }

    cacheDirObject_.reset(new (std::nothrow) JobResultsCacheDir(
        kJobResultsAppType, realmId, appId, jobId, static_cast<BackupType>(kResultsBackupType),
        static_cast<unsigned long>(static_cast<unsigned long long>(jobId) & 0xFFFFFFFFull),
        TCacheTypeTape, false));
    if (!cacheDirObject_) {
        debug(3, "cannot allocate IndexCacheDir");
        return 1;
    }
    if (cleanupEvent_)
        cacheDirObject_->setEvent(cleanupEvent_.get());
    cacheDirObject_->initialize(clientName, false, appId);
    if (!getCacheDir())
        return 1;
    if (!exclusive)
        cacheDirObject_->disableExclusiveLock();
    if (appId != 0)
        opened_ = true;
    return 0;
}

int JobResultsDir::open(bool readOnly) {
    const char* path = getCacheDir();
    if (!path) {
        debug(3, "open: not initialized\n");
        return 1;
    }
    if (::access(path, F_OK) != 0) {
        if (readOnly) {
            debug(3, "open (read-only): cacheDir %s does not exist\n", path);
            return 1;
        }
        if (!cacheDirObject_->create(0)) {
            debug(3, "open: IndexCacheDir::create failed, code %d\n", cacheDirObject_->getErrno());
            return 1;
        }
    } else if (!cacheDirObject_->open(readOnly ? 1 : 0, false)) {
        debug(3, "open: IndexCacheDir::open failed, code %d\n", cacheDirObject_->getErrno());
        return 1;
    }
    opened_ = true;
    return 0;
}

int JobResultsDir::close() {
    if (!getCacheDir()) {
        debug(3, "close: not initialized\n");
        return 1;
    }
    if (!opened_)
        return 0;
    opened_ = false;
    return cacheDirObject_->close(false) < 0 ? 1 : 0;
}

int JobResultsDir::reserve(unsigned long long bytes) {
    try {
        if (!cacheDirObject_)
            throw "not initialized";
        return cacheDirObject_->reserve(bytes, 0, nullptr, 0) > 0 ? 0 : 1;
    } catch (const char* message) {
        debug(3, "reserve: %llu bytes, %s\n", bytes, message);
        return 1;
    }
}

int JobResultsDir::release(unsigned long long bytes) {
    try {
        if (!cacheDirObject_)
            throw "not initialized";
        return cacheDirObject_->release(bytes, false) < 0 ? 1 : 0;
    } catch (const char* message) {
        debug(3, "release: %llu bytes, %s\n", bytes, message);
        return 1;
    }
}

const char* JobResultsDir::clientNameOrMarker() const {
    const char* name = getClientName();
    return name && *name ? name : kNoClientName;
}

int JobResultsDir::cleanUp() {
    setupCleanupLogging(true);
    debug(3, "Starting job results cleanup for %s", clientNameOrMarker());
    if (!getCacheDir()) {
        debug(1, "cleanUp: not initialized\n");
        return -1;
    }
    const unsigned long now = static_cast<unsigned long>(platform::now());
    const int rc = cacheDirObject_->cleanUp(0, true, false, true, 0, nullptr,
                                            now - kKeepAccessedSeconds, 0, nullptr, 0);
    debug(3,
          "%s cleanup %s, use QMachineMaint/nTimer_JobResultsCleanup (minutes) to change frequency",
          clientNameOrMarker(), rc < 0 ? "failed" : "successful");
    return rc;
}

void JobResultsDir::setupCleanupLogging(bool twoPlaces) {
    if (getEvent())
        return;
    if (!cleanupEvent_) {
        cleanupEvent_.reset(new (std::nothrow) EvEvent);
        if (!cleanupEvent_) {
            debug(3, "out of memory for cleanup EvEvent");
            return;
        }
        cleanupEvent_->initialize(2, kCleanupModuleId, getJobId(), nullptr, "");
    }
    setEvent(cleanupEvent_.get());
    setLogTwoPlaces(twoPlaces);
    if (cacheDirObject_) {
        cacheDirObject_->setEvent(cleanupEvent_.get());
        cacheDirObject_->setLogTwoPlaces(twoPlaces);
    }
}

void JobResultsDir::setCleanupEvent(EvEvent* event) {
    EvEvent* old = cleanupEvent_.get();
    if (old == event)
        return;
    // Every log that writes through the old event follows the new one before
    // the old one is deleted.
    if (old && externalEvent_ == old)
        setEvent(event);
    if (old && cacheDirObject_ && cacheDirObject_->getEvent() == old)
        cacheDirObject_->setEvent(event);
    cleanupEvent_.reset(event);
}

int JobResultsDir::getLastError() {
    if (!cacheDirObject_) {
        debug(3, "getLastError: no cache dir\n");
        return -1;
    }
    return cacheDirObject_->getErrno();
}

void JobResultsDir::setNumDays(unsigned int days) {
    if (cacheDirObject_)
        cacheDirObject_->setNumDays(days);
}

unsigned int JobResultsDir::getNumDays() const {
    return cacheDirObject_ ? cacheDirObject_->getNumDays() : 0;
}

int JobResultsDir::setDiskFree(unsigned int percent) {
    return cacheDirObject_ ? cacheDirObject_->setDiskFree(percent) : -1;
}

unsigned int JobResultsDir::getDiskFree() const {
    return cacheDirObject_ ? cacheDirObject_->getDiskFree() : 0;
}

const char* JobResultsDir::getCacheDir() const {
    return cacheDirObject_ ? cacheDirObject_->getCacheDir() : nullptr;
}

const char* JobResultsDir::getClientName() const {
    return cacheDirObject_ ? cacheDirObject_->getClientName().c_str() : nullptr;
}
