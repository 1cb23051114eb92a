#include "platform/CrashPoint.h"

#include <pthread.h>
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

std::atomic<bool> parsed{false};
std::atomic<bool> anyArmed{false};
std::mutex mu;
std::vector<Armed>& armed() {
    static std::vector<Armed> points;
    return points;
}

void parse() {
    armed().clear();
    const char* value = std::getenv("IDXCACHE_CRASH_AT");
    if (value == nullptr || *value == '\0')
        return;
    std::string all(value);
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

// A forked child is a process of its own: it reads the variable afresh at
// its first pass (tests set it in the child after the fork), and its passes
// count from zero. The parent's lock is not held across a fork by any
// single-threaded caller, which is how tests and job processes fork.
void forgetInChild() {
    parsed.store(false, std::memory_order_relaxed);
    anyArmed.store(false, std::memory_order_relaxed);
}

struct AtForkRegistration {
    AtForkRegistration() { ::pthread_atfork(nullptr, nullptr, forgetInChild); }
} const atForkRegistration;

} // namespace

void crashPoint(const char* name) {
    if (!parsed.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> g(mu);
        if (!parsed.load(std::memory_order_relaxed)) {
            parse();
            parsed.store(true, std::memory_order_release);
        }
    }
    if (!anyArmed.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> g(mu);
    for (Armed& a : armed()) {
        if (a.name == name && ++a.passes == a.at)
            _exit(IDXCACHE_CRASH_EXIT);
    }
}

} // namespace platform
