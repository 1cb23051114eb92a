// The platform's in-process critical section: recursive, so a thread that
// holds it may enter again (and must leave as often).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class OxCriticalSection {
public:
    OxCriticalSection() = default;
    ~OxCriticalSection() = default;
    OxCriticalSection(const OxCriticalSection&) = delete;
    OxCriticalSection& operator=(const OxCriticalSection&) = delete;

    // wait true: blocks until entered and returns true; false: one attempt.
    // Throws std::system_error when the system refuses the mutex.
    bool enter(bool wait = true);
    // Throws std::logic_error when the calling thread does not hold it.
    void leave();
    // Whether the calling thread holds it.
    bool heldByMe() const;

private:
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;
};
