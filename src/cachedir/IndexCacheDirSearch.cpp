// Searches of an application directory for cache directories by time stamp.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cachedir/IndexCacheDirBase.h"
#include "port/CXDirectory.h"

namespace {
constexpr unsigned int kBackSearchFailedEvent = 0x0E000036;
}

int IndexCacheDirBase::searchDirectoryByTime(unsigned long limit, unsigned long* found,
                                             bool backward) {
    const uint32_t start = backward ? 0u : 0xFFFFFFFFu;
    uint32_t best = start;
    if (!initialized_)
        return -3;
    try {
        if (!cacheRoot_)
            throw "no cache fs";
    } catch (...) {
        const char* message = failureMessage();
        debug(1, "searchDirectoryByTime(): %s: errno=%d\n", message, errorCode_);
        return -3;
    }
    CXDirectory dir;
    if (dir.open(appDirPath().c_str()) != 0) {
        errorCode_ = dir.getLastError();
        return errorCode_ == ENOENT ? -2 : -3;
    }
    const uint32_t lim = static_cast<uint32_t>(limit);
    while (const char* name = dir.read()) {
        if (!isDecimal(name))
            continue;
        uint32_t t = static_cast<uint32_t>(std::atoi(name));
        if (backward ? (t <= lim && t > best) : (t >= lim && t < best))
            best = t;
    }
    if (dir.getLastError() != 0) {
        errorCode_ = dir.getLastError();
        debug(1, "cache directory %s error (code %d)\n", appDirPath().c_str(), errorCode_);
        return -3;
    }
    if (dir.close() != 0) {
        errorCode_ = dir.getLastError();
        return -3;
    }
    if (best == start)
        return -1;
    *found = best;
    return 0;
}

unsigned long IndexCacheDirBase::backSearch() {
    if (!initialized_)
        return 0;
    try {
        unsigned long t = 0;
        int rc = searchDirectoryByTime(0xFFFFFFFFul, &t, true);
        if (rc < -2)
            throw "cache search error";
        if (rc < 0)
            t = 0;
        unsigned long p = backSearch(0xFFFFFFFFul, false);
        return t > p ? t : p;
    } catch (...) {
        const char* message = failureMessage();
        appEvent(static_cast<unsigned int>(realmNumber_), static_cast<unsigned int>(appNumber_));
        ev().MajorEvent(kBackSearchFailedEvent, 0, 0);
        debug(1, "backSearch(): %s: errno=%d\n", message, errorCode_);
        throw "backSearch() exception";
    }
}

void IndexCacheDirBase::setAppIdName(const std::string& name) {
    unsigned long first = 0, second = 0;
    if (!decodeAppIdName(name, &first, &second))
        return;
    appNumber_ = first;
    secondAppNumber_ = second;
    appIdName_ = name;
}
