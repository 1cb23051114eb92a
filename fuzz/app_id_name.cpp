// The application id name of an index cache folder ("<app>" or "scp_<app>_<second>").
#include <string>

#include "FuzzSupport.h"
#include "cachefs/CacheFsBase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    unsigned long app = 0, second = 0;
    const bool decoded = CacheFsBase::decodeAppIdName(name, &app, &second);
    CacheFsBase::isAppIdName(name);
    CacheFsBase::isAppIdName(name.c_str());
    CacheFsBase::isDecimal(name.c_str());
    if (decoded) {
        // The canonical name of what was decoded decodes to the same numbers.
        unsigned long app2 = 0, second2 = 0;
        const std::string canonical = CacheFsBase::encodeAppIdName(app, second);
        fuzzsupport::check(CacheFsBase::decodeAppIdName(canonical, &app2, &second2) &&
                               app2 == app && second2 == second,
                           "encoded name decodes back");
    }
    return 0;
}
