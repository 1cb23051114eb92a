#include "port/SockRecv.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/EvEvent.h"

namespace {
constexpr int kMaxInterrupts = 10000;
} // namespace

int sockRecv(int socket, char* buffer, int length, int flags, unsigned int timeoutSeconds) {
    EvEvent ev;
    if (timeoutSeconds != 0) {
        int tries = 0;
        for (;;) {
            if (tries++ == kMaxInterrupts) {
                EvDebug::debug(&ev, 1, "sockRecv: too many interrupted selects\n");
                return -1;
            }
            // FD_SET has no failure of its own: a descriptor it cannot hold is
            // the failure.
            if (socket < 0 || socket >= FD_SETSIZE) {
                EvDebug::debug(&ev, 1, "sockRecv: set fd failed, error=%s", std::strerror(EBADF));
                return -1;
            }
            fd_set set;
            FD_ZERO(&set);
            FD_SET(socket, &set);
            struct timeval tv;
            tv.tv_sec = static_cast<time_t>(timeoutSeconds);
            tv.tv_usec = 0;
            const int rc = ::select(socket + 1, &set, nullptr, nullptr, &tv);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc < 0) {
                EvDebug::debug(&ev, 1, "sockRecv: select failed, errno %d", errno);
                return -1;
            }
            if (rc == 0)
                return -2;
            break;
        }
    }

    int received = 0;
    int interrupts = 0;
    while (received < length) {
        const ssize_t n =
            ::recv(socket, buffer + received, static_cast<size_t>(length - received), flags);
        if (n < 0 && errno == EINTR) {
            if (++interrupts == kMaxInterrupts) {
                EvDebug::debug(&ev, 1, "sockRecv: too many interrupted recvs\n");
                return -1;
            }
            continue;
        }
        if (n < 0)
            return received > 0 ? received : -1;
        if (n == 0)
            break;
        received += static_cast<int>(n);
    }
    return received;
}
