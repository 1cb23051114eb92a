#include "port/CXProcessId.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

CXProcessId::CXProcessId() {
    setDebugPrefix("PROCESSID");
}

void CXProcessId::thisProcess() {
    pid_ = static_cast<uint32_t>(::getpid());
    initialised_ = 1;
    thisProcess_ = 1;
}

int CXProcessId::setIdString(const char* text) {
    unsigned int id = 0;
    if (!text || std::sscanf(text, "%u", &id) != 1) {
        debug(1, "setIdString: invalid id string %s\n", text ? text : "(null)");
        initialised_ = 0;
        thisProcess_ = 0;
        return -1;
    }
    pid_ = id;
    initialised_ = 1;
    thisProcess_ = 0;
    return 0;
}

char* CXProcessId::getIdString() {
    if (!initialised_) {
        debug(1, "getIdString: not initialized\n");
        return nullptr;
    }
    std::snprintf(idText_, sizeof idText_, "%lu", static_cast<unsigned long>(pid_));
    return idText_;
}

int CXProcessId::isRunning() {
    if (!initialised_) {
        debug(1, "getIdString: not initialized\n");
        return -1;
    }
    if (thisProcess_)
        return 1;
    if (::kill(static_cast<pid_t>(pid_), 0) == 0)
        return 1;
    if (errno == ESRCH)
        return 0;
    debug(1, "isRunning: kill %lu failed, errno %d\n", static_cast<unsigned long>(pid_), errno);
    return -1;
}
