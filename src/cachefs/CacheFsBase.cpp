#include "cachefs/CacheFsBase.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "common/HostServices.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXCritSect.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

struct CacheTypeInfo {
    const char* folder;
    const char* pending;
    int pendingId;
    const char* printable;
};

const CacheTypeInfo& cacheTypeInfo(int type) {
    static const CacheTypeInfo table[] = {
        {"OX_Index", "cannot access index cache", 0x0E000073, "Tape"},
        {"OX_FcsIndex", "cannot access content index cache", 0x0E000072, "ContentSearch"},
        {"OX_SnapMetadata", "cannot access snap metadata cache", 0x0E0000BC, "Snap"},
        {"OX_PageCache", "cannot access page cache", 0x0E000073, "PageCache"},
    };
    static const CacheTypeInfo fallback = {"OX_Index", "cannot access index cache", 0x0E000073,
                                           "TapeDefault"};
    return type >= 0 && type <= 3 ? table[type] : fallback;
}

bool isIndexProcess() {
    const char* name = EvDebug::getApplicationName();
    return name && (strcasecmp(name, "CreateIndex") == 0 || strcasecmp(name, "UpdateIndex") == 0 ||
                    strcasecmp(name, "archiveIndex") == 0);
}

} // namespace

bool g_bSkipImpersonation = false;

namespace {
constexpr unsigned int kCleanupModuleId = 1679234300;
}

long long CacheFsBase::numObjects = 0;
unsigned long CacheFsBase::clientId = 0;
std::string CacheFsBase::hostName;
int CacheFsBase::reservationFlag = -1;

CXCritSect& CacheFsBase::cs() {
    // Never destroyed: the destructors of static cache objects still use it.
    static CXCritSect* section = new CXCritSect;
    return *section;
}

CacheFsBase::CacheFsBase(OXAppType appType, TCacheTypeEnum cacheType, bool)
    : appType_(appType), cacheType_(cacheType), private_(new CacheFSCheshireCat) {
    setDebugPrefix("CACHEFSBASE");
    const CacheTypeInfo& info = cacheTypeInfo(cacheType);
    jobPendingMessage_ = info.pending;
    numericJobPendingMessage_ = info.pendingId;
}

CacheFsBase::~CacheFsBase() {
    destroying_ = true;
    try {
        CXAutoCritSect guard(&cs(), "CacheFsBase::~CacheFs", true);
        if (counted_)
            --numObjects;
        // The last object of the process on a reserve file gives the process's
        // line in it back, in either mode: no object is left to release it.
        if (!countedReserveFile_.empty()) {
            ReserveFileState& state = reserveState(countedReserveFile_);
            if (--state.objects == 0 && state.lineHeld && !runningInDepotSvc_)
                reserveOnDisk(kGiveBackAll, 0, nullptr, 0, false);
        }
        if (externalEvent_ == cleanupEvent_.get())
            externalEvent_ = nullptr;
        cleanupEvent_.reset();
    } catch (const char* message) {
        debug(1, "destructor: %s, errno=%d\n", message, errno);
    }
}

[[noreturn]] void CacheFsBase::fail(const char* message, const std::string& pending, int pendingId,
                                    EInitializationFailureReason reason) {
    if (!pending.empty()) {
        jobPendingMessage_ = pending;
        numericJobPendingMessage_ = pendingId;
    }
    initFailure_ = reason;
    throw message;
}

void CacheFsBase::initialize(const char* clientName) {
    initialize(clientName, false);
}

void CacheFsBase::initialize(const char* clientName, bool noLocalCache) {
    initialize(clientName, noLocalCache, 0);
}

