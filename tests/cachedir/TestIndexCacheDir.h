// A concrete cache directory for tests: the clean-up operations of the cache
// filesystem are not exercised through it and answer "nothing done".
#pragma once

#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/Env.h"

class TestIndexCacheDir : public IndexCacheDirBase {
public:
    TestIndexCacheDir(OXAppType appType, unsigned long realmNumber, const std::string& appIdName,
                      long long jobId, BackupType backupType, unsigned long timeStamp,
                      TCacheTypeEnum cacheType = TCacheTypeTape)
        : CacheFsBase(appType, cacheType, false),
          IndexCacheDirBase(appType, realmNumber, appIdName, jobId, backupType, timeStamp,
                            cacheType, false) {
        setDebugPrefix("TESTICD");
        preInitResult = _preInit(appType, static_cast<unsigned int>(realmNumber), appIdName, jobId,
                                 backupType, static_cast<unsigned int>(timeStamp));
    }

    long getCurrentTime() override { return static_cast<long>(platform::now()); }
    int cleanUp(unsigned long, bool, bool, bool, unsigned long, const char*, unsigned long,
                unsigned int, const char*, unsigned int) override {
        return 0;
    }
    int scanForCleanUp(CacheDirArray&, bool, unsigned long, const char*, bool) override {
        return 0;
    }
    int cleanUpWithoutScan(CacheDirArray&, unsigned long, bool, bool, bool, unsigned long,
                           const char*, unsigned long, unsigned int, const char*,
                           unsigned int) override {
        return 0;
    }
    int removeDefunctApps() override { return 0; }

    bool isIndexInCache() override { return true; }
    bool checkIntegrity(Enum_IC_IntegrityCheck) override { return true; }
    unsigned long backSearch(unsigned long limit, bool) override {
        unsigned long t = 0;
        return searchDirectoryByTime(limit ? limit : 0xFFFFFFFFul, &t, true) == 0 ? t : 0;
    }
    using IndexCacheDirBase::backSearch;
    bool areComponentsInCache(const char*) override { return true; }
    bool isComponentBasedIndex() override { return false; }
    std::string getCacheDirComp(std::string) override {
        const char* p = getCacheDir();
        return p ? p : "";
    }
    int backup() override { return backupResult ? throw backupResult : 0; }
    void restore(bool, bool) override { throw "restore exception"; }
    bool playBackSelectedItems(std::vector<std::string>&) override { return true; }

    // Test access to the State file member.
    CXFile& stateFile() { return stateFile_; }

    int preInitResult = 0;
    // When set, backup () raises this message.
    const char* backupResult = nullptr;
};
