// Clean-up of a cache root: scans its cache directories, sorts them newest
// first and removes the oldest through each directory's own uncache, which
// leaves alone a directory another process uses.
#pragma once

#include "cachefs/CacheFsBase.h"

class JobResultsCacheFs : public virtual CacheFsBase {
public:
    JobResultsCacheFs(OXAppType appType, TCacheTypeEnum cacheType, bool flag);
    ~JobResultsCacheFs() override = default;

    long getCurrentTime() override;
    int cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents, bool useAccessTime,
                unsigned long specificRealm, const char* specificApp, unsigned long dontRemoveTime,
                unsigned int realmNumber, const char* appNumber, unsigned int timeStamp) override;
    int scanForCleanUp(CacheDirArray& array, bool useAccessTime, unsigned long specificRealm,
                       const char* specificApp, bool unused) override;
    int cleanUpWithoutScan(CacheDirArray& array, unsigned long numBlocks, bool removeAllOld,
                           bool logEvents, bool useAccessTime, unsigned long specificRealm,
                           const char* specificApp, unsigned long dontRemoveTime,
                           unsigned int realmNumber, const char* appNumber,
                           unsigned int timeStamp) override;
    int removeDefunctApps() override;

private:
    // Reads the free space of the root into the cache filesystem's members;
    // raises "getFreeSpace error" on failure.
    void readFreeSpace(class CXDirectory& dir);
    bool freePercentReached() const;
    // With enough blocks free: whether the free share lets the clean-up stop
    // (logging why).
    bool stopOnFreeShare();
    void raiseFailureEvent(unsigned long numBlocks);
};

// Whether the client's index cache root can be reached.
bool indexCacheImpersonation(const char* clientName);
