// One job's index cache directory: its State file, its locks, its job files
// and its upload queues. Abstract: the integrity check, restore, back search,
// playback and backup come from the concrete class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cachefs/CacheFsBase.h"
#include "common/BackupLevel.h"
#include "port/CXFile.h"

// Side record of a cache directory object; the third field caches the access time.
struct ICDOtherStuff {
    uint32_t unused1 = 0;
    uint32_t unused2 = 0;
    uint32_t atime = 0;
};

// Private part of a cache directory object.
struct IndexCacheDirCheshireCat {
    bool allowCrossTypeIndexRestore = true;
};

enum EJobStatusFileLastAction : int {
    JobStatusNA = 0,
    JobStatusCI = 1,
    JobStatusUI = 2,
    JobStatusCF = 3,
    JobStatusAI = 4,
};

// The process that hosts the library.
enum EIndexCacheDirHostApp : int {
    HostAppUnknown = 0,
    HostAppCreateIndex = 1,
    HostAppUpdateIndex = 2,
    HostAppBrowse = 3,
    HostAppDepotSvc = 4,
};

// Bits of the integrity-check flags.
enum Enum_IC_IntegrityCheck : int {
    IC_Check0 = 0,
    IC_Check1 = 1,
    IC_Check2 = 2,
    IC_Check3 = 3,
    IC_Check4 = 4,
    IC_Check5 = 5,
    IC_Check6 = 6,
    IC_Check7 = 7,
};

// The job status a host reports when a job completes.
using OXJobStatus = int;

class IndexCacheDirBase : public virtual CacheFsBase {
public:
    static constexpr int MAX_OPEN_RETRIES = 15;
    static constexpr int GET_ATIME_RETRIES = 10;
    static constexpr int DEFAULT_BUSY_TIMEOUT = 10800;
    static constexpr int catalogServerTimeoutSecondsDefault = 10680;
    static constexpr int kLockSlots = 4;
    static constexpr size_t kPathSize = 1027;

    // Error codes of the error code member besides errno values.
    enum {
        ERR_CLOCK_BACKWARDS = -1,
        ERR_NOT_FOUND = -2,
        ERR_SUSPENDED = -3,
        ERR_WRONG_STATE = -4,
        ERR_NOT_OPENED = -6,
        ERR_NO_MEMORY = -7,
        ERR_NO_TIME = -8,
        ERR_NOT_THERE = 2,
        ERR_SHORT_READ = -2000,
    };

    // Thrown by myLock.
    static const char* const LOCKING_TIMEOUT;
    static const char* const LOCKING_ERROR;
    // Thrown by myLock when the State file it locked (or waited for) is no
    // longer the one the path names: the directory was removed or moved.
    static const char* const LOCKED_DIR_GONE;

    // A directory without a usable State file is left alone by clean-up for
    // this long (seconds) unless its write lock can be taken: its maker may
    // be about to lock it. Section "Depot", key kGraceKey.
    static constexpr unsigned long kDefaultGraceSeconds = 3600;
    static constexpr const char* kGraceKey = "nSTATELESSDIRGRACESECONDS";

    IndexCacheDirBase(OXAppType appType, unsigned long realmNumber, std::string appIdName,
                      long long jobId, BackupType backupType, unsigned long timeStamp,
                      TCacheTypeEnum cacheType, bool flag);
    ~IndexCacheDirBase() override;

    virtual int _preInit(OXAppType appType, unsigned int realmNumber, std::string appIdName,
                         long long jobId, BackupType backupType, unsigned int timeStamp);
    virtual int _postInit();
    using CacheFsBase::initialize;
    void initialize(const char* name, bool flag) override;
    void initialize(const char* name);
    // As the model's initialisation, then the directory's path.
    void initializeLike(const CacheFsBase& model, bool legacyLayout) override;

    // State file.
    int getState(bool raiseEvent);
    int setState(int state);
    int getCacheState();
    bool stateError();
    unsigned long getAtime();
    int seekToAtime(const char* name, CXFile& file, bool offsetOnly);
    int stateFileWrite(const char* text, int length);
    int stateFileSeek(long long offset, sfSeekMode_t origin);
    int stateFilePutAtime(const char* text);
    int stateFileTruncate();
    int reopenStateFile();
    virtual int mkCacheDir();