void CacheFsBase::initialize(const char* clientName, bool noLocalCache, unsigned long) {
    if (initialized_)
        return;
    try {
        if (otherCache_) {
            otherCache_->setUseIntermediateCache(getUseIntermediateCache());
            otherCache_->initialize(clientName, noLocalCache);
        }

        std::string client = clientName ? clientName : "";
        if (client.empty())
            client = OXPI_Focus::getFocusClientName(false);
        if (client.empty()) {
            client = OXPlatformInfo::getPhysicalMachine();
            debug(1, "WARNING: no focus client name - defaulting to physical machine '%s'",
                  client.c_str());
            initFailure_ = InitNoFocusClient;
            OXPI_Focus::doCrashThisProcess(true, nullptr);
        }
        clientName_ = client;

        OXPI_Depot depot;
        std::string indexCacheDir;
        bool haveIndexCacheDir = depot.getIndexCacheDirectory(client.c_str(), indexCacheDir);

        std::string reserveFolder = "OX_Index";
        std::string subFolder = cacheTypeInfo(cacheType_).folder;
        if (catalogServer_)
            subFolder = std::string("CatalogServer") + "/" + subFolder;
        if (appType_ == kOpt1AppType)
            reserveFolder = subFolder = "OX_Opt1";

        cacheRoot_.reset();
        {
            CXAutoCritSect guard(&cs(), "CacheFsBase::CacheFs", true);
            if (!counted_) {
                ++numObjects;
                counted_ = true;
            }
        }

        std::string base;
        if (appType_ != kJobResultsAppType) {
            std::string localPath;
            if ((isIndexProcess() || getUseIntermediateCache()) && !noLocalCache)
                localPath = readLocalCacheFsFromRegistry(client.c_str());
            if (!haveIndexCacheDir) {
                std::string product;
                if (!OXPI_PlatformBase::getOrbitDirectory(product))
                    fail("no index cache",
                         "cannot determine base directory for creating client index", 0x0E000076,
                         InitNoIndexCacheBase);
                char buf[1100];
                std::snprintf(buf, sizeof buf, "%s%c%s", product.c_str(), '/', "TempIndex");
                base = buf;
            } else {
                if (!depot.getIndexCacheDirectory(client.c_str(), base))
                    fail("no index cache", "cannot determine index cache base", 0x0E000076,
                         InitNoIndexCacheBase);
            }
            remoteCacheRoot_.clear();
            if (!localPath.empty() && localPath != base) {
                remoteCacheRoot_ = base;
                base = localPath;
            }
            jobResults_ = false;
        } else {
            jobPendingMessage_ = "cannot access Job Results cache";
            numericJobPendingMessage_ = 0x0E000074;
            OXPI_RealmClient realmClient;
            if (realmClient.invalidOXPlatform() != 0)
                fail("no job results directory",
                     "cannot determine Job Results cache base. Not a RealmClient platform",
                     0x0E000075, InitNoJobResultsDir);
            char dir[1027], user[1027], password[1027];
            if (!realmClient.getJobResultsDirectory(client.c_str(), dir, user, password, 1027))
                fail("no job results directory", "cannot determine Job Results cache base",
                     0x0E000075, InitNoJobResultsDir);
            base = dir;
            jobResults_ = true;
            std::string remoteRealm = OXPI_Focus::getRemoteRealmFocus();
            subFolder = reserveFolder =
                remoteRealm.empty() ? std::string("OX_JobResults") : "OX_JobResults/" + remoteRealm;
        }

        if (haveIndexCacheDir && remoteCacheRoot_.empty() && ::access(base.c_str(), F_OK) != 0) {
            accessError_ = errno;
            debug(1, "Cannot access index cache directory: '%s'. Failing...", base.c_str());
            fail("cannot access index cache directory", std::string(), 0, InitNoIndexCacheBase);
        }

        std::string sep = !base.empty() && (base.back() == '/' || base.back() == '\\') ? "" : "/";
        legacyLayoutPath_ = base + sep + "2";
        if (legacyLayoutPresent())
            warnLegacyLayout();
        std::string root = base + sep + subFolder;
        const bool rootExists = ::access(root.c_str(), F_OK) == 0;
        if (!rootExists)
            accessError_ = errno;
        reserveFilePath_ = base + sep + reserveFolder + "/" + "reserveFile";
        {
            CXAutoCritSect guard(&cs(), "CacheFsBase::CacheFs", true);
            reserveFileState_ = &reserveState(reserveFilePath_);
        }

        cacheRoot_.reset(new (std::nothrow) char[root.size() + 1]);
        if (!cacheRoot_)
            fail("out of memory", std::string(), 0, InitOutOfMemory);
        std::memcpy(cacheRoot_.get(), root.c_str(), root.size() + 1);
        // Clean-up initialises one object per cache directory it scans: a root
        // that exists is not made again.
        if (!rootExists)
            recursiveMkdir(cacheRoot_.get(), static_cast<int>(dirCreationMode_));

        CXDirectory dir;
        unsigned long bsize = 0;
        if (dir.getFreeSpace(cacheRoot_.get(), &freeBlocks_, &totalBlocks_, &bsize) < 0) {
            int err = dir.getLastError();
            if (err == ENOENT)
                debug(1, "cache directory '%s' does not exist\n", cacheRoot_.get());
            debug(1, "cache directory '%s' error %d in getFreeSpace\n", cacheRoot_.get(), err);
            accessError_ = err;
            errno = err;
            fail("getFreeSpace failed",
                 std::string("check if index cache directory ") + cacheRoot_.get() +
                     " is present and accessible on the Depot",
                 0x0E000077, InitNoFreeSpace);
        }
        blockSize_ = bsize;
        padBlocks_ = blockSize_ ? static_cast<unsigned int>(1000000 / blockSize_) : 0;
        initFailure_ = InitSucceeded;
        initialized_ = true;
        {
            CXAutoCritSect guard(&cs(), "CacheFsBase::CacheFs", true);
            countedReserveFile_ = reserveFilePath_;
            ++reserveState(countedReserveFile_).objects;
        }
    } catch (const char* message) {
        int err = errno;
        cacheRoot_.reset();
        debug(1, "initialize: %s, errno=%d\n", message, err);
    }
}

