// A marker file that a process creates and holds under an exclusive lock
// while it works (a restore, a download). Others ask whether it is held; a
// marker that exists but can be locked belongs to nobody and is removed.
#pragma once

#include <string>

#include "common/TDebuggable.h"
#include "port/CXFileLock.h"

class CXLockedMarkerFile : public TDebuggable {
public:
    static const char* const RESTORE_IN_PROGRESS;

    CXLockedMarkerFile(const char* folder, unsigned int timeout);
    CXLockedMarkerFile(const std::string& folder, unsigned int timeout);
    CXLockedMarkerFile(const std::string& folder, const std::string& name, unsigned int timeout);
    // unLockAndRemove.
    ~CXLockedMarkerFile() override;
    CXLockedMarkerFile(const CXLockedMarkerFile&) = delete;
    CXLockedMarkerFile& operator=(const CXLockedMarkerFile&) = delete;

    // Creates and locks the marker and writes content (with its terminating
    // zero) at offset 0. 0 held, 1 busy after the time-out, -1 error,
    // -42 without folder.
    int openLocked(const char* content);
    // 0 held, 1 busy, -1 not open, already locked or failed.
    int lock();
    // CXFileLock::unlock's result when open and locked, otherwise -10.
    int unLock();
    // unLock, close, and remove the marker (and its folder when that is then
    // empty) when this object held it. Returns unLock's result.
    int unLockAndRemove();
    // 1 held by another process (or by this object), 0 free (a stale marker
    // is removed on the way), -42 without folder.
    int isLocked();

    const std::string& getFolder() const { return folder_; }
    const std::string& getMarkerPath() const { return markerPath_; }

private:
    void init(const std::string& folder, const std::string& name);
    void report(const char* where, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Whether the marker path still names the file this object has open.
    bool pathNamesOpenFile() const;
    int openMarker(sfOpenMode_t mode);
    void makeFolder(const char* where);

    CXFileLock marker_;
    std::string folder_;
    std::string markerPath_;
    unsigned int timeout_;
};
