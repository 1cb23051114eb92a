#include "cachedir/IndexCacheDirBase.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/ApplicationId.h"
#include "platform/OXPlatformInfo.h"

const char* const IndexCacheDirBase::LOCKING_TIMEOUT = "locking timeout";
const char* const IndexCacheDirBase::LOCKING_ERROR = "locking error";
const char* const IndexCacheDirBase::LOCKED_DIR_GONE = "locked directory is gone";

bool IndexCacheDirBase::firstConstructionFlag = true;
bool IndexCacheDirBase::staticCopyUponUpdateFlag = true;
unsigned long IndexCacheDirBase::copyUponUpdateThreshold = 2048;
unsigned int IndexCacheDirBase::integrityCheck_Flags = 148;
EIndexCacheDirHostApp IndexCacheDirBase::hostApplication = HostAppUnknown;

// A stray alarm (left by a platform call that timed out) must never end a job
// process, so the handler only puts itself back.
extern "C" {
static void sigReinstall(int) {
    std::signal(SIGALRM, sigReinstall);
}
}

namespace {

constexpr int kMinIndexServerTimeout = 60;
constexpr BackupType kForceCopyBackupType = BackupTypeSyntheticFull;

// printf into a std::string of whatever length the result needs.
std::string formatPath(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatPath(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        std::vsnprintf(&out[0], static_cast<size_t>(n) + 1, format, args);
    }
    va_end(args);
    return out;
}

} // namespace

IndexCacheDirBase::IndexCacheDirBase(OXAppType appType, unsigned long, std::string, long long,
                                     BackupType backupType, unsigned long, TCacheTypeEnum cacheType,
                                     bool flag)
    : CacheFsBase(appType, cacheType, flag), jobIdGiven_(0), backupType_(backupType),
      private_(new IndexCacheDirCheshireCat) {}

IndexCacheDirBase::~IndexCacheDirBase() {
    for (LockSlot& slot : lockSlots_) {
        std::free(slot.name);
        slot.name = nullptr;
    }
    if (otherCache_) {
        delete otherCache_;
        otherCache_ = nullptr;
    }
    cacheDirPath_.reset();
    otherStuff_.reset();
    private_.reset();
    // The slot files and the State file close (and drop their locks) as members.
}

void IndexCacheDirBase::loadTaskOptions() {
    checkpoint_ = false;
    useTranLog_ = false;
    useCatalogServerIfAvail_ = false;
    // A reload (the client name is known by then) decides the alternate index
    // server afresh: what the first load found must not outlive a catalog server.
    useAlternateIndexServerIfAvail_ = false;
    isAlternateIndexServer_ = false;
    OXPlatformInfo info;
    int options = 0;
    if (info.getRegInt("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", &options) != 1)
        options = 0;
    setIndexCheckpointFlag((options & 1) != 0);
    setIndexUseTranLogFlag((options & 2) != 0);
    setIndexUseCatalogServerIfAvailFlag((options & 4) != 0 ||
                                        getCatalogServerEnabledFlag(getClientName().c_str()));
    if (!useCatalogServerIfAvail_) {
        bool hasSecondary = false;
        bool isSecondary = false;
        std::string secondaryName;
        getAlternateIndexServerDetails(getClientName().c_str(), hasSecondary, isSecondary,
                                       secondaryName);
        setIndexUseAlternateIndexServerIfAvailFlag(hasSecondary);
        setIsAlternateIndexServerFlag(isSecondary);
    }
}

