// The platform's message router to the local storage-node service: one Unix
// domain socket connection per request, each message framed as a 4-byte
// big-endian length and the XML text.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <string>

#include "platform/CNMessageBase.h"

namespace platform {

// Frame caps, checked before a body is read.
constexpr size_t kCacheOpFrameCap = 1u << 20;
constexpr size_t kUploadFrameCap = 16u << 20;

// $IDXCACHE_HOME/run/depotsvc.sock, or the key store's Depot/sDEPOTSVCSOCKET.
std::string depotSvcSocketPath();
// Fills a socket address; -1 with errno ENAMETOOLONG when the path does not fit.
int makeSocketAddress(const std::string& path, sockaddr_un& address, socklen_t& length);
// 0, or -1 with errno.
int writeFrame(int fd, const std::string& body);
// Reads one frame of at most cap bytes within timeoutMs (real time):
// 0, or -1 with errno (ETIMEDOUT, EMSGSIZE for a length over the cap,
// ECONNRESET for an end of stream).
int readFrame(int fd, size_t cap, unsigned long timeoutMs, std::string& body);

} // namespace platform

class CXmlMsgRouter {
public:
    static int initializeCommunicationRouter(void* unused);
    // The router of this process; null before initialisation.
    static CXmlMsgRouter* getCommunicationRouter();

    ~CXmlMsgRouter();
    // Connects to the service and sends the message: 0, or -1.
    int send(CNMessageBase* message, int unused);
    // Waits for the answer on the connection of the last send (the time-out
    // passes through platform::Env) and closes it: 0 with *message owned by
    // the caller, or -1.
    int receive(CNMessageBase** message, int unused, unsigned long timeoutMs, int unused2);

    int getLastError() const { return lastError_; }
    const std::string& getLastErrorText() const { return lastErrorText_; }

private:
    CXmlMsgRouter() = default;
    int failWith(int code, const std::string& text);
    void disconnect();

    int fd_ = -1;
    int lastError_ = 0;
    std::string lastErrorText_;
};
