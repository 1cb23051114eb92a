#include "platform/OXRealm.h"

#include <string>

#include "platform/OXPlatformInfo.h"

using platform::KeyStore;

int OXRealm::getRealmNumber(unsigned long& number) const {
    number = 0;
    std::string value;
    if (!KeyStore::get(kRealmsSection, std::to_string(realmId_), value)) {
        number = realmId_;
        return 0;
    }
    unsigned long long n = 0;
    if (!KeyStore::parseNumber(value, n, false))
        return kNotFound;
    number = static_cast<unsigned long>(n);
    return 0;
}

int OXRealm::getRealmId(unsigned long& id) const {
    id = 0;
    for (const platform::KeyEntry& e : KeyStore::list()) {
        unsigned long long key = 0, value = 0;
        if (e.section == kRealmsSection && KeyStore::parseNumber(e.key, key, false) &&
            KeyStore::parseNumber(e.value, value, false) && value == realmNumber_) {
            id = static_cast<unsigned long>(key);
            return 0;
        }
    }
    std::string own;
    if (KeyStore::get(kRealmsSection, std::to_string(realmNumber_), own))
        return kNotFound;
    id = realmNumber_;
    return 0;
}
