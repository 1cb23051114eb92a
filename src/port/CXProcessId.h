// The identity of a process as decimal text, and whether it still runs.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "common/TDebuggable.h"

class CXProcessId : public TDebuggable {
public:
    CXProcessId();

    // The calling process.
    void thisProcess();
    // Parses one unsigned decimal number; 0, or -1 (object uninitialised).
    int setIdString(const char* text);
    // The id in decimal, held by the object; null when not initialised.
    char* getIdString();
    pid_t getPid() const { return static_cast<pid_t>(pid_); }
    // 1 running, 0 gone, -1 unknown or not initialised.
    int isRunning();

private:
    int32_t initialised_ = 0;
    int32_t thisProcess_ = 0;
    uint32_t pid_ = 0;
    char idText_[24] = {0};
};
