// A cache filesystem whose clean-up is scripted by the test.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cachefs/CacheFsBase.h"

struct CleanUpCall {
    unsigned long numBlocks;
    bool removeAllOld, logEvents, useAccessTime;
    unsigned long specificRealm;
    std::string specificApp; // "NULL" for none
    unsigned long dontRemoveTime;
    unsigned int realmNumber;
    std::string appNumber;
    unsigned int timeStamp;
};

class TestCacheFs : public CacheFsBase {
public:
    explicit TestCacheFs(OXAppType appType = 5, TCacheTypeEnum type = TCacheTypeTape)
        : CacheFsBase(appType, type, false) {}

    long getCurrentTime() override { return centralTime; }
    int cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents, bool useAccessTime,
                unsigned long specificRealm, const char* specificApp, unsigned long dontRemoveTime,
                unsigned int realmNumber, const char* appNumber, unsigned int timeStamp) override {
        calls.push_back({numBlocks, removeAllOld, logEvents, useAccessTime, specificRealm,
                         specificApp ? specificApp : "NULL", dontRemoveTime, realmNumber,
                         appNumber ? appNumber : "NULL", timeStamp});
        return onCleanUp ? onCleanUp(numBlocks) : 0;
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

    // Lets a test name the cache directory this object stands for.
    void setMine(unsigned long realm, const std::string& app, unsigned long ts) {
        realmNumber_ = realm;
        appIdName_ = app;
        timeStamp_ = ts;
    }

    long centralTime = 0;
    std::vector<CleanUpCall> calls;
    std::function<int(unsigned long)> onCleanUp;
};
