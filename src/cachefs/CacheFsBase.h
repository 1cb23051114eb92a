// The cache filesystem: the root under which every cache directory of one
// cache type lives, the reserve file its processes share, and the facts every
// cache object needs about it.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "cachefs/CacheTypes.h"
#include "common/TDebuggable.h"

class CacheDirArray;
class CNMessageBase;
namespace Indexing {
class CacheOpsBaseMsg;
}
class CXCritSect;
class CXDirectory;

// Private part: the use-intermediate-cache flag.
struct CacheFSCheshireCat {
    bool useIntermediateCache = false;
};

class CacheFsBase : public TDebuggableAnyLog {
public:
    enum EInitializationFailureReason {
        InitSucceeded = 0,
        InitNeverRun = 1,
        InitNoFocusClient = 2,
        InitReserved3 = 3,
        InitReserved4 = 4,
        InitNoJobResultsDir = 5,
        InitNoIndexCacheBase = 6,
        InitOutOfMemory = 7,
        InitNoFreeSpace = 8,
    };

    // Bytes added to every byte reservation.
    static constexpr unsigned long long kReservePad = 2500000;
    static constexpr unsigned long kReserveLockTimeout = 1800;
    static constexpr int kReserveLineSize = 1023;
    static constexpr long long kStaleLineAge = 86400;
    static constexpr long long kCentralTimeRefresh = 3600;
    static constexpr unsigned long long kMaxEventsPerKind = 12;
    // A block count for reserveOnDisk that gives back the process's whole line
    // in either mode.
    static constexpr long kGiveBackAll = -LONG_MAX;
    // Longest process id text accepted from a served request.
    static constexpr size_t kMaxPidDigits = 10;

    CacheFsBase(OXAppType appType, TCacheTypeEnum cacheType, bool unused);
    ~CacheFsBase() override;
    CacheFsBase(const CacheFsBase&) = delete;
    CacheFsBase& operator=(const CacheFsBase&) = delete;

    void initialize(const char* clientName);
    virtual void initialize(const char* clientName, bool noLocalCache);
    virtual void initialize(const char* clientName, bool noLocalCache, unsigned long unused);
    // Takes what initialize found for model, an initialised object of the same
    // application type, cache type and client, without asking the key store or
    // the file system again: clean-up builds one object for every cache
    // directory under the root it has just listed. legacyLayout repeats the
    // warning initialize gives about a legacy cache folder.
    virtual void initializeLike(const CacheFsBase& model, bool legacyLayout);