int IndexCacheDirBase::_preInit(OXAppType appType, unsigned int realmNumber, std::string appIdName,
                                long long jobId, BackupType backupType, unsigned int timeStamp) {
    loadTaskOptions();

    creationMode_ = fileCreationMode_;
    taskOptionsPending_ = true;
    separator_ = '/';
    requestedTimeStamp_ = timeStamp;
    jobPhase_ = 0;
    jobAttempt_ = 0;
    jobIndexWriteCounter_ = 0;
    backupType_ = backupType;
    errorCode_ = 0;
    currentLockSlot_ = -1;
    for (LockSlot& slot : lockSlots_) {
        std::free(slot.name);
        slot.name = nullptr;
    }
    backupRestoreEnabled_ = false;
    exclusiveLockingDisabled_ = false;
    stateFileMissing_ = false;
    noIndexFiles_ = false;
    resumeFlag_ = false;
    keepState_ = false;
    restoreStopped_ = false;
    completedIndex_ = false;
    indexingTokenIncrement_ = false;
    tokenIncrementArmed_ = true;
    indexAged_ = false;
    cacheDirPath_.reset();
    realmNumber_ = realmNumber;
    timeStamp_ = 0;
    jobIdGiven_ = jobId;
    jobId_ = jobId;
    setJobId(jobId);

    otherStuff_.reset(new (std::nothrow) ICDOtherStuff);
    if (!otherStuff_)
        debug(1, "cannot allocate otherStuff structure - out of memory");

    unsigned long app = 0;
    unsigned long second = 0;
    if (!decodeAppIdName(appIdName, &app, &second)) {
        debug(1, "Failed to decode appIdName [%s]", appIdName.c_str());
        return -1;
    }
    appNumber_ = app;
    secondAppNumber_ = second;
    appIdName_ = appIdName;

    // Read by the first construction only: later objects of the process keep
    // whatever it decided, even if the key changes meanwhile.
    if (firstConstructionFlag) {
        firstConstructionFlag = false;
        staticCopyUponUpdateFlag = true;
        copyUponUpdateThreshold = 2048;
        OXPlatformInfo info;
        std::string saver;
        if (info.getString("Depot", "sSPACESAVER", saver)) {
            unsigned long megabytes = 0;
            if (strcasecmp(saver.c_str(), "y") == 0 || strcasecmp(saver.c_str(), "yes") == 0) {
                staticCopyUponUpdateFlag = false;
            } else if (std::sscanf(saver.c_str(), "%lu", &megabytes) == 1) {
                staticCopyUponUpdateFlag = true;
                copyUponUpdateThreshold = megabytes;
            }
        }
    }
    copyUponUpdate_ = staticCopyUponUpdateFlag || backupType == kForceCopyBackupType;

    setOtherCachePtr(nullptr);

    OXPlatformInfo info;
    int serverTimeout = 0;
    if (info.getRegInt("~Depot", "nTRANLOGCATALOGSERVTIMEOUT", &serverTimeout) != 1) {
        indexServerTimeout_ = catalogServerTimeoutSecondsDefault;
        debug(3, "_preInit(): set IndexCacheServer timeouts to %d seconds (default)\n",
              indexServerTimeout_);
    } else {
        indexServerTimeout_ =
            serverTimeout < kMinIndexServerTimeout ? kMinIndexServerTimeout : serverTimeout;
        debug(3, "override IndexCacheServer timeouts to %d seconds\n", indexServerTimeout_);
    }

    unsigned long busy = 0;
    busyTimeout_ = DEFAULT_BUSY_TIMEOUT;
    if (info.getNumber("Depot", "nINDEXINGBUSYTIMEOUT", &busy) &&
        busy > static_cast<unsigned long>(DEFAULT_BUSY_TIMEOUT)) {
        busyTimeout_ =
            busy > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(busy);
        debug(3, "Receive timeout is overridden by registry to %d", busyTimeout_);
    }
    if (busyTimeout_ < indexServerTimeout_) {
        indexServerTimeout_ = busyTimeout_;
        debug(3, "adjusted IndexCacheServer timeout to %d to match UpdateIndex connection timeout",
              indexServerTimeout_);
    }

    try {
        switch (appType) {
        case 1:
        case kOpt1AppType:
            backupRestoreEnabled_ = true;
            break;
        case 7:
        case kJobResultsAppType:
            backupRestoreEnabled_ = false;
            break;
        default:
            debug(1, "Unexpected AppType %d", static_cast<int>(appType));
            throw "invalid app type";
        }
        if (std::signal(SIGALRM, sigReinstall) == SIG_ERR) {
            errorCode_ = errno;
            throw "signal handler installation failed";
        }
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "ERROR: _preInit() exception: %s: errno=%d\n", message, errorCode_);
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::_postInit() {
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        if (requestedTimeStamp_ == 0 && appType_ != kJobResultsAppType)
            return 0;
        timeStamp_ = requestedTimeStamp_;
        setCacheDirPath(cacheDirPathFor(requestedTimeStamp_).c_str());
        return 0;
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "ERROR: _postInit() exception: %s: errno=%d\n", message, errorCode_);
        return -1;
    }
}

void IndexCacheDirBase::initialize(const char* name, bool flag) {
    if (initialized_)
        return;
    CacheFsBase::initialize(name, flag);
    _postInit();
}

void IndexCacheDirBase::initializeLike(const CacheFsBase& model, bool legacyLayout) {
    if (initialized_)
        return;
    CacheFsBase::initializeLike(model, legacyLayout);
    _postInit();
}

void IndexCacheDirBase::initialize(const char* name) {
    initialize(name, false);
}

std::string IndexCacheDirBase::realmDirPath() const {
    return formatPath("%s%c%lu", cacheRoot_ ? cacheRoot_.get() : "", separator_,
                      static_cast<unsigned long>(realmNumber_));
}

std::string IndexCacheDirBase::appDirPath() const {
    return formatPath("%s%c%lu%c%s", cacheRoot_ ? cacheRoot_.get() : "", separator_,
                      static_cast<unsigned long>(realmNumber_), separator_, appIdName_.c_str());
}

