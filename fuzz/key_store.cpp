// The key-store file "keystore.ini" ([section] lines and key=value entries):
// every entry lists, and a value set afterwards reads back while the entries
// of other sections keep their values.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/OXPlatformInfo.h"

using platform::KeyStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static long run = 0;
    const std::string file = KeyStore::path();
    fuzzsupport::writeFile(file, data, size);
    // The store re-reads a file whose identity changed; a new inode may reuse
    // the old number within the same clock tick, so the time tells runs apart.
    ++run;
    const struct timespec times[2] = {{run, 0}, {run, 0}};
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
    const std::vector<platform::KeyEntry> before = KeyStore::list();
    std::string value;
    for (const platform::KeyEntry& e : before)
        KeyStore::get(e.section, e.key, value);
    KeyStore::getNumberOr(platform::kPlatformSection, "DebugLevel", 1);
    if (KeyStore::set("fuzz", "key", "value")) {
        fuzzsupport::check(KeyStore::get("fuzz", "key", value) && value == "value",
                           "a set value reads back");
        for (const platform::KeyEntry& e : before) {
            std::string now;
            if (e.section != "fuzz" && KeyStore::validNames(e.section, e.key))
                fuzzsupport::check(KeyStore::get(e.section, e.key, now),
                                   "a set keeps the other sections' entries");
        }
    }
    fuzzsupport::dropLogs(); // malformed lines are logged at level 1
    return 0;
}
