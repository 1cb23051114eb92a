// A child process started from a program path, either sharing the caller's
// standard descriptors or with its output (and optionally its standard error)
// on pipes read through the CXFile operations.
//
// Reserved exit codes of the child: 77 when redirecting a descriptor failed,
// 79 when execv failed.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "port/CXFile.h"

class CXChildProcess : public CXFile {
public:
    static constexpr int kExitDupFailed = 77;  // 'M'
    static constexpr int kExitExecFailed = 79; // 'O'

    CXChildProcess();
    ~CXChildProcess() override;
    CXChildProcess(const CXChildProcess&) = delete;
    CXChildProcess& operator=(const CXChildProcess&) = delete;

    // Standard input, output and error stay the caller's.
    int spawnDisconnected(const char* path, char* const* argv);
    // Standard output goes to a pipe this object reads. captureStderr joins
    // standard error to it, or with separateStderr sends it to the error
    // reader. The pipe's write end is also the child's standard input, so only
    // the direction from the child to the caller works.
    int spawnConnected(const char* path, char* const* argv, bool captureStderr,
                       bool separateStderr);
    // 0 only when the child exited with 0; closes both readers.
    int wait();

    char* getFailureMessage() { return failure_; }
    // Reader of the child's separate standard-error pipe.
    CXFile& getErrorReader() { return errorReader_; }
    pid_t getPid() const { return pid_; }
    int isSpawned() const { return spawned_; }

private:
    // Ignores SIGPIPE for the process, so writing to a closed pipe fails
    // instead of ending the caller.
    int ignoreSigpipe();
    int failWith(int code, const char* text);
    void setFailure(const char* format, ...) __attribute__((format(printf, 2, 3)));

    int32_t spawned_ = 0;
    CXFile errorReader_;
    char failure_[1028];
    int32_t pid_ = 0;
};
