// Realm ids and realm numbers: the id names the realm to the platform, the
// number names it in cache paths. The mapping is process-wide: every
// RealmMapper shares it, and the key-store mapping is loaded only once.
#pragma once

#include <map>

#include "common/TDebuggable.h"

class RealmMapper : public TDebuggable {
public:
    // The first construction in the process loads "sRealmIdNumMapping" of
    // section "__Cache" ("id:number;id:number..."; the first occurrence
    // wins in each direction).
    RealmMapper();

    // This realm's id (a 0 from the platform is taken as 2); asked once.
    unsigned long getRealmId();
    // 0 maps to 0; an id or number the platform does not know maps to 0.
    unsigned long idToNumber(unsigned long id);
    unsigned long numberToId(unsigned long number);

    // Adds the pairs of a mapping string ("id:number;id:number...") that the
    // maps do not hold yet; a number of 0xFFFFFFFF or more is skipped.
    static void parseMapping(const char* text, std::map<unsigned long, unsigned long>& idToNumber,
                             std::map<unsigned long, unsigned long>& numberToId);

private:
    void load();
};
