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

    // Test access to the State file member.
    CXFile& stateFile() { return stateFile_; }

    int preInitResult = 0;
};