    // The central server's clock (seconds); 0 when it cannot be read.
    virtual long getCurrentTime() = 0;
    virtual int cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents,
                        bool useAccessTime, unsigned long specificRealm, const char* specificApp,
                        unsigned long dontRemoveTime, unsigned int realmNumber,
                        const char* appNumber, unsigned int timeStamp) = 0;
    virtual int scanForCleanUp(CacheDirArray& array, bool useAccessTime,
                               unsigned long specificRealm, const char* specificApp,
                               bool unused) = 0;
    virtual int cleanUpWithoutScan(CacheDirArray& array, unsigned long numBlocks, bool removeAllOld,
                                   bool logEvents, bool useAccessTime, unsigned long specificRealm,
                                   const char* specificApp, unsigned long dontRemoveTime,
                                   unsigned int realmNumber, const char* appNumber,
                                   unsigned int timeStamp) = 0;
    // A cache directory answers its job id; the filesystem has none.
    virtual long long getJobId() { return 0; }
    virtual int removeDefunctApps() = 0;
    virtual unsigned emergencyCleanup(unsigned int numBlocks, unsigned int realmNumber,
                                      const char* appNumber, unsigned int timeStamp);
    virtual unsigned commonCleanup(unsigned int numBlocks, unsigned int realmNumber,
                                   const char* appNumber, unsigned int timeStamp);

    bool isInitialized();
    const char* getCacheFs();
    const std::string& getClientName() const { return clientName_; }
    unsigned long getClientId();
    EInitializationFailureReason getInitializationFailureReason() const { return initFailure_; }
    void setInitializationFailureReason(EInitializationFailureReason r) { initFailure_ = r; }

    bool isItMyIndexCache(unsigned long realmNumber, std::string appIdName, unsigned long timeStamp,
                          bool catalogServer);

    static const char* getPrintableCacheType(TCacheTypeEnum type, bool catalogServer, bool icsForm);
    const char* getPrintableCacheType(bool icsForm) const;
    static std::string encodeAppIdName(unsigned long appNumber, unsigned long secondNumber);
    static bool decodeAppIdName(const std::string& name, unsigned long* appNumber,
                                unsigned long* secondNumber);
    static bool isAppIdName(const char* name);
    static bool isAppIdName(const std::string& name);
    static bool isDecimal(const char* text);
    std::string readLocalCacheFsFromRegistry(const char* clientName);

    // Space reservation through the reserve file.
    int reserve(unsigned long long bytes, unsigned int realmNumber, const char* appNumber,
                unsigned int timeStamp);
    int release(unsigned long long bytes, bool all);
    int reserveOnDisk(long numBlocks, unsigned int realmNumber, const char* appNumber,
                      unsigned int timeStamp, bool releaseAll);
    // The same operations run by the local storage-node service for this
    // process: the status of its acknowledgement, or -1.
    int remoteReserveOnDisk(long numBlocks, unsigned int realmNumber, const char* appNumber,
                            unsigned int timeStamp, bool releaseAll);
    int remoteCleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents,
                      bool useAccessTime, unsigned long specificRealm, const char* specificApp,
                      unsigned long dontRemoveTime, unsigned int realmNumber, const char* appNumber,
                      unsigned int timeStamp);
    int remoteOp(Indexing::CacheOpsBaseMsg* request, const char* operationName);
    int setDiskFree(unsigned int percent);
    unsigned int getDiskFree() const { return minFreePercent_; }
    double getFreeRatio() const { return freeRatio_; }
    // The single-mode buffers of every reserve file of the process: their sum,
    // and setting each of them (tests and benchmarks clear them with 0).
    static unsigned long long getReserveBuffer();
    static void setReserveBuffer(unsigned long long bytes);
    long getLastReservedBlocks() const { return lastReservedBlocks_; }
    void setLastReservedBlocks(long blocks) { lastReservedBlocks_ = blocks; }
    unsigned long long getLastReservedBytes() const { return lastReservedBytes_; }
    void setReservationFailureReportedToJM(bool on) { reservationFailureReportedToJM_ = on; }
    bool getReservationFailureReportedToJM() const { return reservationFailureReportedToJM_; }
    static bool sameHost(const char* a, const char* b);

    // Accessors.
    const std::string& jobPendingMessage() const { return jobPendingMessage_; }
    int getNumericJobPendingMessage() const { return numericJobPendingMessage_; }
    TCacheTypeEnum getCacheType() const { return cacheType_; }
    OXAppType getAppType() const { return appType_; }
    bool getDualLogging() const { return dualLogging_; }
    bool isCatalogServerCache() const { return catalogServer_; }
    void setCatalogServerCache(bool on) { catalogServer_ = on; }
    bool isJobResults() const { return jobResults_; }
    const std::string& getReserveFilePath() const { return reserveFilePath_; }
    void setOtherCachePtr(CacheFsBase* other) { otherCache_ = other; }
    CacheFsBase* getOtherCachePtr() const { return otherCache_; }
    int getAccessError() const { return accessError_; }
    void setAccessError(int e) { accessError_ = e; }
    std::string getRemoteCacheFs() const { return remoteCacheRoot_; }
    unsigned long long getBlockSize() const { return blockSize_; }
    unsigned long long getFreeBlocks() const { return freeBlocks_; }
    unsigned long long getTotalBlocks() const { return totalBlocks_; }
    unsigned int getPadBlocks() const { return padBlocks_; }
    void setNumDays(unsigned int days);
    unsigned int getNumDays() const;
    void setCutoffTime(unsigned long long t);
    unsigned long long getCutoffTime() const { return cutoffTime_; }
    void setUseIntermediateCache(bool on) { private_->useIntermediateCache = on; }
    bool getUseIntermediateCache() const { return private_->useIntermediateCache; }
    void setDepotSvcFlag(bool on) { runningInDepotSvc_ = on; }
    bool isRunningInDepotSvc() const { return runningInDepotSvc_; }
    void setRequestBeingServed(CNMessageBase* request) { servedRequest_ = request; }
    CNMessageBase* getRequestBeingServed() const { return servedRequest_; }
    void setPreScanCacheDirArray(CacheDirArray* array) { preScanArray_ = array; }
    CacheDirArray* getPreScanCacheDirArray() const { return preScanArray_; }
    const std::string& getAppIdName() const { return appIdName_; }
    unsigned long long getRealmNumber() const { return realmNumber_; }
    unsigned long long getTimeStamp() const { return timeStamp_; }

    // Gives the object an event log for clean-up messages (module 1679234300)
    // unless its log already goes to one; twoPlaces also keeps its own log.
    bool setupCleanupLogging(bool twoPlaces);
    // The host process's clean-up log file (never set by the library itself).
    void setCleanupLogFile(class CXFile* file) { cleanupLogFile_ = file; }
    class CXFile* getCleanupLogFile() const {
        return cleanupLogFile_;
    }

    static bool isMultiJob() { return TDebuggable::isMultiJob(); }
    static void setMultiJob(bool on) { TDebuggable::setMultiJob(on); }
    static bool isMultiThreaded() { return TDebuggable::isMultiThreaded(); }
    // Sets the process-wide flag, which is the host's choice (no constructor
    // changes it): a single-threaded process keeps small reservations in a
    // buffer of its own per reserve file.
    static void setMultiThreaded(bool on) { TDebuggable::setMultiThreaded(on); }
    void impersonateUser(bool, const char*, const char*) {}
    bool impersonatedUser() const { return false; }
    static void skipJobResultsImpersonation();

    // Process-wide counters, for callers and tests.
    static long long getNumObjects();
    static unsigned long getCachedClientId();

