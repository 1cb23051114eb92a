// The platform network's remote-command service: starts a program on a host
// with a request message. Hosts are resolved from the key store section
// "idxcache.remote": key = host name, value "local" when the host is this
// machine (this machine's physical name and "localhost" always are). The
// program is run by the launcher from the product directory (or PATH) with
// the words of the message's request text (field 3) as its arguments; it is
// not waited for: it answers the requester itself. Other hosts cannot be reached from
// this platform and fail with an error text naming them.
#pragma once

#include <string>

class CNMessageBase;

class COxRemoteCommand {
public:
    static constexpr const char* kHostsSection = "idxcache.remote";
    // Where the message keeps its request text and program name.
    static constexpr int kRequestField = 3, kRequestTag = 6;
    static constexpr int kProgramField = 2, kProgramTag = 2;
    static constexpr unsigned kClassKey = 0x9000111;
    static constexpr unsigned kRequestKey = 959324, kProgramKey = 7933915;

    // 0 when the program was started, else -1 with getErrorText set.
    int Attach_RemoteCommand(const char* host, const CNMessageBase& message, const char* extra,
                             const char* localClient, int timeoutSeconds);
    const char* getErrorText() const { return error_.c_str(); }

private:
    std::string error_;
};