    // Locking.
    int writeLock(int timeout);
    int readLock(int timeout);
    int myLock(int timeout, bool write);
    int unLock();
    bool alreadyLocked();
    void switchLock();
    void disableExclusiveLock() { exclusiveLockingDisabled_ = true; }
    void enableExclusiveLock() { exclusiveLockingDisabled_ = false; }

    // Job id file and job status files.
    void createJobIdFile();
    int readJobIdFile(long long* jobId, std::string* hostName, unsigned int* phase,
                      unsigned int* attempt, unsigned int* writeCounter);
    void removeJobIdFile();
    bool isJobIdFileValid(std::string* reason);
    static std::string getJobStatusFilePath(const std::string& cacheRoot, long long jobId);
    std::string getJobStatusFilePath();
    static int createJobStatusFile(const char* cacheDir, long long jobId,
                                   const std::string& statusFilePath,
                                   EJobStatusFileLastAction action, unsigned long prevBackupTime,
                                   TDebuggable* log);
    int createJobStatusFile(EJobStatusFileLastAction action, unsigned long prevBackupTime);
    static int readJobStatusFile(const std::string& cacheRoot, long long jobId,
                                 std::string& localPath, EJobStatusFileLastAction& action,
                                 unsigned long& prevBackupTime, TDebuggable* log);
    int readJobStatusFile(std::string& localPath, EJobStatusFileLastAction& action,
                          unsigned long& prevBackupTime);
    static int removeJobStatusFile(const std::string& cacheRoot, long long jobId, TDebuggable* log);
    int removeJobStatusFile();
    static int parseJobStatusLocalPath(const std::string& localPath, unsigned long& realmNumber,
                                       std::string& appIdName, unsigned long& timeStamp);
    static bool isStatusFileEqual(const std::string& first, const std::string& second);

    // Lifecycle: create, open and update.
    char* create(unsigned long timeStamp);
    char* open(unsigned long timeStamp, bool exact);
    char* update(bool fullBackup, unsigned int previousTimeStamp, bool restoreWhenBlocked);
    void removeDirectory(char* path);
    // The newest directory of the application directory, not newer than
    // limit, whose State file says closed or reading (a complete index); 0
    // when there is none.
    static unsigned long newestCompleteIn(const std::string& appDir, unsigned long limit);
    // Whether a directory is older than the grace period (missing: true).
    static bool pastGracePeriod(const std::string& path);
    // Brings a missing index into the cache from an index server: 0 brought,
    // 33 not available, other values failure.
    int downloadLogsFromCatalogServer(std::string what, int flags);
    // Whether the directory's transaction logs agree with the index.
    bool isTranLogConsistent(bool playBack);

    // Lifecycle: suspend, close, discard and uncache.
    int suspend();
    int close(bool canStillResume, bool keepWritingOnBackupFailure);
    int close(bool canStillResume);
    int discard(bool logDetails);
    int discardForResume(bool stateFileMayBeClosed);
    int discardForResume();
    int unCache(bool lowSpace, unsigned int realmNumber, const char* appIdName,
                unsigned int timeStamp);
    int routineUnCache(bool lowSpace, unsigned int realmNumber, std::string appIdName,
                       unsigned int timeStamp);
    virtual int privateUnCache(bool lowSpace, unsigned int realmNumber, std::string appIdName,
                               unsigned int timeStamp, bool routine);
    int failJob(bool wholeJob);

    // Failed and corrupt cache directories.
    virtual void cleanFailedCachedirs(unsigned long afterTimeStamp, unsigned long keptTimeStamp,
                                      bool networkShare);
    void cleanFailedCachedirs_ci(unsigned long afterTimeStamp, unsigned long keptTimeStamp);
    int removeCorruptIndex();
    void preserveFailedCache(const char* suffix);
    void logEvent(unsigned long eventNumber);

    // Points the object at another application directory name of the same
    // realm (a clean-up scan names "scp_" directories this way); ignored when
    // the name does not decode.
    void setAppIdName(const std::string& name);

    // Searches over the application directory.
    int searchDirectoryByTime(unsigned long limit, unsigned long* found, bool backward);
    unsigned long backSearch();

