#include "platform/OXPI.h"

#include <cstring>

#include "platform/OXClient.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

using platform::KeyStore;

namespace {

constexpr const char* kNone = "-";

bool answer(const std::string& path, std::string& dir) {
    if (path.empty() || path == kNone) {
        dir.clear();
        return false;
    }
    dir = path;
    return true;
}

} // namespace

namespace platform {

int processPlatformType() {
    return static_cast<int>(
        KeyStore::getNumberOr(kPlatformSection, "PlatformType", OXPlatformDepot));
}

} // namespace platform

bool OXPI_Base::getOrbitTempDirectory(std::string& dir) {
    return answer(platform::tempDirectory(), dir);
}

bool OXPI_Base::getHomeDirectory(std::string& dir) {
    return answer(platform::home(), dir);
}

bool OXPI_Base::isPlatformTypeWarden() {
    return platform::processPlatformType() == OXPlatformWardenServer;
}

bool OXPI_Base::isPlatformTypeRealmClient() {
    return platform::processPlatformType() == OXPlatformRealmClient;
}

bool OXPI_Base::isPlatformTypeDepot() {
    return platform::processPlatformType() == OXPlatformDepot;
}

int OXPI_PlatformBase::invalidOXPlatform() const {
    long long kinds =
        KeyStore::getNumberOr(platform::kPlatformSection, "PlatformKinds",
                              OXPlatformRealmClient | OXPlatformDepot | OXPlatformWardenServer);
    return (kinds & kind_) == kind_ && kind_ != 0 ? 0 : 1;
}

bool OXPI_PlatformBase::getOrbitDirectory(std::string& dir) {
    return answer(platform::productDirectory(), dir);
}

bool OXPI_PlatformBase::wardenName(const char* key, std::string& name) const {
    name.clear();
    if (invalidOXPlatform())
        return false;
    if (!KeyStore::get(kWardenSection, std::string(key) + "." + std::to_string(kind_), name) &&
        !KeyStore::get(kWardenSection, key, name)) {
        name = std::strcmp(key, "HostName") == 0 ? OXClient::getPhysicalMachine()
                                                 : OXPI_Focus::getFocusClientName();
    }
    return !name.empty();
}

bool OXPI_PlatformBase::getWardenServerHostName(std::string& name) const {
    return wardenName("HostName", name);
}

bool OXPI_PlatformBase::getWardenServerClientName(std::string& name) const {
    return wardenName("ClientName", name);
}

bool OXPI_Depot::getIndexCacheDirectory(const char* /*clientName*/, std::string& dir) const {
    if (invalidOXPlatform()) {
        dir.clear();
        return false;
    }
    return answer(platform::indexCacheDirectory(), dir);
}

bool OXPI_Depot::getIndexCacheDirectory(const char* clientName, const char* key,
                                        std::string& path) const {
    path.clear();
    if (!clientName || !*clientName || !key || !*key)
        return false;
    return KeyStore::get(std::string("~Machines\\") + clientName, key, path) && !path.empty();
}

bool OXPI_RealmClient::getJobResultsDirectory(const char* /*clientName*/, char* directory,
                                              char* user, char* password, int size) const {
    if (user)
        *user = '\0';
    if (password)
        *password = '\0';
    if (!directory || size <= 0)
        return false;
    *directory = '\0';
    std::string dir;
    if (invalidOXPlatform() || !answer(platform::jobResultsDirectory(), dir) ||
        dir.size() >= static_cast<size_t>(size))
        return false;
    std::memcpy(directory, dir.c_str(), dir.size() + 1);
    return true;
}

unsigned long OXPI_WardenServer::getRealmId() const {
    if (focus_.empty())
        return 0;
    return static_cast<unsigned long>(KeyStore::getNumberOr(kWardenSection, "RealmId", 2));
}

std::string MangleHostName(const char* hostName, const char* clientName, int port1, int port2) {
    return std::string(hostName ? hostName : "") + "*" + (clientName ? clientName : "") + "*" +
           std::to_string(port1) + "*" + std::to_string(port2);
}
