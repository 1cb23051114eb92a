// Stand-in for the platform's realm object: maps realm ids to realm numbers.
//
// Section "idxcache.realms", key = realm id (decimal), value = its realm
// number, or "-" when the id has none. An id without a key has the number
// equal to itself; a number is found as the first key whose value it is, or
// as the id equal to it when that id has no key of its own.
#pragma once

constexpr const char* kRealmsSection = "idxcache.realms";

class OXRealm {
public:
    // Result code for an id or number the platform does not know.
    static constexpr int kNotFound = 2;

    explicit OXRealm(unsigned long realmId = 0) : realmId_(realmId) {}

    // 0 with the number of the realm id given at construction, or kNotFound.
    int getRealmNumber(unsigned long& number) const;
    // Selects a realm by number for getRealmId.
    void setRealmNumber(unsigned long number) { realmNumber_ = number; }
    // 0 with the id of the realm number set, or kNotFound.
    int getRealmId(unsigned long& id) const;

private:
    unsigned long realmId_;
    unsigned long realmNumber_ = 0;
};
