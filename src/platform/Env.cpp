#include "platform/Env.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {
Env realEnv;
Env* current = &realEnv;
} // namespace

pid_t processId() {
    static std::atomic<pid_t> cached{0};
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, [] { cached = 0; }); });
    pid_t pid = cached.load();
    if (pid == 0) {
        pid = ::getpid();
        cached = pid;
    }
    return pid;
}

time_t Env::now() {
    return ::time(nullptr);
}

long long Env::monotonicNs() {
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void Env::sleepMs(unsigned long ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int Env::statvfs(const char* path, struct statvfs64* out) {
    return ::statvfs64(path, out);
}

Env& env() {
    return *current;
}

Env* setEnv(Env* e) {
    Env* previous = current;
    current = e ? e : &realEnv;
    return previous == &realEnv ? nullptr : previous;
}

VirtualClock::VirtualClock(time_t start)
    : nowMs_(static_cast<long long>(start) * 1000), previous_(setEnv(this)) {}

VirtualClock::~VirtualClock() {
    setEnv(previous_);
}

time_t VirtualClock::now() {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<time_t>(nowMs_ / 1000);
}

long long VirtualClock::monotonicNs() {
    std::lock_guard<std::mutex> g(mu_);
    return monotonicMs_ * 1000000LL;
}

void VirtualClock::sleepMs(unsigned long ms) {
    std::lock_guard<std::mutex> g(mu_);
    nowMs_ += static_cast<long long>(ms);
    monotonicMs_ += static_cast<long long>(ms);
    waits_.push_back(ms);
}

int VirtualClock::statvfs(const char* path, struct statvfs64* out) {
    return previous_ ? previous_->statvfs(path, out) : Env::statvfs(path, out);
}

void VirtualClock::advance(long seconds) {
    std::lock_guard<std::mutex> g(mu_);
    nowMs_ += static_cast<long long>(seconds) * 1000;
    if (seconds > 0)
        monotonicMs_ += static_cast<long long>(seconds) * 1000;
}

void VirtualClock::set(time_t t) {
    std::lock_guard<std::mutex> g(mu_);
    nowMs_ = static_cast<long long>(t) * 1000;
}

std::vector<unsigned long> VirtualClock::waits() const {
    std::lock_guard<std::mutex> g(mu_);
    return waits_;
}

std::vector<unsigned long> VirtualClock::waitSeconds() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<unsigned long> s;
    s.reserve(waits_.size());
    for (unsigned long w : waits_)
        s.push_back(w / 1000);
    return s;
}

void VirtualClock::clearWaits() {
    std::lock_guard<std::mutex> g(mu_);
    waits_.clear();
}

} // namespace platform

void QISLEEP_InTeRnAl(unsigned long milliseconds) {
    platform::sleepMs(milliseconds);
}
