// Stand-in for the platform's client objects: client ids and host names.
//
// Section "idxcache.clients", key = client name:
//   <id>      the client's id (decimal or 0x-hexadecimal; 0 is answered as 0)
//   !<code>   the platform fails the look-up with that code
// A client without a key has an id derived from its name (stable, never 0),
// so a fresh home knows every client. A value that is neither fails with 22.
//
// Section "idxcache.hosts", key = client name: the client's host name. An
// absent key means the host is named like the client; an empty value means
// the platform cannot name the host.
//
// Platform section ("idxcache.platform"):
//   PhysicalMachine   this machine's name (default: the system host name)
#pragma once

#include <memory>
#include <string>

constexpr const char* kClientsSection = "idxcache.clients";
constexpr const char* kHostsSection = "idxcache.hosts";

// The platform's standard ports, carried by mangled host names.
constexpr int kClientPort1 = 8400;
constexpr int kClientPort2 = 8402;

// Section "idxcache.clientprops", the client properties the job-results
// clean-up reads:
//   <client>                      "-" makes the platform have no properties
//                                 for the client
//   <client>.DiskFullThreshold    percent (default 95)
//   <client>.CacheAgingThreshold  days (default 30)
// A value "!<code>" makes reading that property fail with the code; a value
// that is not a number fails with 22.
constexpr const char* kClientPropsSection = "idxcache.clientprops";

class OXClientProperties {
public:
    explicit OXClientProperties(const std::string& clientName) : name_(clientName) {}
    // 0 with the threshold, or the platform's error code.
    int getDiskFullThreshold(int& percent) const;
    int getCacheAgingThreshold(int& days) const;

private:
    int property(const char* key, int fallback, int& value) const;

    std::string name_;
};

class OXClient {
public:
    explicit OXClient(const std::string& name) : name_(name) {}

    const std::string& getName() const { return name_; }
    // 0 when the platform knows the client (its id can be read), else the
    // platform's error code.
    int lookup() const;
    // The client's properties; null when the platform has none for it.
    std::unique_ptr<OXClientProperties> getClientProperties() const;
    // 0 with the id in id, or the platform's error code.
    int getClientId(unsigned long& id) const;

    // The host name of a client into a buffer of size bytes; false when the
    // platform cannot name it or the name does not fit.
    static bool getClientHostName(const char* clientName, char* buffer, int size);
    // The same host in its mangled form (MangleHostName with the client name
    // and the standard ports).
    static bool getClientHostNameMangled(const char* clientName, char* buffer, int size);
    // This machine's name.
    static std::string getPhysicalMachine();

private:
    std::string name_;
};
