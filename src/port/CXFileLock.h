// A lock file whose exclusive lock also takes a machine-wide named mutex, so
// that threads of one process exclude each other as well as processes do.
#pragma once

#include <memory>

#include "platform/FXNamedMutex.h"
#include "port/CXFile.h"

class CXFileLock : public CXFile {
public:
    CXFileLock();
    ~CXFileLock() override;

    // CXFile::lock; an exclusive lock then also needs the named mutex of the
    // path within the same time-out, else the record lock is given back and
    // the result is 0 (busy). Shared locks take no mutex.
    int lock(sfLockMode_t mode, unsigned long timeoutSeconds) override;
    // 0 when not locked; otherwise CXFile::unlock's result, after which the
    // named mutex is released too.
    int unlock() override;

    // The named mutex, null before the first exclusive lock.
    const FXNamedMutex* namedMutex() const { return namedMutex_.get(); }

private:
    std::unique_ptr<FXNamedMutex> namedMutex_;
};
