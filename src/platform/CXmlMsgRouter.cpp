#include "platform/CXmlMsgRouter.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

namespace platform {

std::string depotSvcSocketPath() {
    std::string path;
    if (KeyStore::get("Depot", "sDEPOTSVCSOCKET", path) && !path.empty())
        return path;
    return homePath("run", true) + "/depotsvc.sock";
}

int makeSocketAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return 0;
}

int writeFrame(int fd, const std::string& body) {
    if (body.size() > kUploadFrameCap) {
        errno = EMSGSIZE;
        return -1;
    }
    uint32_t n = static_cast<uint32_t>(body.size());
    std::string frame = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                         static_cast<char>(n >> 8), static_cast<char>(n)};
    frame += body;
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t w = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        done += static_cast<size_t>(w);
    }
    return 0;
}

namespace {

// Real time: a virtual clock installed by a test would never let a silent
// peer time out; the time-out itself comes through Env.
long long realMonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Reads exactly n bytes before the deadline (monotonic nanoseconds).
int readFully(int fd, char* out, size_t n, long long deadline) {
    size_t done = 0;
    while (done < n) {
        long long left = (deadline - realMonotonicNs()) / 1000000;
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left > 0x7fffffff ? 0x7fffffff : left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return -1;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        ssize_t r = ::read(fd, out + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0) {
            errno = ECONNRESET;
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return 0;
}

} // namespace

int readFrame(int fd, size_t cap, unsigned long timeoutMs, std::string& body) {
    long long deadline = realMonotonicNs() + static_cast<long long>(timeoutMs) * 1000000LL;
    unsigned char head[4];
    if (readFully(fd, reinterpret_cast<char*>(head), 4, deadline) != 0)
        return -1;
    size_t n = (size_t(head[0]) << 24) | (size_t(head[1]) << 16) | (size_t(head[2]) << 8) | head[3];
    if (n > cap) {
        errno = EMSGSIZE;
        return -1;
    }
    body.assign(n, '\0');
    return n ? readFully(fd, &body[0], n, deadline) : 0;
}

} // namespace platform

int CXmlMsgRouter::initializeCommunicationRouter(void*) {
    getCommunicationRouter();
    return 0;
}

CXmlMsgRouter* CXmlMsgRouter::getCommunicationRouter() {
    // The process's one router, as the platform keeps it.
    static CXmlMsgRouter router;
    return &router;
}

CXmlMsgRouter::~CXmlMsgRouter() {
    disconnect();
}

void CXmlMsgRouter::disconnect() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int CXmlMsgRouter::failWith(int code, const std::string& text) {
    lastError_ = code;
    lastErrorText_ = text + ": " + std::strerror(code);
    disconnect();
    return -1;
}

int CXmlMsgRouter::send(CNMessageBase* message, int) {
    disconnect();
    std::string path = platform::depotSvcSocketPath();
    sockaddr_un address;
    socklen_t length = 0;
    if (platform::makeSocketAddress(path, address, length) != 0)
        return failWith(errno, "socket path '" + path + "' is longer than a socket address allows");
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return failWith(errno, "socket");
    // A missing or dead service refuses at once; only a live one is waited for.
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return failWith(errno, "connect to " + path);
    if (platform::writeFrame(fd_, message->toXml()) != 0)
        return failWith(errno, "send to " + path);
    return 0;
}

int CXmlMsgRouter::receive(CNMessageBase** message, int, unsigned long timeoutMs, int) {
    *message = nullptr;
    if (fd_ < 0)
        return failWith(ENOTCONN, "receive without a request");
    std::string body;
    if (platform::readFrame(fd_, platform::kCacheOpFrameCap,
                            platform::env().receiveTimeoutMs(timeoutMs), body) != 0)
        return failWith(errno, "receive");
    disconnect();
    std::string error;
    std::unique_ptr<CNMessageBase> m = CNMessageBase::fromXml(body, &error);
    if (!m)
        return failWith(EPROTO, "bad answer (" + error + ")");
    *message = m.release();
    return 0;
}
