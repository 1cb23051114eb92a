#include "cachefs/CacheDirArray.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "cachedir/IndexCacheDirBase.h"

namespace {

const IndexCacheDirBase* element(const void* slot) {
    const IndexCacheDirBase* dir = *static_cast<IndexCacheDirBase* const*>(slot);
    if (!dir)
        throw "null cache dir";
    return dir;
}

// The key an element is ordered by, as an unsigned number that orders like
// the key: the access time as signed 32-bit seconds (shifted into unsigned
// order), or the time stamp as an unsigned 64-bit value. A key that cannot
// be read is logged through a temporary log object and raised as the
// comparison's failure.
uint64_t readKey(const void* slot, bool useAccessTime) {
    try {
        // getAtime is not const: it caches the value read from the State file.
        auto* dir = const_cast<IndexCacheDirBase*>(element(slot));
        if (!useAccessTime)
            return static_cast<uint64_t>(dir->getTimeStamp());
        const auto atime = static_cast<int32_t>(dir->getAtime());
        return static_cast<uint64_t>(static_cast<int64_t>(atime)) ^ (uint64_t{1} << 63);
    } catch (const char* message) {
        TDebuggable log;
        log.setDebugPrefix(useAccessTime ? "ATIMECOMPARE" : "TIMESTAMPCOMPARE");
        log.debug(1, "%s\n", message);
        throw useAccessTime ? "atimeCompare() failed" : "timeStampCompare() failed";
    }
}

// Newest first: an older a sorts after b.
int newestFirst(uint64_t a, uint64_t b) {
    return a < b ? 1 : (a > b ? -1 : 0);
}

} // namespace

extern "C" int atimeCompare(const void* a, const void* b) {
    return newestFirst(readKey(a, true), readKey(b, true));
}

int timeStampCompare(const void* a, const void* b) {
    return newestFirst(readKey(a, false), readKey(b, false));
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
        // Each key is read once, in array order, and the sort then works on
        // a compact array of keys: comparing through the elements would read
        // two scattered objects (and, for access times, maybe two State
        // files) per comparison. Equal keys keep their scan order. A single
        // element needs no comparison, so its key is not read.
        if (size_ > 1) {
            std::vector<std::pair<uint64_t, IndexCacheDirBase*>> keyed;
            keyed.reserve(static_cast<size_t>(size_));
            for (int i = 0; i < size_; ++i)
                keyed.emplace_back(readKey(&items_[i], useAccessTime), items_[i]);
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return a.first > b.first; });
            for (int i = 0; i < size_; ++i)
                items_[i] = keyed[static_cast<size_t>(i)].second;
        }
    } catch (const char* message) {
        debug(1, "sort(): %s: errno=%d\n", message, errno);
        throw "sort failed";
    }
    debug(3, "Finished sorting cache dirs\n");
    return 0;
}
