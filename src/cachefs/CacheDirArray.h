// The cache directories one clean-up pass may remove, newest first after
// sorting. The array owns its elements and deletes them.
#pragma once

#include "common/TDebuggable.h"

class IndexCacheDirBase;

class CacheDirArray : public TDebuggable {
public:
    // Growth step of append, and the capacity clean-up asks for.
    static constexpr int kGrowth = 2048;

    explicit CacheDirArray(int capacity);
    ~CacheDirArray() override;
    CacheDirArray(const CacheDirArray&) = delete;
    CacheDirArray& operator=(const CacheDirArray&) = delete;

    int append(IndexCacheDirBase* element);
    int getSize() const { return size_; }
    int getCapacity() const { return capacity_; }
    // The index must lie between 0 and getSize() - 1.
    IndexCacheDirBase* operator[](int index) const { return items_[index]; }
    int remove(int index);
    int sort(bool useAccessTime);

private:
    IndexCacheDirBase** items_ = nullptr;
    int capacity_ = 0;
    int size_ = 0;
};

// qsort comparators over two array slots: the most recent access time (or the
// newest time stamp) first. They throw "atimeCompare() failed" or
// "timeStampCompare() failed" when a key cannot be read.
extern "C" int atimeCompare(const void* a, const void* b);
int timeStampCompare(const void* a, const void* b);
