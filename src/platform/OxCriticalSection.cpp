#include "platform/OxCriticalSection.h"

#include <stdexcept>

bool OxCriticalSection::enter(bool wait) {
    if (wait)
        mutex_.lock();
    else if (!mutex_.try_lock())
        return false;
    owner_.store(std::this_thread::get_id());
    ++depth_;
    return true;
}

void OxCriticalSection::leave() {
    // Unlocking a std::recursive_mutex the thread does not own is undefined;
    // refuse it instead.
    if (!heldByMe())
        throw std::logic_error("critical section left by a thread that does not hold it");
    if (--depth_ == 0)
        owner_.store(std::thread::id());
    mutex_.unlock();
}

bool OxCriticalSection::heldByMe() const {
    return owner_.load() == std::this_thread::get_id();
}
