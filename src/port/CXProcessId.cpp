#include "port/CXProcessId.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// The largest process id the system hands out; the kernel's hard limit when
// the setting cannot be read.
unsigned long maxPid() {
    static const unsigned long value = [] {
        unsigned long v = 0;
        if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "re")) {
            if (std::fscanf(f, "%lu", &v) != 1)
                v = 0;
            std::fclose(f);
        }
        return v > 1 ? v : 4194304UL;
    }();
    return value;
}

} // namespace

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
    // 0 and 1 never name another job's process (kill (0, 0) even signals the
    // caller's own group), and an id above the system's maximum names none:
    // either would make a bad reserve line look alive for ever.
    if (!text || std::sscanf(text, "%u", &id) != 1 || id <= 1 || id > maxPid()) {
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
