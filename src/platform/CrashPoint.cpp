#include "platform/CrashPoint.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

namespace {

struct Armed {
    std::string name;
    unsigned long at = 0;
    unsigned long passes = 0;
};

std::once_flag parsed;
std::atomic<bool> anyArmed{false};
std::mutex mu;
std::vector<Armed>& armed() {
    static std::vector<Armed> points;
    return points;
}

void parse() {
    const char* spec = std::getenv("IDXCACHE_CRASH_AT");
    if (spec == nullptr || *spec == '\0')
        return;
    std::string all(spec);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos)
            end = all.size();
        std::string item = all.substr(start, end - start);
        size_t colon = item.rfind(':');
        Armed a;
        a.name = item.substr(0, colon);
        a.at = 1;
        if (colon != std::string::npos) {
            char* stop = nullptr;
            unsigned long n = std::strtoul(item.c_str() + colon + 1, &stop, 10);
            if (stop != nullptr && *stop == '\0' && n > 0)
                a.at = n;
        }
        if (!a.name.empty())
            armed().push_back(a);
        start = end + 1;
    }
    anyArmed.store(!armed().empty(), std::memory_order_relaxed);
}

} // namespace

void crashPoint(const char* name) {
    std::call_once(parsed, parse);
    if (!anyArmed.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> g(mu);
    for (Armed& a : armed()) {
        if (a.name == name && ++a.passes == a.at)
            _exit(IDXCACHE_CRASH_EXIT);
    }
}

} // namespace platform
