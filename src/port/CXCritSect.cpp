#include "port/CXCritSect.h"

#include "common/TDebuggable.h"

int CXCritSect::lock() {
    try {
        section_.enter(true);
        return 0;
    } catch (...) {
        return -1;
    }
}

int CXCritSect::unlock() {
    try {
        section_.leave();
        return 0;
    } catch (...) {
        return -1;
    }
}

CXAutoCritSect::CXAutoCritSect(CXCritSect* section, const char* owner, bool lockNow)
    : owner_(owner) {
    if (!lockNow || !section)
        return;
    // Kept even when the lock fails: the destructor still unlocks.
    section_ = section;
    const int rc = section->lock();
    if (rc != 0)
        report("lock", rc);
}

CXAutoCritSect::~CXAutoCritSect() {
    if (!section_)
        return;
    const int rc = section_->unlock();
    if (rc != 0)
        report("unlock", rc);
}

void CXAutoCritSect::report(const char* operation, int code) {
    errCode_ = code;
    TDebuggable log;
    log.setDebugPrefix("AUTOCRITSECT");
    if (owner_)
        log.debug(1, "%s: %s failed with code %d\n", owner_, operation, code);
    else
        log.debug(1, "%s failed with code %d\n", operation, code);
}