    // Supplied by the concrete directory kind.
    virtual bool isIndexInCache() = 0;
    virtual bool checkIntegrity(Enum_IC_IntegrityCheck check) = 0;
    virtual unsigned long backSearch(unsigned long limit, bool flag) = 0;
    virtual bool areComponentsInCache(const char* components) = 0;
    virtual bool isComponentBasedIndex() = 0;
    virtual std::string getCacheDirComp(std::string component) = 0;
    virtual int backup() = 0;
    virtual void restore(bool update, bool restoreWhenBlocked) = 0;
    virtual bool playBackSelectedItems(std::vector<std::string>& items) = 0;

    // Checkpoint copies: a whole copy of the directory beside the cache root.
    std::string defaultCopyDir(bool baseOnly);
    int createCopy_checkPoint(const char* copyDir);
    int suspendCopy_checkPoint(const char* copyDir);
    int restoreCopy_checkPoint(const char* copyDir);
    int removeCopy_checkPoint(const char* copyDir);
    int suspendCopy(const char* restartString);

    // Transaction-log chunks: copy what changed, add a restart-file line, hand
    // the list on for upload; 0 done or nothing to do, negative failure.
    int createCopy(const char* restartString);
    int createCopy(const char* restartString, unsigned long long jobId);
    int createCopy(const char* restartString, unsigned long long jobId, int flags);
    std::string recursiveCreateCopyProcessing(const std::string& baseDir,
                                              const std::string& relativeDir, int chunkNumber,
                                              long sinceTime);
    int commitTLTransactions();
    // 0 success or nothing to do, 1 unparsable list, -1 failure, -2 no reply,
    // -3 send failed, other values the service's error status.
    int appendRecordToChunkUploadQueue(unsigned int jobId, std::string restartString,
                                       std::string fileList, int flags);

    // Resume of an interrupted job's index: the cache directory path, or null.
    char* resume(long long expectedJobId, bool retryFromCopy);

    // Transaction-log files: roll back to a restart point, remove them all,
    // tell whether a restart point is the newest one.
    int restoreCopy(const char* restartString);
    int removeCopy(const char* directory);
    int getRestartStrings(std::vector<std::string> wanted, std::vector<std::string>& result);
    bool isTLEnabled();
    static bool isTLEnabled(const char* dir);
    static int TranLog_copyFile(const char* source, const char* target, bool makeFolders);
    static bool isIndexingTableName(const std::string& name);
    // A restart string goes into a quoted restart-file line: no quote, CR or LF.
    static bool isRestartStringValid(const char* text);

    // Upload journal and sync-up queue.
    int appendRecordToChunkUploadQueue(const char* record);
    int queueForUpload();

