#include "common/HostServices.h"

#include <sys/stat.h>

#include <algorithm>

#include "common/TDebuggable.h"
#include "platform/OXClient.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"

namespace {

// Names are kept to the platform's 256-character limit.
constexpr size_t kMaxName = 256;
constexpr int kHostBuffer = 256;
const int kPlatformKinds[] = {OXPlatformWardenServer, OXPlatformDepot, OXPlatformRealmClient};

// The first platform kind that names the central server (and, for the
// mangled form, its client) wins.
bool findWarden(bool withClient, std::string& host, std::string& client) {
    TDebuggable log;
    log.setDebugPrefix("getWarden");
    const size_t count = sizeof kPlatformKinds / sizeof kPlatformKinds[0];
    for (size_t i = 0; i < count; ++i) {
        OXPI_PlatformBase kind(kPlatformKinds[i]);
        if (kind.getWardenServerHostName(host) &&
            (!withClient || kind.getWardenServerClientName(client))) {
            host.resize(std::min(host.size(), kMaxName));
            client.resize(std::min(client.size(), kMaxName));
            return true;
        }
        if (i + 1 < count)
            log.debug(1, "cannot obtain Warden name for platform %d - trying next platform\n",
                      kPlatformKinds[i]);
        else
            log.debug(1, "cannot obtain Warden name for platform %d - giving up\n",
                      kPlatformKinds[i]);
    }
    host.clear();
    client.clear();
    return false;
}

} // namespace

std::string getWarden() {
    std::string host, client;
    findWarden(false, host, client);
    return host;
}

std::string getWardenMangled() {
    std::string host, client;
    if (!findWarden(true, host, client))
        return std::string();
    return MangleHostName(host.c_str(), client.c_str(), kWardenPort1, kWardenPort2);
}

std::string getMyTempDir() {
    std::string dir;
    if (!OXPI_Base::getOrbitTempDirectory(dir))
        return std::string();
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        recursiveMkdir(dir.c_str(), 0755);
    return dir;
}

std::string getMyHostName(const char* clientName, bool returnClientName, bool mangled) {
    TDebuggable log;
    log.setDebugPrefix("MYHOSTNAME");
    std::string name = clientName && *clientName ? clientName : OXPI_Focus::getFocusClientName();
    if (name.empty()) {
        name = OXClient::getPhysicalMachine();
        log.debug(1, "WARNING: no focus client name - defaulting to physical machine '%s'",
                  name.c_str());
    }
    if (returnClientName)
        return name;
    char host[kHostBuffer];
    bool ok = mangled ? OXClient::getClientHostNameMangled(name.c_str(), host, sizeof host)
                      : OXClient::getClientHostName(name.c_str(), host, sizeof host);
    if (!ok) {
        log.debug(1, "ERROR: cannot determine %shostname for '%s'", mangled ? "mangled " : "",
                  name.c_str());
        return std::string();
    }
    return host;
}

unsigned long getMyClientId(const char* clientName) {
    TDebuggable log;
    log.setDebugPrefix("MYCLIENTID");
    std::string name = getMyHostName(clientName, true, false);
    if (name.empty()) {
        log.debug(1, "getMyClientName (short name) failed\n");
        return 0;
    }
    unsigned long id = 0;
    int code = OXClient(name).getClientId(id);
    if (code != 0) {
        log.debug(1, "getClientId failed, code %d, client name '%s'\n", code, name.c_str());
        return 0;
    }
    if (id == 0) {
        log.debug(1, "getClientId failed, zero value, client name '%s'\n", name.c_str());
        return 0;
    }
    return id;
}