protected:
    // Inside a catch (...) block: the text of the exception being handled,
    // so that an operation that never raises can log what stopped it;
    // outOfMemory (when given) tells a std::bad_alloc.
    static const char* inFlightMessage(bool* outOfMemory = nullptr) noexcept;
    // The job id reported with pending causes: the log's, else the object's.
    long long reportJobId();
    [[noreturn]] void fail(const char* message, const std::string& pending, int pendingId,
                           EInitializationFailureReason reason);
    void closeReserveFile(class CXFile& file);
    // Opens and locks the reserve file, again when the path stopped naming the
    // file while this process waited for its lock; answers the file's size.
    size_t openLockedReserveFile(class CXFile& file);
    // The whole content of the locked reserve file; raises on a read error.
    std::string readReserveFile(class CXFile& file, size_t size);
    // Replaces the content of the locked reserve file so that every moment
    // (a crash included) leaves the old content or the new one.
    void rewriteReserveFile(class CXFile& file, const std::string& old, const std::string& content);
    std::string ownProcessId();
    // Blocks of a byte reservation, pad included; raises when they overflow.
    long blocksFor(unsigned long long bytes) const;
    long long centralNow();
    void reportReservationFailure(long numBlocks);
    int readAck(const CNMessageBase& ack, const CNMessageBase& request, const char* name);
    // Whether the legacy cache folder beside the root exists or cannot be
    // looked at (the access error then records why).
    bool legacyLayoutPresent();
    void warnLegacyLayout();

    bool catalogServer_ = false;
    std::string clientName_;
    std::string jobPendingMessage_;
    int numericJobPendingMessage_ = 0;
    std::unique_ptr<char[]> cacheRoot_;
    std::unique_ptr<char[]> cacheDirPath_;
    unsigned long long realmNumber_ = 0;
    unsigned long long timeStamp_ = 0;
    unsigned long long blockSize_ = 0;
    unsigned long long freeBlocks_ = 0;
    unsigned long long totalBlocks_ = 0;
    bool jobResults_ = false;
    bool initialized_ = false;
    OXAppType appType_;
    TCacheTypeEnum cacheType_;
    bool dualLogging_ = true;
    std::string reserveFilePath_;
    CacheFsBase* otherCache_ = nullptr;
    int accessError_ = 0;
    std::string remoteCacheRoot_;
    unsigned int dirCreationMode_ = 0777;
    unsigned int fileCreationMode_ = 0777;
    unsigned long long cleanupStartEvents_ = 0;
    unsigned long long recentDirEvents_ = 0;
    unsigned long long failureEvents_ = 0;
    unsigned int numDays_ = 0;
    unsigned long long cutoffTime_ = 0;
    unsigned int minFreePercent_ = 0;
    double freeRatio_ = 0.0;
    unsigned int padBlocks_ = 0;
    CNMessageBase* servedRequest_ = nullptr;
    unsigned long long lastReservedBytes_ = 0;
    long lastReservedBlocks_ = 0;
    long long cachedCentralTime_ = 0;
    long long localTimeOfCaching_ = 0;
    bool runningInDepotSvc_ = false;
    std::unique_ptr<EvEvent> cleanupEvent_;
    class CXFile* cleanupLogFile_ = nullptr;
    EInitializationFailureReason initFailure_ = InitNeverRun;
    CacheDirArray* preScanArray_ = nullptr;
    bool reservationFailureReportedToJM_ = false;
    std::unique_ptr<CacheFSCheshireCat> private_;
    std::string appIdName_;
    // Set while the destructor runs: the derived parts are gone, so their
    // virtual operations must not be called.
    bool destroying_ = false;
    // Whether this object is in numObjects: counted once, by its first
    // initialisation, so that never-initialised or re-initialised objects do
    // not skew the count that decides the last object's release.
    bool counted_ = false;
    // The reserve file this object is counted on (empty: none).
    std::string countedReserveFile_;

    // What the process holds on one reserve file; all under cs.
    struct ReserveFileState {
        // Single mode: bytes reserved on disk and not yet handed out.
        unsigned long long buffer = 0;
        // Initialised objects that reserve through the file.
        long objects = 0;
        // The last rewrite by this process left its own line in the file.
        bool lineHeld = false;
    };
    static std::map<std::string, ReserveFileState>& reserveStates();
    // This object's reserve file's entry (map nodes never move or go away).
    ReserveFileState* reserveFileState_ = nullptr;
    static ReserveFileState& reserveState(const std::string& path) { return reserveStates()[path]; }
    // The legacy cache folder of the index cache base ("2").
    std::string legacyLayoutPath_;

    static CXCritSect& cs();
    static long long numObjects;
    static unsigned long clientId;
    static std::string hostName;
    static int reservationFlag;
};

// Whether job-results impersonation is skipped in this process.
extern bool g_bSkipImpersonation;

bool getCatalogServerEnabledFlag(const char* clientName);
bool getCatalogServerEnabledFlag(std::string clientName);
bool setCatalogServerEnabledFlag(const char* clientName, bool enabled);
bool setCatalogServerEnabledFlag(std::string clientName, bool enabled);
void getAlternateIndexServerDetails(const char* clientName, bool& hasSecondaryServer,
                                    bool& isSecondaryServer, std::string& secondaryServerName);
bool sameHost(const char* a, const char* b);
const char* bToS(bool value);

// Yields the application directory names of a realm directory to visit.
class AppScanOptimizer : public TDebuggable {
public:
    AppScanOptimizer(CXDirectory& directory, const char* onlyName);
    const char* read();

private:
    CXDirectory& directory_;
    std::string onlyName_;
    bool done_ = false;
};