    // Accessors.
    const char* getCacheDir();
    const char* getCacheDirSafe();
    unsigned long getTimeStamp();
    unsigned long long getAppNumber() const { return appNumber_; }
    unsigned long long getSecondAppNumber() const { return secondAppNumber_; }
    unsigned long long getRealmId() const { return realmNumber_; }
    int getErrno() const { return errorCode_; }
    long long getJobId() override;
    void setJobPhaseNumber(unsigned int v) { jobPhase_ = v; }
    unsigned int getJobPhaseNumber() const { return jobPhase_; }
    void setJobAttemptNumber(unsigned int v) { jobAttempt_ = v; }
    unsigned int getJobAttemptNumber() const { return jobAttempt_; }
    void setJobIndexWriteCounter(unsigned int v) { jobIndexWriteCounter_ = v; }
    unsigned int getJobIndexWriteCounter() const { return jobIndexWriteCounter_; }
    void setCopyId(int id) { copyId_ = id; }
    int getCopyId() const { return copyId_; }
    bool noIndexFiles() const { return noIndexFiles_; }
    bool isRestoreStopped() const { return restoreStopped_; }
    void enableBackupRestore() { backupRestoreEnabled_ = true; }
    void disableBackupRestore() { backupRestoreEnabled_ = false; }
    bool isBackupRestoreEnabled() const { return backupRestoreEnabled_; }
    void copyUponUpdate(bool on) { copyUponUpdate_ = on; }
    bool getCopyUponUpdate() const { return copyUponUpdate_; }
    void setIndexAged(bool on) { indexAged_ = on; }
    bool isIndexAged() const { return indexAged_; }
    OXAppType getRealAppType();
    void setRealAppType(OXAppType t) { realAppType_ = t; }
    int getPendingReasonMessageId() const { return pendingReasonMessageId_; }
    void setPendingReasonMessageId(int id) { pendingReasonMessageId_ = id; }
    int getCatalogServerTimeoutSeconds() const { return indexServerTimeout_; }
    long long getCatalogServerTimeoutMS() const { return indexServerTimeout_ * 1000LL; }
    int getBusyTimeout() const { return busyTimeout_; }
    void setAllowCrossTypeIndexRestore(bool on) { private_->allowCrossTypeIndexRestore = on; }
    bool getAllowCrossTypeIndexRestore() const { return private_->allowCrossTypeIndexRestore; }
    static void setHostApplication(EIndexCacheDirHostApp app) { hostApplication = app; }
    static EIndexCacheDirHostApp getHostApplication() { return hostApplication; }
    static bool isIntegrityCheckEnabled(Enum_IC_IntegrityCheck e) {
        return (integrityCheck_Flags >> static_cast<unsigned>(e)) & 1u;
    }
    static void setIntegrityCheckFlags(unsigned int flags) { integrityCheck_Flags = flags; }
    int compress() { return 0; }
    int uncompress() { return 0; }
    virtual int notifyJobManager(char*, char*) { return 0; }
    virtual void jobComplete(OXJobStatus) {}
    void setGuiSequenceNumber(long long n) { guiSequenceNumber_ = n; }
    long long getGuiSequenceNumber() const { return guiSequenceNumber_; }
    void setKeepState(bool on) { keepState_ = on; }
    bool getKeepState() const { return keepState_; }
    void setCompletedIndex(bool on) { completedIndex_ = on; }
    bool getShouldIndexingTokenIncrement();
    void setShouldIndexingTokenIncrement(bool on) { indexingTokenIncrement_ = on; }
    unsigned long getRequestedTimeStamp() const { return requestedTimeStamp_; }
    BackupType getBackupType() const { return backupType_; }

    // Task options (loaded from the key store on first use).
    void setIndexCheckpointFlag(bool on);
    bool getIndexCheckpointFlag();
    void setIndexUseTranLogFlag(bool on);
    bool getIndexUseTranLogFlag();
    void setIndexUseCatalogServerIfAvailFlag(bool on);
    bool getIndexUseCatalogServerIfAvailFlag();
    void setIndexUseAlternateIndexServerIfAvailFlag(bool on);
    bool getIndexUseAlternateIndexServerIfAvailFlag();
    void setIsAlternateIndexServerFlag(bool on);
    bool getIsAlternateIndexServerFlag();

    // Process-wide settings read by the first construction.
    static bool getStaticCopyUponUpdateFlag() { return staticCopyUponUpdateFlag; }
    static unsigned long getCopyUponUpdateThreshold() { return copyUponUpdateThreshold; }

protected:
    // Builds root/realm[/app[/timeStamp]] with the separator.
    std::string realmDirPath() const;
    std::string appDirPath() const;
    std::string cacheDirPathFor(unsigned long timeStamp) const;
    // Replaces the cache directory path (nullptr clears it); throws "out of memory".
    void setCacheDirPath(const char* path);
    void loadTaskOptions();
    // The slot file of the current path, or null.
    CXFile* lockedSlotFile();
    // Whether a file locked (or waited for) through a slot is still the State
    // file the path names, and so is the object's own open State file.
    bool lockedFileIsCurrent(const CXFile& file, const std::string& stateName);
    // Makes sure the object holds the write lock of its current directory: a
    // shared lock it holds is given up and the write lock waited for (60 s).
    void holdWriteLock();
    // The slot that holds the lock of from answers to the current path: the
    // locked directory was renamed to it while the lock was held.
    void followRename(const std::string& from);
    // Inside a catch (...) block: the text of the exception being handled
    // (an out-of-memory condition also sets the error code).
    const char* failureMessage() noexcept;
    // Parts of update: removes a half copy (the object holds its write lock),
    // and gives back whatever a failed update took.
    void removeHalfCopy(const std::string& newPath);
    void letGoAfterFailedUpdate(const std::string& oldPath, const std::string& newPath,
                                bool madeNew, bool renamedAndWriting, bool reserved);

