// The realm id-to-number mapping string of the key store ("id:number;...").
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "common/RealmMapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<unsigned long, unsigned long> idToNumber, numberToId;
    RealmMapper::parseMapping(text.c_str(), idToNumber, numberToId);
    for (const auto& pair : idToNumber)
        fuzzsupport::check(pair.second < 0xFFFFFFFFul && numberToId.count(pair.second) == 1,
                           "every mapped number maps back to an id");
    return 0;
}
