// The local storage-node service's cache operations: a process that listens
// on the service socket and runs reservations and clean-ups for requesters,
// one request at a time. It also stands in for the index server's side of
// transaction-log uploads: a valid upload request is recorded as its XML in
// $IDXCACHE_HOME/IndexServer/uploads/NNNNNNNN.xml (numbered from 1) and
// answered with the status of the key store's Depot/nTLUPLOADSTANDINSTATUS
// (default 0, success), so callers can be tested against every answer.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "common/TDebuggable.h"
#include "platform/CNMessageBase.h"

class CacheOpsService : public TDebuggable {
public:
    CacheOpsService();

    // Binds the socket and serves until a stop request. In the background
    // the caller returns once the service listens (or failed to). 0 or 1.
    int start(bool foreground);
    // Asks a running service to stop after its current request: 0 stopped,
    // 1 none was running.
    static int stop(std::string& message);
    // The pid of the running service (the pid file's lock holder), or 0.
    static pid_t runningPid();
    static std::string pidFilePath();

    // The acknowledgement of one request (validated first).
    std::unique_ptr<CNMessageBase> serve(const CNMessageBase& request);
    // Why a request may not be served, or "" when it may.
    static std::string validate(const CNMessageBase& request);
    // The reply to an upload request (validated first).
    std::unique_ptr<CNMessageBase> serveUpload(const CNMessageBase& request);
    static std::string validateUpload(const CNMessageBase& request);
    static std::string uploadsDir();

    // Error codes of a refused or failed request; an upload reply carries
    // them as its status.
    static constexpr int kErrBadMessage = 1;
    static constexpr int kErrInvalid = 2;
    static constexpr int kErrNotInitialised = 3;
    static constexpr int kErrFailed = 4;
    static constexpr const char* kUploadStatusKey = "nTLUPLOADSTANDINSTATUS";

private:
    int serveLoop(int listenFd);
    std::unique_ptr<CNMessageBase> runOperation(const CNMessageBase& request);
    // The record's path, or "" when it could not be written.
    std::string recordUpload(const CNMessageBase& request);
    bool stopRequested_ = false;
};
