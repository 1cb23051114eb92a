// Checkpoint copies: a whole second copy of a job's cache directory kept
// under <cache root>/checkpoints/<application>, from which a damaged
// directory is put back.
//
// The "copyInProgress" marker inside a copy is what tells a finished copy
// from an interrupted one, so it exists before the first byte of the copy is
// touched (creation and removal alike) and goes only after everything else
// is on disk. A restore marks the live directory "restoreInProgress" (and
// writing) before replacing its files and writes State last, so a crash
// half-way is seen as damage by the next resume, never as a suspended index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <strings.h>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/CrashPoint.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr const char* kCopyMarker = "copyInProgress";
constexpr const char* kRestoreMarker = "restoreInProgress";
constexpr int kStateBufferSize = 2048;
constexpr long kOldCheckpointSeconds = 604800;

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// fsync of every regular file below path and of the directories themselves;
// false on the first failure. Links are not followed.
bool syncTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        CXDirectory dir;
        if (dir.open(path.c_str()) != 0)
            return false;
        while (const char* name = dir.read()) {
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (!syncTree(path + "/" + name))
                return false;
        }
    } else if (!S_ISREG(st.st_mode)) {
        return true;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Creates an empty marker file and syncs it; errno of the failing call.
bool makeMarker(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

bool hasIndexExtension(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot && (strcasecmp(dot + 1, "dat") == 0 || strcasecmp(dot + 1, "idx") == 0);
}

} // namespace

std::string IndexCacheDirBase::defaultCopyDir(bool baseOnly) {
    if (!initialized_)
        return std::string();
    if (!cacheRoot_) {
        debug(1, "no cache fs");
        return std::string();
    }
    std::string base = std::string(cacheRoot_.get()) + "/checkpoints";
    if (baseOnly)
        return base;
    if (appNumber_ == 0) {
        debug(1, "no app id");
        return std::string();
    }
    return base + "/" + appIdName_;
}

int IndexCacheDirBase::createCopy_checkPoint(const char* copyDir) {
    if (!initialized_)
        return -1;
    int state = -1;
    try {
        state = getState(true);
        if (state == 3)
            setState(1);
    } catch (...) {
        debug(1, "createCopy: caught exception '%s'", failureMessage());
        return -1;
    }
    const int rc = copyCheckPoint(copyDir);
    try {
        if (state == 3)
            setState(3);
    } catch (...) {
        debug(1, "createCopy: caught exception '%s'", failureMessage());
        return -1;
    }
    return rc;
}

// The copy itself; the caller has set the state the copy records.
int IndexCacheDirBase::copyCheckPoint(const char* copyDirArg) {
    const std::string copyDir = copyDirArg ? copyDirArg : defaultCopyDir(false);
    if (copyDir.empty()) {
        debug(1, "createCopy: no result directory");
        return -1;
    }
    const char* cacheDir = cacheDirPath_.get();
    if (!cacheDir) {
        debug(1, "createCopy: no source directory");
        return -1;
    }
    CXDirectory source;
    if (source.open(cacheDir) != 0) {
        debug(1, "createCopy: cannot open '%s', code %d", cacheDir, source.getLastError());
        return -1;
    }
    const bool stateOpen = stateFile_.isOpened() != 0;
    const char* excluded = stateOpen ? "State" : nullptr;
    recursiveMkdir(copyDir.c_str(), 0700);
    // The marker goes in before the old copy is emptied: an emptied but
    // unmarked directory with an old State copy would pass for a copy.
    const std::string marker = copyDir + "/" + kCopyMarker;
    if (!makeMarker(marker)) {
        debug(1, "createCopy: cannot create '%s', code %d", marker.c_str(), errno);
        return -1;
    }
    {
        CXDirectory old;
        if (old.open(copyDir.c_str()) == 0) {
            old.setRecursion(true);
            old.removeFiles(kCopyMarker);
        }
    }
    platform::crashPoint("checkpoint.marked");
    source.setRecursion(isComponentBasedIndex());
    if (source.copyFiles(copyDir.c_str(), excluded) != 0) {
        debug(1, "createCopy: cannot copy '%s' to '%s', code %d", cacheDir, copyDir.c_str(),
              source.getLastError());
        removeCopy_checkPoint(copyDir.c_str());
        return -1;
    }
    if (stateOpen && copyStateInto(copyDir) != 0) {
        removeCopy_checkPoint(copyDir.c_str());
        return -1;
    }
    // Every byte of the copy is on disk before the marker says it is whole.
    if (!syncTree(copyDir)) {
        debug(1, "createCopy: cannot sync '%s', code %d", copyDir.c_str(), errno);
        removeCopy_checkPoint(copyDir.c_str());
        return -1;
    }
    platform::crashPoint("checkpoint.copied");
    if (safeUnlink(marker.c_str()) != 0) {
        debug(1, "createCopy_checkPoint: Could not remove file '%s', errno=%d", marker.c_str(),
              errno);
        return -1;
    }
    return 0;
}

// Writes the open State file's content as copyDir/State.
int IndexCacheDirBase::copyStateInto(const std::string& copyDir) {
    if (stateFile_.seek(0, sfSeekSet) != 0) {
        debug(1, "createCopy: stateFile seek error, code %d", stateFile_.getLastError());
        return -1;
    }
    char buffer[kStateBufferSize];
    const int n = stateFile_.read(buffer, sizeof buffer);
    if (n <= 0 || n >= kStateBufferSize) {
        debug(1, "createCopy: stateFile read returned %d, code %d", n, stateFile_.getLastError());
        return -1;
    }
    const std::string target = copyDir + "/State";
    CXFile copy;
    if (copy.open(target.c_str(), sfOpenCreate, 0, 0) != 0) {
        debug(1, "createCopy: stateFile '%s' open error, code %d", target.c_str(),
              copy.getLastError());
        return -1;
    }
    if (copy.truncate() != 0) {
        debug(1, "createCopy: stateFile '%s' truncate error, code %d", target.c_str(),
              copy.getLastError());
        return -1;
    }
    const int written = copy.write(buffer, static_cast<unsigned long>(n));
    if (written != n) {
        debug(1, "createCopy: stateFile '%s' write returns %d != %d, code %d", target.c_str(),
              written, n, copy.getLastError());
        return -1;
    }
    if (copy.close() != 0) {
        debug(1, "createCopy: stateFile '%s' close error, code %d", target.c_str(),
              copy.getLastError());
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::suspendCopy_checkPoint(const char* copyDirArg) {
    const std::string copyDir = copyDirArg ? copyDirArg : defaultCopyDir(false);
    if (copyDir.empty()) {
        debug(1, "suspendCopy: no copy dir");
        return -1;
    }
    const std::string path = copyDir + "/State";
    CXFile state;
    if (state.open(path.c_str(), sfOpenReadWrite, 0, 0) != 0) {
        debug(1, "cannot open '%s', code %d", path.c_str(), state.getLastError());
        return -1;
    }
    const int written = state.write("1", 1);
    if (written != 1) {
        debug(1, "cannot write to '%s', ret %d, code %d", path.c_str(), written,
              state.getLastError());
        return -1;
    }
    return state.close() == 0 ? 0 : -1;
}

int IndexCacheDirBase::restoreCopy_checkPoint(const char* copyDirArg) {
    if (!initialized_)
        return -1;
    const std::string copyDir = copyDirArg ? copyDirArg : defaultCopyDir(false);
    if (copyDir.empty()) {
        debug(1, "restoreCopy: no copy directory");
        return -1;
    }
    const char* cacheDir = cacheDirPath_.get();
    if (!cacheDir) {
        debug(1, "restoreCopy: no cache directory");
        return -1;
    }
    CXDirectory copy;
    if (copy.open(copyDir.c_str()) != 0) {
        debug(1, "restoreCopy: cannot open '%s' to restore '%s', code %d", copyDir.c_str(),
              cacheDir, copy.getLastError());
        return -1;
    }
    debug(1, "restoring cache dir '%s' from copy '%s'", cacheDir, copyDir.c_str());
    const std::string marker = copyDir + "/" + kCopyMarker;
    if (exists(marker)) {
        debug(1, "restoreCopy: '%s' exists - copy is corrupt", marker.c_str());
        return -1;
    }
    // The copy's State is read before anything of the live directory moves:
    // a copy without a readable state digit is no copy.
    const std::string copyState = copyDir + "/State";
    char buffer[kStateBufferSize];
    int n = -1;
    {
        CXFile in;
        if (in.open(copyState.c_str(), sfOpenRead, 0, 0) != 0) {
            debug(1, "restoreCopy: stateFile '%s' open error, code %d", copyState.c_str(),
                  in.getLastError());
            return -1;
        }
        n = in.read(buffer, sizeof buffer);
        if (n <= 0 || n >= kStateBufferSize || buffer[0] < '0' || buffer[0] > '9') {
            debug(1, "restoreCopy: stateFile read returned %d, code %d", n, in.getLastError());
            return -1;
        }
    }
    const std::string liveMarker = std::string(cacheDir) + "/" + kRestoreMarker;
    if (!makeMarker(liveMarker)) {
        debug(1, "restoreCopy: cannot create '%s', code %d", liveMarker.c_str(), errno);
        return -1;
    }
    const bool stateOpen = stateFile_.isOpened() != 0;
    try {
        if (stateOpen)
            setState(3);
    } catch (...) {
        debug(1, "restoreCopy: caught exception '%s'", failureMessage());
        return -1;
    }
    removeIndexFiles(cacheDir);
    platform::crashPoint("checkpoint.restoring");
    copy.setRecursion(isComponentBasedIndex());
    // State is never copied with the rest: it is written last, below.
    if (copy.copyFiles(cacheDir, "State") != 0) {
        debug(1, "restoreCopy: cannot copy '%s' to '%s', code %d", copyDir.c_str(), cacheDir,
              copy.getLastError());
        return -1;
    }
    if (!syncTree(cacheDir)) {
        debug(1, "restoreCopy: cannot sync '%s', code %d", cacheDir, errno);
        return -1;
    }
    if (writeRestoredState(buffer, n, stateOpen) != 0)
        return -1;
    if (safeUnlink(liveMarker.c_str()) != 0) {
        debug(1, "restoreCopy: could not remove '%s', errno %d", liveMarker.c_str(), errno);
        return -1;
    }
    return 0;
}

// Removes every .dat and .idx file of the directory; failures are logged and
// the sweep goes on.
void IndexCacheDirBase::removeIndexFiles(const char* cacheDir) {
    CXDirectory live;
    if (live.open(cacheDir) != 0) {
        debug(1, "restoreCopy: could not open '%s', code %d", cacheDir, live.getLastError());
        return;
    }
    while (const char* name = live.read()) {
        if (!hasIndexExtension(name))
            continue;
        const std::string path = std::string(cacheDir) + "/" + name;
        if (safeUnlink(path.c_str()) != 0)
            debug(1, "restoreCopy: could not remove '%s', errno %d", path.c_str(), errno);
    }
    if (live.getLastError() != 0)
        debug(1, "restoreCopy directory read failed, code %d", live.getLastError());
}

// The copy's State content becomes the live directory's State: through the
// open State file, or by a synced temporary file renamed over it.
int IndexCacheDirBase::writeRestoredState(const char* text, int length, bool stateOpen) {
    const std::string cacheDir = cacheDirPath_.get();
    if (stateOpen) {
        if (stateFileTruncate() != 0) {
            debug(1, "restoreCopy: stateFile truncate error in '%s', code %d", cacheDir.c_str(),
                  stateFile_.getLastError());
            return -1;
        }
        const int written = stateFileWrite(text, length);
        if (written != length || ::fsync(stateFile_.getMainDescriptor()) != 0) {
            debug(1, "restoreCopy: stateFile in '%s' write returns %d != %d, code %d",
                  cacheDir.c_str(), written, length, stateFile_.getLastError());
            return -1;
        }
        return 0;
    }
    const std::string target = cacheDir + "/State";
    const std::string temp = target + ".inprogress";
    CXFile out;
    if (out.open(temp.c_str(), sfOpenCreate, 0, 0) != 0 || out.truncate() != 0 ||
        out.write(text, static_cast<unsigned long>(length)) != length ||
        ::fsync(out.getMainDescriptor()) != 0 || out.close() != 0) {
        debug(1, "restoreCopy: stateFile '%s' open error, code %d", temp.c_str(),
              out.getLastError());
        safeUnlink(temp.c_str());
        return -1;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        debug(1, "restoreCopy: stateFile in '%s' write returns %d != %d, code %d", cacheDir.c_str(),
              -1, length, errno);
        safeUnlink(temp.c_str());
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::removeCopy_checkPoint(const char* copyDirArg) {
    if (!initialized_)
        return -2;
    const std::string copyDir = copyDirArg ? copyDirArg : defaultCopyDir(false);
    if (copyDir.empty()) {
        debug(1, "removeCopy: no copy directory");
        return -1;
    }
    if (::access(copyDir.c_str(), F_OK) != 0 && errno == ENOENT)
        return -1;
    const int rc = removeOneCheckPoint(copyDir);
    if (rc != 0 || copyDirArg)
        return rc;
    sweepOldCheckPoints();
    return 0;
}

// Marks the copy as incomplete first, then removes its files, the marker and
// the directory: a removal cut short never leaves a restorable half copy.
int IndexCacheDirBase::removeOneCheckPoint(const std::string& copyDir) {
    CXDirectory dir;
    if (dir.open(copyDir.c_str()) != 0) {
        debug(1, "removeCopy: cannot open '%s', code %d", copyDir.c_str(), dir.getLastError());
        return -2;
    }
    debug(1, "removing copy '%s' (cacheDir='%s'", copyDir.c_str(),
          cacheDirPath_ ? cacheDirPath_.get() : "NULL");
    const std::string marker = copyDir + "/" + kCopyMarker;
    if (!makeMarker(marker)) {
        debug(1, "removeCopy: cannot remove files in '%s', code %d", copyDir.c_str(), errno);
        return -2;
    }
    dir.setRecursion(true);
    if (dir.removeFiles(kCopyMarker) != 0) {
        debug(1, "removeCopy: cannot remove files in '%s', code %d", copyDir.c_str(),
              dir.getLastError());
        return -2;
    }
    dir.close();
    platform::crashPoint("checkpoint.removing");
    if (safeUnlink(marker.c_str()) != 0 || safeRmdir(copyDir.c_str()) != 0) {
        debug(1, "removeCopy: cannot remove directory '%s', code %d", copyDir.c_str(), errno);
        return -2;
    }
    return 0;
}

void IndexCacheDirBase::sweepOldCheckPoints() {
    const std::string base = defaultCopyDir(true);
    CXDirectory dir;
    if (dir.open(base.c_str()) != 0) {
        debug(1, "removeCopy: cannot open base copy dir '%s', code %d", base.c_str(),
              dir.getLastError());
        return;
    }
    const long now = getCurrentTime();
    while (const char* name = dir.read()) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        const std::string entry = base + "/" + name;
        struct stat st;
        if (::stat((entry + "/State").c_str(), &st) != 0)
            continue;
        if (static_cast<long>(st.st_mtime) + kOldCheckpointSeconds < now) {
            debug(1, "removing old index checkpoint '%s'", entry.c_str());
            removeOneCheckPoint(entry);
        }
    }
}

int IndexCacheDirBase::suspendCopy(const char*) {
    return getIndexCheckpointFlag() ? suspendCopy_checkPoint(nullptr) : 0;
}