std::string IndexCacheDirBase::cacheDirPathFor(unsigned long timeStamp) const {
    return formatPath("%s%c%lu%c%s%c%lu", cacheRoot_ ? cacheRoot_.get() : "", separator_,
                      static_cast<unsigned long>(realmNumber_), separator_, appIdName_.c_str(),
                      separator_, timeStamp);
}

void IndexCacheDirBase::setCacheDirPath(const char* path) {
    if (!path) {
        cacheDirPath_.reset();
        return;
    }
    // The path array has a fixed size that other processes' paths share; a
    // longer path would not fit, so it is refused instead of cut short.
    size_t length = std::strlen(path);
    if (length >= kPathSize) {
        errorCode_ = ENAMETOOLONG;
        throw "path too long";
    }
    if (cacheDirPath_.get() == path)
        return;
    std::unique_ptr<char[]> fresh(new (std::nothrow) char[kPathSize]);
    if (!fresh) {
        errorCode_ = ERR_NO_MEMORY;
        throw "out of memory";
    }
    std::memcpy(fresh.get(), path, length + 1);
    cacheDirPath_ = std::move(fresh);
}

const char* IndexCacheDirBase::getCacheDir() {
    return initialized_ ? cacheDirPath_.get() : nullptr;
}

const char* IndexCacheDirBase::getCacheDirSafe() {
    const char* path = getCacheDir();
    return path ? path : "**null**";
}

unsigned long IndexCacheDirBase::getTimeStamp() {
    return initialized_ && cacheDirPath_ ? static_cast<unsigned long>(timeStamp_) : 0;
}

long long IndexCacheDirBase::getJobId() {
    return jobId_ != 0 ? jobId_ : TDebuggable::getJobId();
}

OXAppType IndexCacheDirBase::getRealAppType() {
    if (realAppType_ == 0) {
        unsigned int type = 0;
        if (ApplicationId::getApplicationTypeNumber(static_cast<unsigned int>(realmNumber_),
                                                    static_cast<unsigned int>(appNumber_),
                                                    type) == 0)
            realAppType_ = type;
    }
    return realAppType_;
}

bool IndexCacheDirBase::getShouldIndexingTokenIncrement() {
    bool increment = indexingTokenIncrement_;
    indexingTokenIncrement_ = false;
    return increment;
}

void IndexCacheDirBase::setIndexCheckpointFlag(bool on) {
    checkpoint_ = on;
    taskOptionsPending_ = false;
}

bool IndexCacheDirBase::getIndexCheckpointFlag() {
    if (taskOptionsPending_)
        loadTaskOptions();
    return checkpoint_;
}

void IndexCacheDirBase::setIndexUseTranLogFlag(bool on) {
    taskOptionsPending_ = false;
    // Once transaction-log chunks have been taken, turning the option off
    // would leave the index server with a gap.
    if (!on && useTranLog_) {
        debug(1, "WARNING: attempt to re-set UseTranLog flag was ignored");
        return;
    }
    useTranLog_ = on;
}

bool IndexCacheDirBase::getIndexUseTranLogFlag() {
    if (taskOptionsPending_)
        loadTaskOptions();
    return useTranLog_;
}

void IndexCacheDirBase::setIndexUseCatalogServerIfAvailFlag(bool on) {
    useCatalogServerIfAvail_ = on;
    taskOptionsPending_ = false;
}

bool IndexCacheDirBase::getIndexUseCatalogServerIfAvailFlag() {
    if (taskOptionsPending_)
        loadTaskOptions();
    if (!getRemoteCacheFs().empty())
        return true;
    return useCatalogServerIfAvail_ && getCatalogServerEnabledFlag(getClientName().c_str());
}

void IndexCacheDirBase::setIndexUseAlternateIndexServerIfAvailFlag(bool on) {
    useAlternateIndexServerIfAvail_ = on;
    taskOptionsPending_ = false;
}

bool IndexCacheDirBase::getIndexUseAlternateIndexServerIfAvailFlag() {
    if (taskOptionsPending_)
        loadTaskOptions();
    return useAlternateIndexServerIfAvail_;
}

void IndexCacheDirBase::setIsAlternateIndexServerFlag(bool on) {
    isAlternateIndexServer_ = on;
    taskOptionsPending_ = false;
}

bool IndexCacheDirBase::getIsAlternateIndexServerFlag() {
    if (taskOptionsPending_)
        loadTaskOptions();
    return isAlternateIndexServer_;
}

const char* IndexCacheDirBase::failureMessage() noexcept {
    bool outOfMemory = false;
    const char* message = inFlightMessage(&outOfMemory);
    if (outOfMemory)
        errorCode_ = ERR_NO_MEMORY;
    return message;
}
