#include "port/CXLockedMarkerFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/Env.h"
#include "port/FileOps.h"

const char* const CXLockedMarkerFile::RESTORE_IN_PROGRESS = "restoreInProgress";

namespace {

constexpr int kNoFolder = -42;
constexpr int kNotHeld = -10;
constexpr int kFolderMode = 0700;
constexpr int kMarkerPermissions = 0666;
// Pause between the two lock tests that tell a stale marker from one whose
// holder merely released it for a moment.
constexpr unsigned long kStaleCheckPauseMs = 5000;
// How often lock () follows a marker that its previous holder removed while
// this object waited for it.
constexpr int kMaxFollow = 8;

} // namespace

CXLockedMarkerFile::CXLockedMarkerFile(const char* folder, unsigned int timeout)
    : timeout_(timeout) {
    init(folder ? folder : "", RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, unsigned int timeout)
    : timeout_(timeout) {
    init(folder, RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, const std::string& name,
                                       unsigned int timeout)
    : timeout_(timeout) {
    init(folder, name);
}

CXLockedMarkerFile::~CXLockedMarkerFile() {
    const int rc = unLockAndRemove();
    if (rc != 0 && rc != kNotHeld)
        report("CXLockedMarkerFile::~CXLockedMarkerFile",
               "Failed to unlock '%s'. Error code returned '%d'", markerPath_.c_str(), rc);
}

void CXLockedMarkerFile::init(const std::string& folder, const std::string& name) {
    folder_ = folder;
    if (!folder_.empty())
        markerPath_ = folder_ + "/" + name;
    if (folder_.empty() || markerPath_.empty())
        report("CXLockedMarkerFile::CXLockedMarkerFile", "ERROR: folder name is empty!");
}

void CXLockedMarkerFile::report(const char* where, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const std::string text = formatLine(format, ap);
    va_end(ap);
    setDebugPrefix(where);
    debug(1, "%s", text.c_str());
}

bool CXLockedMarkerFile::pathNamesOpenFile() const {
    struct stat onDisk, held;
    if (::stat(markerPath_.c_str(), &onDisk) != 0 ||
        ::fstat(marker_.getMainDescriptor(), &held) != 0)
        return false;
    return onDisk.st_dev == held.st_dev && onDisk.st_ino == held.st_ino;
}

void CXLockedMarkerFile::makeFolder(const char* where) {
    if (::access(folder_.c_str(), F_OK) == 0)
        return;
    if (recursiveMkdir(folder_.c_str(), kFolderMode) != 0)
        report(where, "cannot create dir '%s', errno %d\n", folder_.c_str(), errno);
}

int CXLockedMarkerFile::openLocked(const char* content) {
    if (folder_.empty()) {
        report("CXLockedMarkerFile::openLocked",
               "Failed to open file because folder name is empty!");
        return kNoFolder;
    }
    if (marker_.isLocked())
        return -1;
    if (marker_.isOpened())
        marker_.close();
    // The open is tried even when the folder could not be made: it may have
    // appeared meanwhile.
    makeFolder("CXLockedMarkerFile::openLocked");
    if (marker_.open(markerPath_.c_str(), sfOpenCreate, timeout_, kMarkerPermissions) != 0)
        return -1;
    const int rc = lock();
    if (rc != 0 || !content)
        return rc;
    const unsigned long length = std::strlen(content) + 1;
    if (marker_.seek(0, sfSeekSet) != 0 ||
        marker_.write(content, length) != static_cast<int>(length)) {
        // A marker without its content must not stand for the work.
        unLockAndRemove();
        return -1;
    }
    return 0;
}

int CXLockedMarkerFile::lock() {
    if (!marker_.isOpened() || marker_.isLocked())
        return -1;
    for (int follow = 0;; ++follow) {
        const int rc = marker_.lock(sfLockExclusive, timeout_);
        if (rc == 0)
            return 1;
        if (rc != 1)
            return -1;
        if (pathNamesOpenFile())
            return 0;
        // The holder we waited for removed the marker before we got the lock:
        // the lock is on a file nobody else can see. Take the one the path
        // names now, creating it again.
        marker_.unlock();
        marker_.close();
        if (follow == kMaxFollow)
            return -1;
        makeFolder("CXLockedMarkerFile::lock");
        if (marker_.open(markerPath_.c_str(), sfOpenCreate, 0, kMarkerPermissions) != 0)
            return -1;
    }
}

int CXLockedMarkerFile::unLock() {
    if (marker_.isOpened() && marker_.isLocked())
        return marker_.unlock();
    return kNotHeld;
}

int CXLockedMarkerFile::unLockAndRemove() {
    // Only a marker this object holds is removed: one that it merely looked
    // at may belong to a live holder, whose marker must stay visible.
    bool removed = false;
    if (!markerPath_.empty() && marker_.isOpened() && marker_.isLocked() && pathNamesOpenFile()) {
        // Unlinked while still locked, so that a process waiting for the lock
        // finds the file gone instead of losing it after taking it.
        if (::unlink(markerPath_.c_str()) != 0)
            report("CXLockedMarkerFile::unLockAndRemove", "Could not remove file '%s'",
                   markerPath_.c_str());
        else
            removed = true;
    }
    const int rc = unLock();
    if (marker_.isOpened())
        marker_.close();
    // Succeeds only when the folder is empty now.
    if (removed)
        ::rmdir(folder_.c_str());
    return rc;
}

int CXLockedMarkerFile::isLocked() {
    if (folder_.empty())
        return kNoFolder;
    if (marker_.isLocked())
        return 1;
    if (::access(markerPath_.c_str(), F_OK) != 0)
        return 0;
    if (!marker_.isOpened() &&
        marker_.open(markerPath_.c_str(), sfOpenWrite, timeout_, kMarkerPermissions) != 0)
        return 0;

    int result = 0;
    int rc = marker_.lock(sfLockExclusive, 0);
    if (rc == 0) {
        result = 1;
    } else if (rc == 1) {
        // Free now, but its holder may just be between two locks: look again
        // after a pause before calling it stale. Busy then means a holder
        // (a restore that started meanwhile): the marker is taken.
        marker_.unlock();
        platform::sleepMs(kStaleCheckPauseMs);
        rc = marker_.lock(sfLockExclusive, 0);
        if (rc == 0) {
            result = 1;
        } else if (rc == 1) {
            if (pathNamesOpenFile() && ::unlink(markerPath_.c_str()) != 0)
                report("CXLockedMarkerFile::isLocked", "Could not remove file '%s'",
                       markerPath_.c_str());
            marker_.unlock();
        }
    }
    if (marker_.isOpened())
        marker_.close();
    return result;
}
