// Transaction-log files of a cache directory: roll back to a restart point,
// remove every log file, tell whether a restart point is the newest one.
//
// The restart file "TL_RST.cfg" holds one line per queued chunk; its lines
// are only ever read through the chunk line helper, which refuses a torn
// line instead of guessing where it ended.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/TCtreeTable.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr const char* kRestartFile = "TL_RST.cfg";
constexpr const char* kCurrentChunk = "current_chunk";

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool contains(const char* name, const char* part) {
    return std::strstr(name, part) != nullptr;
}

// The chunk number of a name ending in ".trn_<digits>", or -1.
long chunkOf(const char* name) {
    const char* ext = std::strrchr(name, '.');
    if (!ext || std::strncmp(ext + 1, "trn_", 4) != 0)
        return -1;
    const char* digits = ext + 5;
    if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits))
        return -2;
    return std::strtol(digits, nullptr, 10);
}

} // namespace

bool IndexCacheDirBase::isRestartStringValid(const char* text) {
    return text && std::strpbrk(text, "\"\r\n") == nullptr;
}

bool IndexCacheDirBase::isIndexingTableName(const std::string& name) {
    static const char* const tables[] = {
        "tree",         "loc",         "image",      "afile",
        "nameExt",      "symlink",     "bcontents",  "nasInode",
        "perm",         "task1",       "tree1",      "imageLevelTree",
        "adOptionName", "adOptionMap", "spList",     "spListTail",
        "meta",         "simeta",      "pcversions", "VMtoContentMap",
        "VMtoGUID"};
    for (const char* t : tables)
        if (name == t)
            return true;
    return false;
}

bool IndexCacheDirSortHelperFunction(const std::string& a, const std::string& b) {
    return a < b;
}

bool IndexCacheDirBase::isTLEnabled() {
    return getIndexUseTranLogFlag() || isTLEnabled(getCacheDir());
}

bool IndexCacheDirBase::isTLEnabled(const char* dir) {
    if (!dir)
        return false;
    const std::string base = dir;
    return exists(base + "/" + kRestartFile) || exists(base + "/" + kCurrentChunk);
}

int IndexCacheDirBase::TranLog_copyFile(const char* source, const char* target, bool makeFolders) {
    TDebuggable log;
    log.setDebugPrefix("TranLog_copyFile2");
    if (makeFolders) {
        if (!target) {
            log.debug(1, "ERROR: Mal-formed target path received 'NULL'");
            return -1;
        }
        const char* slash = std::strrchr(target, '/');
        const char* back = std::strrchr(target, '\\');
        const char* sep = std::max(slash, back);
        if (!sep) {
            log.debug(1, "ERROR: Mal-formed target path received '%s'", target);
            return -1;
        }
        const std::string folder(target, static_cast<size_t>(sep - target));
        if (recursiveMkdir(folder.c_str(), 0700) != 0) {
            log.debug(1, "cannot create cachedir '%s', errno %d\n", folder.c_str(), errno);
            return -1;
        }
    }
    return TCtreeTable::TranLog_copyFile(source, target);
}

int IndexCacheDirBase::restoreCopy(const char* restartString) {
    if (getIndexCheckpointFlag())
        return restoreCopy_checkPoint(nullptr);
    if (!(getIndexUseCatalogServerIfAvailFlag() || getIndexUseTranLogFlag()) || !initialized_ ||
        !cacheDirPath_)
        return -1;
    const std::string restart = restartString ? restartString : "";
    if (!isRestartStringValid(restart.c_str())) {
        debug(1, "restoreCopy: restart string '%s' refused", restart.c_str());
        return -1;
    }
    if (downloadLogsFromCatalogServer(restart, 0) == 0)
        debug(1, "Downloaded files from IndexCacheServer");
    else
        debug(1, "Failed to download files from IndexCacheServer");
    const std::string dir = cacheDirPath_.get();
    const std::string restartFile = dir + "/" + kRestartFile;
    if (!exists(restartFile)) {
        debug(1, "'%s' not present - nothing to restore.", restartFile.c_str());
        return -1;
    }
    debug(1, "restoring cache dir '%s' from copy '%s'", dir.c_str(), dir.c_str());
    if (exists(dir + "/copyInProgress")) {
        debug(1, "restoreCopy: '%s' exists - copy is corrupt", (dir + "/copyInProgress").c_str());
        return -1;
    }
    // The lines are read before anything is removed: a restart file with a
    // torn line restores nothing.
    TCtreeTranLogChunkLineHelper lines;
    if (lines.setFile(restartFile.c_str()) != 0) {
        debug(1, "restoreCopy: cannot read '%s', errno %d", restartFile.c_str(), errno);
        return -1;
    }
    std::vector<std::string> names;
    int matched = 0;
    int rc;
    while ((rc = lines.readNextLineAndParse()) == 1) {
        names.insert(names.end(), lines.entries().begin(), lines.entries().end());
        if (!restart.empty() && lines.isRestartStringsEqual(restart)) {
            matched = lines.lineNumber();
            break;
        }
    }
    if (rc < 0) {
        debug(1, "restoreCopy: line %d of '%s' is torn", lines.lineNumber() + 1,
              restartFile.c_str());
        return -1;
    }
    removeTableFilesForReplay(dir);
    if (matched > 0) {
        if (lines.truncateFile() != 0) {
            debug(1, "restoreCopy: could not cut '%s', errno %d", restartFile.c_str(), errno);
            return -1;
        }
        removeChunksAfter(dir, matched);
    }
    if (!playBackSelectedItems(names)) {
        debug(1, "restoreCopy: playback of '%s' failed", dir.c_str());
        return -1;
    }
    return 0;
}

