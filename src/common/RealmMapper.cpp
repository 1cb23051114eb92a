#include "common/RealmMapper.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OXRealm.h"
#include "platform/OxCriticalSection.h"

namespace {

constexpr const char* kMappingSection = "__Cache";
constexpr const char* kMappingKey = "sRealmIdNumMapping";
// Realm numbers at or above this are not valid.
constexpr unsigned long kInvalidNumber = 0xFFFFFFFFUL;

struct RealmMaps {
    OxCriticalSection cs;
    std::map<unsigned long, unsigned long> idToNumber;
    std::map<unsigned long, unsigned long> numberToId;
    bool loaded = false;
    std::atomic<unsigned long> realmId{0};
};

// Never destroyed, so that objects destroyed at exit may still use it.
RealmMaps& maps() {
    static RealmMaps* m = new RealmMaps;
    return *m;
}

class Entered {
public:
    explicit Entered(OxCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~Entered() { cs_.leave(); }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    OxCriticalSection& cs_;
};

bool lookUp(const std::map<unsigned long, unsigned long>& map, unsigned long key,
            unsigned long& value) {
    Entered g(maps().cs);
    auto it = map.find(key);
    if (it == map.end())
        return false;
    value = it->second;
    return true;
}

} // namespace

RealmMapper::RealmMapper() {
    setDebugPrefix("REALMMAPPER");
    load();
}

// The load runs under the critical section too, so that two threads that
// construct the first mappers at once cannot load the string twice.
void RealmMapper::load() {
    RealmMaps& m = maps();
    Entered g(m.cs);
    if (m.loaded)
        return;
    m.loaded = true;
    const char* value = getRegistryString(kMappingKey, kMappingSection);
    if (!value)
        return;
    debug(3,
          "Found 'realm id-to-number mapping' information in registry at '%s\\%s'. Registry "
          "string: '%s'.",
          kMappingSection, kMappingKey, value);
    parseMapping(value, m.idToNumber, m.numberToId);
}

void RealmMapper::parseMapping(const char* value,
                               std::map<unsigned long, unsigned long>& idToNumber,
                               std::map<unsigned long, unsigned long>& numberToId) {
    std::vector<char> text(value, value + std::strlen(value) + 1);
    char* save = nullptr;
    char* idText = ::strtok_r(text.data(), ":", &save);
    while (idText) {
        char* numberText = ::strtok_r(nullptr, ";", &save);
        if (!numberText)
            break;
        unsigned long id = std::strtoul(idText, nullptr, 10);
        unsigned long number = std::strtoul(numberText, nullptr, 10);
        if (number < kInvalidNumber) {
            idToNumber.emplace(id, number);
            numberToId.emplace(number, id);
        }
        idText = ::strtok_r(nullptr, ":", &save);
    }
}

unsigned long RealmMapper::getRealmId() {
    RealmMaps& m = maps();
    unsigned long id = m.realmId.load();
    if (id == 0) {
        id = OXPI_WardenServer(OXPI_Focus::getFocus()).getRealmId();
        if (id == 0) {
            debug(1, "getRealmId returned %lu, defaulting to 2.", id);
            id = 2;
        }
        m.realmId.store(id);
    }
    debug(3, "Realm id = %lu", id);
    return id;
}

unsigned long RealmMapper::idToNumber(unsigned long id) {
    if (id == 0)
        return 0;
    RealmMaps& m = maps();
    unsigned long number = 0;
    if (lookUp(m.idToNumber, id, number))
        return number;
    if (OXRealm(id).getRealmNumber(number) != 0) {
        debug(1, "Realm id %lu has no corresponding Realm number\n", id);
        return 0;
    }
    {
        Entered g(m.cs);
        m.idToNumber.emplace(id, number);
    }
    debug(3, "Realm id %lu maps to number %lu\n", id, number);
    return number;
}

unsigned long RealmMapper::numberToId(unsigned long number) {
    if (number == 0)
        return 0;
    RealmMaps& m = maps();
    unsigned long id = 0;
    if (lookUp(m.numberToId, number, id)) {
        debug(3, "Realm number %lu maps to id %lu (cached)\n", number, id);
        return id;
    }
    OXRealm realm;
    realm.setRealmNumber(number);
    if (realm.getRealmId(id) != 0) {
        debug(1, "Realm number %lu has no corresponding Realm id\n", number);
        return 0;
    }
    {
        Entered g(m.cs);
        m.numberToId.emplace(number, id);
    }
    debug(3, "Realm number %lu maps to id %lu\n", number, id);
    return id;
}