    // Parts of the checkpoint copy operations.
    int copyCheckPoint(const char* copyDir);
    int copyStateInto(const std::string& copyDir);
    void removeIndexFiles(const char* cacheDir);
    int writeRestoredState(const char* text, int length, bool stateOpen);
    int removeOneCheckPoint(const std::string& copyDir);
    void sweepOldCheckPoints();

    // Parts of the chunk copy and its upload.
    int makeChunk(const char* restartString, unsigned long long jobId, int flags);
    int collectChunk(const std::string& dir, int chunk, long since, const std::string& known,
                     std::string& collected);
    int makeBasePair(const std::string& dir, const std::string& table, const std::string& known,
                     std::string& collected);
    int copyChunkFile(const std::string& dir, const std::string& name, const std::string& target);
    long readTimeMark(const std::string& dir, long now);
    void writeTimeMark(const std::string& dir, long when);
    int putBackRestartFile(const std::string& dir, int which);
    void convertTokenIncrement();
    int sendUploadRequest(unsigned int jobId, const std::string& restart,
                          const std::string& fileList, int flags, int entries);
    int copyToRemoteCache(const std::string& fileList, const std::vector<std::string>& names,
                          int flags);
    // Parts of resume.
    char* resumeAttempt(long long expectedJobId, bool& retryFromCopy, bool& damaged,
                        bool& statusNamesDir);
    bool checkJobRun(long long expectedJobId, bool statusNamesDir);
    void markDamagedIfOwned(bool& damaged);
    std::string cacheTypeFolder() const;
    // Parts of the transaction-log operations.
    void removeTableFilesForReplay(const std::string& dir);
    void removeChunksAfter(const std::string& dir, int line);
    int removeTranLogFiles(const std::string& dir);

    long long jobIdGiven_;
    BackupType backupType_;
    CXFile stateFile_;
    OXAppType realAppType_ = 0;
    int errorCode_ = 0;
    std::unique_ptr<ICDOtherStuff> otherStuff_;
    int currentLockSlot_ = -1;
    int copyId_ = 0;
    bool backupRestoreEnabled_ = false;
    bool exclusiveLockingDisabled_ = false;
    bool stateFileMissing_ = false;
    bool noIndexFiles_ = false;
    bool resumeFlag_ = false;
    bool keepState_ = false;
    bool restoreStopped_ = false;
    bool completedIndex_ = false;
    long long guiSequenceNumber_ = 0;
    char separator_ = '/';
    long long jobId_ = 0;
    unsigned int jobPhase_ = 0;
    unsigned int jobAttempt_ = 0;
    unsigned int jobIndexWriteCounter_ = 0;
    unsigned int requestedTimeStamp_ = 0;
    bool taskOptionsPending_ = true;
    bool checkpoint_ = false;
    bool useTranLog_ = false;
    bool useCatalogServerIfAvail_ = false;
    bool useAlternateIndexServerIfAvail_ = false;
    bool isAlternateIndexServer_ = false;
    int indexServerTimeout_ = catalogServerTimeoutSecondsDefault;
    int busyTimeout_ = DEFAULT_BUSY_TIMEOUT;
    bool copyUponUpdate_ = false;
    struct LockSlot {
        CXFile file;
        char* name = nullptr;   // strdup'ed, released with free
        bool exclusive = false; // the lock held is a write lock
    };
    LockSlot lockSlots_[kLockSlots];
    bool indexingTokenIncrement_ = false;
    // A failed chunk turns this into indexingTokenIncrement_ (once per _preInit).
    bool tokenIncrementArmed_ = true;
    std::unique_ptr<IndexCacheDirCheshireCat> private_;
    unsigned int creationMode_ = 0777;
    bool indexAged_ = false;
    unsigned long long appNumber_ = 0;
    unsigned long long secondAppNumber_ = 0;
    int pendingReasonMessageId_ = 0;

    static bool firstConstructionFlag;
    static bool staticCopyUponUpdateFlag;
    static unsigned long copyUponUpdateThreshold;
    static unsigned int integrityCheck_Flags;
    static EIndexCacheDirHostApp hostApplication;
};

// Order of restart strings when lists of them are compared.
bool IndexCacheDirSortHelperFunction(const std::string& a, const std::string& b);
