#include "cachefs/CacheDirArray.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cachedir/IndexCacheDirBase.h"

namespace {

const IndexCacheDirBase* element(const void* slot) {
    const IndexCacheDirBase* dir = *static_cast<IndexCacheDirBase* const*>(slot);
    if (!dir)
        throw "null cache dir";
    return dir;
}

// Newest first: an older a sorts after b.
template <typename T> int newestFirst(T a, T b) {
    return a < b ? 1 : (a > b ? -1 : 0);
}

// Set by the comparators sort() hands to qsort. An exception must not unwind
// through the C library's frames, so a failed comparison is recorded here,
// answers "equal", and sort() raises once qsort has returned.
thread_local const char* sortFailure = nullptr;

int atimeCompareForSort(const void* a, const void* b) {
    if (sortFailure)
        return 0;
    try {
        return atimeCompare(a, b);
    } catch (const char* message) {
        sortFailure = message;
        return 0;
    }
}

int timeStampCompareForSort(const void* a, const void* b) {
    if (sortFailure)
        return 0;
    try {
        return timeStampCompare(a, b);
    } catch (const char* message) {
        sortFailure = message;
        return 0;
    }
}

} // namespace

extern "C" int atimeCompare(const void* a, const void* b) {
    try {
        // getAtime is not const: it caches the value read from the State file.
        auto* first = const_cast<IndexCacheDirBase*>(element(a));
        auto* second = const_cast<IndexCacheDirBase*>(element(b));
        return newestFirst(static_cast<int32_t>(first->getAtime()),
                           static_cast<int32_t>(second->getAtime()));
    } catch (const char* message) {
        TDebuggable log;
        log.setDebugPrefix("ATIMECOMPARE");
        log.debug(1, "%s\n", message);
        throw "atimeCompare() failed";
    }
}

int timeStampCompare(const void* a, const void* b) {
    try {
        auto* first = const_cast<IndexCacheDirBase*>(element(a));
        auto* second = const_cast<IndexCacheDirBase*>(element(b));
        return newestFirst(static_cast<uint64_t>(first->getTimeStamp()),
                           static_cast<uint64_t>(second->getTimeStamp()));
    } catch (const char* message) {
        TDebuggable log;
        log.setDebugPrefix("TIMESTAMPCOMPARE");
        log.debug(1, "%s\n", message);
        throw "timeStampCompare() failed";
    }
}

CacheDirArray::CacheDirArray(int capacity) {
    setDebugPrefix("CDIRARRAY");
    if (capacity < 0)
        capacity = 0;
    // malloc(0) may answer null; one slot keeps "no memory" unambiguous.
    items_ = static_cast<IndexCacheDirBase**>(
        std::malloc(sizeof(IndexCacheDirBase*) * static_cast<size_t>(capacity ? capacity : 1)));
    if (!items_) {
        debug(1, "constructor: %s: errno=%d\n", "out of memory", errno);
        throw "constructor error";
    }
    capacity_ = capacity;
}

CacheDirArray::~CacheDirArray() {
    for (int i = 0; i < size_; ++i)
        delete items_[i];
    std::free(items_);
}

int CacheDirArray::append(IndexCacheDirBase* element) {
    if (size_ >= capacity_) {
        auto* grown = static_cast<IndexCacheDirBase**>(std::realloc(
            items_, sizeof(IndexCacheDirBase*) * (static_cast<size_t>(capacity_) + kGrowth)));
        if (!grown) {
            debug(1, "append(): %s: errno=%d\n", "out of memory", errno);
            throw "append failed";
        }
        items_ = grown;
        capacity_ += kGrowth;
    }
    items_[size_++] = element;
    return 0;
}

int CacheDirArray::remove(int index) {
    if (index < 0 || index >= size_) {
        debug(1, "CacheDirArray::remove(): invalid index=%d for size=%d\n", index, size_);
        return 0;
    }
    delete items_[index];
    std::memmove(items_ + index, items_ + index + 1,
                 sizeof(IndexCacheDirBase*) * static_cast<size_t>(size_ - index - 1));
    --size_;
    return 0;
}

int CacheDirArray::sort(bool useAccessTime) {
    debug(3, "Sorting cache dirs, useAccessTime=%d\n", useAccessTime ? 1 : 0);
    try {
        sortFailure = nullptr;
        std::qsort(items_, static_cast<size_t>(size_), sizeof(IndexCacheDirBase*),
                   useAccessTime ? atimeCompareForSort : timeStampCompareForSort);
        if (const char* failure = sortFailure) {
            sortFailure = nullptr;
            throw failure;
        }
    } catch (const char* message) {
        debug(1, "sort(): %s: errno=%d\n", message, errno);
        throw "sort failed";
    }
    debug(3, "Finished sorting cache dirs\n");
    return 0;
}