bool CacheFsBase::legacyLayoutPresent() {
    if (::access(legacyLayoutPath_.c_str(), F_OK) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    accessError_ = errno;
    return true;
}

void CacheFsBase::warnLegacyLayout() {
    debug(1,
          "Orbit 6.1-style Index Cache is not supported. Any index located in the cache "
          "sub-folder [%s] will be treat as 'not present'.",
          legacyLayoutPath_.c_str());
}

void CacheFsBase::initializeLike(const CacheFsBase& model, bool legacyLayout) {
    if (initialized_ || !model.initialized_ || !model.cacheRoot_)
        return;
    const size_t length = std::strlen(model.cacheRoot_.get());
    std::unique_ptr<char[]> root(new (std::nothrow) char[length + 1]);
    if (!root) {
        initFailure_ = InitOutOfMemory;
        debug(1, "initialize: %s, errno=%d\n", "out of memory", ENOMEM);
        return;
    }
    std::memcpy(root.get(), model.cacheRoot_.get(), length + 1);
    cacheRoot_ = std::move(root);
    clientName_ = model.clientName_;
    remoteCacheRoot_ = model.remoteCacheRoot_;
    reserveFilePath_ = model.reserveFilePath_;
    legacyLayoutPath_ = model.legacyLayoutPath_;
    jobResults_ = model.jobResults_;
    jobPendingMessage_ = model.jobPendingMessage_;
    numericJobPendingMessage_ = model.numericJobPendingMessage_;
    accessError_ = model.accessError_;
    if (legacyLayout)
        warnLegacyLayout();
    {
        CXAutoCritSect guard(&cs(), "CacheFsBase::CacheFs", true);
        if (!counted_) {
            ++numObjects;
            counted_ = true;
        }
    }
    freeBlocks_ = model.freeBlocks_;
    totalBlocks_ = model.totalBlocks_;
    blockSize_ = model.blockSize_;
    padBlocks_ = model.padBlocks_;
    initFailure_ = InitSucceeded;
    initialized_ = true;
}

bool CacheFsBase::isInitialized() {
    if (initialized_)
        return true;
    switch (initFailure_) {
    case InitSucceeded:
        debug(1, "Retry initialize even object was initialized.");
        break;
    case InitNeverRun:
        debug(1, "Retry initialize because object was not initialized.");
        break;
    case InitNoFocusClient:
        debug(1, "Retry initialize because client focus was missing.");
        break;
    default:
        debug(1, "Failed to initialize with reason %d. Return with failure.",
              static_cast<int>(initFailure_));
        return false;
    }
    std::string name = OXPI_Focus::getFocusClientName(false);
    if (name.empty()) {
        debug(1, "CacheFsBase::isInitialized: Failed to initialize index cache since client name "
                 "is not passed. Failed to obtain the same from focus client name.");
        return false;
    }
    initialize(name.c_str());
    return initialized_;
}

const char* CacheFsBase::getCacheFs() {
    return isInitialized() ? cacheRoot_.get() : nullptr;
}

unsigned long CacheFsBase::getClientId() {
    if (!initialized_)
        return 0;
    if (clientId == 0) {
        CXAutoCritSect guard(&cs(), "CacheFsBase::CacheFs", true);
        if (clientId == 0) {
            clientId = getMyClientId(clientName_.c_str());
            if (clientId == 0)
                debug(1, "cannot determine client id");
        }
    }
    return clientId;
}

const char* CacheFsBase::inFlightMessage(bool* outOfMemory) noexcept {
    if (outOfMemory)
        *outOfMemory = false;
    // The handler that called this one keeps the exception alive, and with
    // it the text returned.
    try {
        throw;
    } catch (const char* message) {
        return message ? message : "unknown exception";
    } catch (const std::bad_alloc&) {
        if (outOfMemory)
            *outOfMemory = true;
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

bool CacheFsBase::isItMyIndexCache(unsigned long realmNumber, std::string appIdName,
                                   unsigned long timeStamp, bool catalogServer) {
    return realmNumber == realmNumber_ && appIdName == appIdName_ && timeStamp == timeStamp_ &&
           catalogServer == catalogServer_;
}

const char* CacheFsBase::getPrintableCacheType(TCacheTypeEnum type, bool catalogServer,
                                               bool icsForm) {
    static const char* const ics[] = {"ICSTape", "ICSContentSearch", "ICSSnap", "ICSPageCache"};
    if (catalogServer && icsForm)
        return type >= 0 && type <= 3 ? ics[type] : "ICSTapeDefault";
    return cacheTypeInfo(type).printable;
}

const char* CacheFsBase::getPrintableCacheType(bool icsForm) const {
    return getPrintableCacheType(cacheType_, catalogServer_, icsForm);
}

std::string CacheFsBase::encodeAppIdName(unsigned long appNumber, unsigned long secondNumber) {
    char buf[64];
    if (secondNumber == 0)
        std::snprintf(buf, sizeof buf, "%lu", appNumber);
    else
        std::snprintf(buf, sizeof buf, "scp_%lu_%lu", appNumber, secondNumber);
    return buf;
}

bool CacheFsBase::decodeAppIdName(const std::string& name, unsigned long* appNumber,
                                  unsigned long* secondNumber) {
    unsigned long a = 0, b = 0;
    if (appNumber)
        *appNumber = 0;
    if (secondNumber)
        *secondNumber = 0;
    bool ok;
    if (name.compare(0, 4, "scp_") == 0)
        ok = std::sscanf(name.c_str(), "scp_%lu_%lu", &a, &b) == 2;
    else
        ok = std::sscanf(name.c_str(), "%lu", &a) == 1;
    if (!ok)
        return false;
    if (appNumber)
        *appNumber = a;
    if (secondNumber)
        *secondNumber = b;
    return true;
}

bool CacheFsBase::isAppIdName(const char* name) {
    return name && *name && decodeAppIdName(name, nullptr, nullptr);
}

bool CacheFsBase::isAppIdName(const std::string& name) {
    return isAppIdName(name.c_str());
}

bool CacheFsBase::isDecimal(const char* text) {
    if (!text || !*text)
        return false;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

std::string CacheFsBase::readLocalCacheFsFromRegistry(const char* clientName) {
    if (OXPI_Focus::getFocus().empty()) {
        debug(1, "Failed to read Intermediate Cache location from registry because of wrong focus");
        return std::string();
    }
    OXPI_Depot depot;
    std::string path;
    depot.getIndexCacheDirectory(clientName, "sLOCALINDEXCACHEPATH", path);
    if (!path.empty()) {
        OXPlatformInfo info;
        int disabled = 0;
        std::string section = std::string("~Machines") + "\\" + (clientName ? clientName : "");
        if (info.getRegInt(section.c_str(), "bLOCALINDEXCACHEDISABLED", &disabled) != 1)
            disabled = 0;
        if (disabled != 0)
            path.clear();
        if (getCatalogServerEnabledFlag(clientName))
            path.clear();
    }
    return path;
}

void CacheFsBase::setNumDays(unsigned int days) {
    numDays_ = days;
    cutoffTime_ = 0;
}

unsigned int CacheFsBase::getNumDays() const {
    return cutoffTime_ ? 0 : numDays_;
}

void CacheFsBase::setCutoffTime(unsigned long long t) {
    cutoffTime_ = t;
    numDays_ = 0;
}

bool CacheFsBase::setupCleanupLogging(bool twoPlaces) {
    if (getEvent())
        return true;
    if (!cleanupEvent_) {
        cleanupEvent_.reset(new (std::nothrow) EvEvent);
        if (!cleanupEvent_) {
            debug(1, "out of memory for cleanup EvEvent");
            return false;
        }
        long long job = getJobId();
        cleanupEvent_->initialize(2, kCleanupModuleId, job ? job : TDebuggable::getJobId(), nullptr,
                                  "");
    }
    setEvent(cleanupEvent_.get());
    setLogTwoPlaces(twoPlaces);
    return true;
}

void CacheFsBase::skipJobResultsImpersonation() {
    g_bSkipImpersonation = true;
}

long long CacheFsBase::getNumObjects() {
    return numObjects;
}

unsigned long CacheFsBase::getCachedClientId() {
    return clientId;
}

namespace {
std::string machinesSection(const char* clientName) {
    return std::string("~Machines") + "\\" + (clientName ? clientName : "");
}
} // namespace

bool getCatalogServerEnabledFlag(const char* clientName) {
    OXPlatformInfo info;
    int value = 0;
    return info.getRegInt(machinesSection(clientName).c_str(), "nTRANLOGCATALOGSERVERENABLED",
                          &value) == 1 &&
           value == 1;
}

bool getCatalogServerEnabledFlag(std::string clientName) {
    return getCatalogServerEnabledFlag(clientName.c_str());
}

bool setCatalogServerEnabledFlag(const char* clientName, bool enabled) {
    OXPlatformInfo info;
    return info.setRegInt(machinesSection(clientName).c_str(), "nTRANLOGCATALOGSERVERENABLED",
                          enabled ? 1 : 0) == 0;
}

bool setCatalogServerEnabledFlag(std::string clientName, bool enabled) {
    return setCatalogServerEnabledFlag(clientName.c_str(), enabled);
}

void getAlternateIndexServerDetails(const char*, bool& hasSecondaryServer, bool& isSecondaryServer,
                                    std::string& secondaryServerName) {
    OXPlatformInfo info;
    hasSecondaryServer = info.getString("Depot", "sSECONDARYINDEXSERVERNAME", secondaryServerName);
    int value = 0;
    if (info.getRegInt("~Depot", "bISSECONDARYINDEXSERVER", &value) != 1)
        isSecondaryServer = false;
    else if (value == 1)
        isSecondaryServer = true;
}

AppScanOptimizer::AppScanOptimizer(CXDirectory& directory, const char* onlyName)
    : directory_(directory), onlyName_(onlyName ? onlyName : "") {}

const char* AppScanOptimizer::read() {
    if (onlyName_.empty())
        return directory_.read();
    if (done_)
        return nullptr;
    done_ = true;
    return onlyName_.c_str();
}
