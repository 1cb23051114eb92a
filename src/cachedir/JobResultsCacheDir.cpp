#include "cachedir/JobResultsCacheDir.h"

#include "port/CXDirectory.h"
#include "port/CXLockedMarkerFile.h"

JobResultsCacheDir::JobResultsCacheDir(OXAppType appType, unsigned long realmNumber,
                                       unsigned long appNumber, long long jobId,
                                       BackupType backupType, unsigned long timeStamp,
                                       TCacheTypeEnum cacheType, bool flag)
    : CacheFsBase(appType, cacheType, flag), JobResultsCacheFs(appType, cacheType, flag),
      IndexCacheDirBase(appType, realmNumber, encodeAppIdName(appNumber, 0), jobId, backupType,
                        timeStamp, cacheType, flag) {
    setDebugPrefix("JOBRESCACHEDIR");
    int rc =
        _preInit(appType, static_cast<unsigned int>(realmNumber), encodeAppIdName(appNumber, 0),
                 jobId, backupType, static_cast<unsigned int>(timeStamp));
    if (rc != 0)
        debug(1, "Pre-initialization returned error code %d", rc);
}

void JobResultsCacheDir::initialize(const char* name) {
    IndexCacheDirBase::initialize(name, false);
}

void JobResultsCacheDir::initialize(const char* name, bool flag) {
    if (!initialized_) {
        CacheFsBase::initialize(name, flag);
        _postInit();
    }
}

void JobResultsCacheDir::initialize(const char* name, bool flag, unsigned long appId) {
    if (!initialized_) {
        CacheFsBase::initialize(name, flag, appId);
        _postInit();
    }
}

bool JobResultsCacheDir::isIndexInCache() {
    if (!initialized_)
        return false;
    const char* path = getCacheDir();
    if (!path) {
        debug(1, "%s: no cacheDir\n", "isIndexInCache");
        return false;
    }
    // A restore into the directory holds its marker; until it ends the
    // directory is not usable.
    CXLockedMarkerFile marker(path, 0);
    return marker.isLocked() == 0;
}

bool JobResultsCacheDir::areComponentsInCache(const char*) {
    debug(3, "areComponentsInCache: all components are present in the cache");
    return true;
}

bool JobResultsCacheDir::isComponentBasedIndex() {
    return false;
}

std::string JobResultsCacheDir::getCacheDirComp(std::string) {
    const char* path = getCacheDir();
    return path ? path : "";
}

bool JobResultsCacheDir::checkIntegrity(Enum_IC_IntegrityCheck check) {
    // Only checks 0 to 31 have a bit in the flags; a wider value must not be
    // used as a shift count.
    const unsigned int bit = static_cast<unsigned int>(check);
    if (check == 0 || bit == 10 || (bit < 32 && isIntegrityCheckEnabled(check)))
        return true;
    if (!isIndexInCache())
        return false;
    // A directory that exists and can be listed counts as intact.
    const char* path = getCacheDir();
    if (!path)
        return false;
    CXDirectory dir;
    return dir.open((std::string(path) + "/").c_str()) == 0;
}

int JobResultsCacheDir::backup() {
    return 0;
}

void JobResultsCacheDir::restore(bool, bool) {
    debug(1, "restore() NOT supported\n");
    throw "restore exception";
}

unsigned long JobResultsCacheDir::backSearch(unsigned long limit, bool) {
    if (!initialized_)
        return 0;
    if (limit == 0)
        limit = 0xFFFFFFFFul;
    unsigned long found = 0;
    int rc = searchDirectoryByTime(limit, &found, true);
    if (rc == 0)
        return found;
    if (rc == -1 || rc == -2)
        return 0;
    if (appType_ != kOpt1AppType)
        errorCode_ = ERR_NOT_FOUND;
    throw "backSearch: other error";
}

bool JobResultsCacheDir::playBackSelectedItems(std::vector<std::string>&) {
    debug(1, "JobResultsTable is not supported on this platform");
    return true;
}