// Removes the .dat and .idx files the replay rebuilds; the ".start." bases
// stay: they are what the replay starts from.
void IndexCacheDirBase::removeTableFilesForReplay(const std::string& dir) {
    CXDirectory live;
    if (live.open(dir.c_str()) != 0) {
        debug(1, "restoreCopy: could not open '%s', code %d", dir.c_str(), live.getLastError());
        return;
    }
    while (const char* name = live.read()) {
        const char* ext = std::strrchr(name, '.');
        if (!ext || contains(name, ".start.") ||
            (strcasecmp(ext + 1, "dat") != 0 && strcasecmp(ext + 1, "idx") != 0))
            continue;
        const std::string path = dir + "/" + name;
        if (safeUnlink(path.c_str()) != 0)
            debug(1, "restoreCopy: could not remove '%s', errno %d", path.c_str(), errno);
    }
    if (live.getLastError() != 0)
        debug(1, "restoreCopy directory read failed, code %d", live.getLastError());
}

void IndexCacheDirBase::removeChunksAfter(const std::string& dir, int line) {
    const std::string current = dir + "/" + kCurrentChunk;
    if (safeUnlink(current.c_str()) != 0)
        debug(1, "restoreCopy: could not remove current chunk file '%s', errno %d", current.c_str(),
              errno);
    CXDirectory live;
    if (live.open(dir.c_str()) != 0)
        return;
    while (const char* name = live.read()) {
        const long chunk = chunkOf(name);
        if (chunk == -2) {
            debug(1, "Invalid chunk");
            continue;
        }
        if (chunk <= line)
            continue;
        const std::string path = dir + "/" + name;
        if (safeUnlink(path.c_str()) != 0)
            debug(1, "restoreCopy: could not remove TL file '%s', errno %d", path.c_str(), errno);
    }
}

int IndexCacheDirBase::removeCopy(const char* directory) {
    if (getIndexCheckpointFlag())
        return removeCopy_checkPoint(nullptr);
    if (!initialized_)
        return -2;
    if (!directory && !cacheDirPath_)
        return -1;
    const std::string dir = directory ? directory : cacheDirPath_.get();
    debug(directory ? 3 : 1, "removing TL from '%s' (cacheDir='%s')", dir.c_str(),
          cacheDirPath_ ? cacheDirPath_.get() : "NULL");
    return removeTranLogFiles(dir);
}

int IndexCacheDirBase::removeTranLogFiles(const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return -1;
    CXDirectory d;
    if (d.open(dir.c_str()) != 0) {
        debug(1, "Failed to open folder [%s] for copy cleanup [cacheDir='%s'] with errno %d",
              dir.c_str(), cacheDirPath_ ? cacheDirPath_.get() : "NULL", d.getLastError());
        return 0;
    }
    static const char* const exact[] = {"current_chunk", "TL_RST.cfg", "archiveIndex.restart",
                                        "TSFDontCopy.dat", "TSFDontCopy.idx"};
    static const char* const parts[] = {".start.",       ".trn",          ".txt.JobStatus",
                                        ".txt.collects", ".cfg.timemark", ".inprogress"};
    while (const char* name = d.read()) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        const std::string path = dir + "/" + name;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (removeTranLogFiles(path) == -2)
                return -2;
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        bool tl = false;
        for (const char* e : exact)
            tl = tl || std::strcmp(name, e) == 0;
        for (const char* p : parts)
            tl = tl || contains(name, p);
        if (tl && safeUnlink(path.c_str()) != 0)
            debug(1, "removeCopy: Could not remove file '%s', errno=%d", path.c_str(), errno);
    }
    return 0;
}

int IndexCacheDirBase::getRestartStrings(std::vector<std::string> wanted,
                                         std::vector<std::string>& result) {
    result.clear();
    if (!cacheDirPath_)
        return -1;
    const std::string dir = cacheDirPath_.get();
    const std::string restartFile = dir + "/" + kRestartFile;
    if (!exists(restartFile) && !exists(dir + "/" + kCurrentChunk))
        return 1;
    std::sort(wanted.begin(), wanted.end(), IndexCacheDirSortHelperFunction);
    TCtreeTranLogChunkLineHelper lines;
    if (lines.setFile(restartFile.c_str()) != 0)
        return -1;
    bool matched = false;
    int rc;
    while ((rc = lines.readNextLineAndParse()) == 1) {
        std::vector<std::string> strings = lines.restartStrings();
        std::sort(strings.begin(), strings.end(), IndexCacheDirSortHelperFunction);
        if (strings == wanted) {
            matched = true;
            continue;
        }
        const bool real = std::any_of(strings.begin(), strings.end(), [](const std::string& s) {
            return !s.empty() && s != "NoRstString";
        });
        if (matched && real)
            matched = false;
    }
    // A torn last line is no restart point: what was read before it stands.
    if (rc < 0)
        debug(1, "getRestartStrings: line %d of '%s' is torn", lines.lineNumber() + 1,
              restartFile.c_str());
    if (matched)
        result = wanted;
    return 0;
}
