// A request as the service reads it: one length-framed body off a socket, then
// its XML text parsed into a message; a parsed message must survive its own
// XML form unchanged.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "platform/CXmlMsgRouter.h"

namespace {

void parseAndRoundTrip(const std::string& body) {
    std::string error;
    std::unique_ptr<CNMessageBase> m = CNMessageBase::fromXml(body, &error);
    if (!m)
        return;
    const std::string xml = m->toXml();
    std::unique_ptr<CNMessageBase> again = CNMessageBase::fromXml(xml, &error);
    fuzzsupport::check(again && again->toXml() == xml, "a message's XML parses to itself");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The body alone as well, so that the XML is reached without a matching length.
    if (size >= 4)
        parseAndRoundTrip(std::string(reinterpret_cast<const char*>(data) + 4, size - 4));
    if (size > 60000) // the socket buffer takes the whole input
        return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    const bool written = ::write(fds[0], data, size) == static_cast<ssize_t>(size);
    ::shutdown(fds[0], SHUT_WR);
    std::string body;
    if (written && platform::readFrame(fds[1], platform::kCacheOpFrameCap, 1000, body) == 0)
        parseAndRoundTrip(body);
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
