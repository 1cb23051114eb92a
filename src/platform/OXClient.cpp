#include "platform/OXClient.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"

using platform::KeyStore;

namespace {

// FNV-1a folded to 31 bits, never 0.
unsigned long derivedId(const std::string& name) {
    unsigned int h = 2166136261u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    return (h & 0x7FFFFFFFu) ? (h & 0x7FFFFFFFu) : 1;
}

bool copyOut(const std::string& text, char* buffer, int size) {
    if (!buffer || size <= 0)
        return false;
    *buffer = '\0';
    if (text.empty() || text.size() >= static_cast<size_t>(size))
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

bool hostOf(const char* clientName, std::string& host) {
    if (!clientName || !*clientName)
        return false;
    if (!KeyStore::get(kHostsSection, clientName, host))
        host = clientName;
    return !host.empty();
}

} // namespace

int OXClient::getClientId(unsigned long& id) const {
    id = 0;
    if (name_.empty())
        return 22;
    std::string value;
    if (!KeyStore::get(kClientsSection, name_, value)) {
        id = derivedId(name_);
        return 0;
    }
    if (!value.empty() && value[0] == '!') {
        int code = std::atoi(value.c_str() + 1);
        return code ? code : 1;
    }
    unsigned long long n = 0;
    if (!KeyStore::parseNumber(value, n, false))
        return 22;
    id = static_cast<unsigned long>(n);
    return 0;
}

bool OXClient::getClientHostName(const char* clientName, char* buffer, int size) {
    std::string host;
    if (!hostOf(clientName, host)) {
        copyOut(std::string(), buffer, size);
        return false;
    }
    return copyOut(host, buffer, size);
}

bool OXClient::getClientHostNameMangled(const char* clientName, char* buffer, int size) {
    std::string host;
    if (!hostOf(clientName, host)) {
        copyOut(std::string(), buffer, size);
        return false;
    }
    return copyOut(MangleHostName(host.c_str(), clientName, kClientPort1, kClientPort2), buffer,
                   size);
}

std::string OXClient::getPhysicalMachine() {
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0)
        std::strcpy(host, "localhost");
    return KeyStore::getStringOr(platform::kPlatformSection, "PhysicalMachine", host);
}

int OXClient::lookup() const {
    unsigned long id = 0;
    return getClientId(id);
}

std::unique_ptr<OXClientProperties> OXClient::getClientProperties() const {
    std::string value;
    if (name_.empty() || (KeyStore::get(kClientPropsSection, name_, value) && value == "-"))
        return nullptr;
    return std::make_unique<OXClientProperties>(name_);
}

int OXClientProperties::property(const char* key, int fallback, int& value) const {
    std::string text;
    if (!KeyStore::get(kClientPropsSection, name_ + "." + key, text)) {
        value = fallback;
        return 0;
    }
    if (!text.empty() && text[0] == '!') {
        int code = std::atoi(text.c_str() + 1);
        return code ? code : 1;
    }
    unsigned long long n = 0;
    if (!KeyStore::parseNumber(text, n, true))
        return 22;
    value = static_cast<int>(static_cast<long long>(n));
    return 0;
}

int OXClientProperties::getDiskFullThreshold(int& percent) const {
    return property("DiskFullThreshold", 95, percent);
}

int OXClientProperties::getCacheAgingThreshold(int& days) const {
    return property("CacheAgingThreshold", 30, days);
}
