// Transaction-log chunks: every file changed since the last accepted chunk
// is copied beside itself under the chunk's number, the chunk's list becomes
// one line of "TL_RST.cfg" and is handed on for upload.
//
// A chunk is committed only when the upload was accepted (answer 0). Until
// then "TL_RST.cfg.bak" holds the restart file as it was before the line
// was added; a run that finds it left behind (the previous one died between
// appending and committing) puts it back first, so the restart file's lines
// are always the accepted chunks. Re-sending a chunk as part of a larger one
// is harmless; losing one is not, so the time mark moves only after the
// commit.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <string>
#include <string_view>
#include <strings.h>
#include <unordered_set>

#include "cachedir/IndexCacheDirBase.h"
#include "platform/CrashPoint.h"
#include "platform/TCtreeTable.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr const char* kRestartFile = "TL_RST.cfg";
constexpr const char* kBackup = "TL_RST.cfg.bak";
constexpr const char* kTimeMark = "TL_RST.cfg.timemark";
constexpr const char* kCurrentChunk = "current_chunk";

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool quotable(const char* name) {
    return std::strpbrk(name, "\"\r\n") == nullptr;
}

// An entry of an open directory. Its kind comes from d_type when the file
// system gives one; its modification time from one fstatat by name relative
// to the directory's descriptor (no path to build or resolve, links not
// followed), made at most once and only when asked for: in a large index
// most entries are decided by their name alone.
class DirEntry {
public:
    DirEntry(const CXDirectory& dir, const char* name)
        : fd_(dir.descriptor()), name_(name), type_(dir.entryType()) {}
    bool isDirectory() {
        if (type_ == DT_UNKNOWN)
            type_ = stat() && S_ISDIR(st_.st_mode) ? DT_DIR : DT_REG;
        return type_ == DT_DIR;
    }
    // 0 when the stat fails.
    long mtime() { return stat() ? static_cast<long>(st_.st_mtime) : 0; }
    bool statFailed() { return !stat(); }

private:
    bool stat() {
        if (!statted_) {
            ok_ = ::fstatat(fd_, name_, &st_, AT_SYMLINK_NOFOLLOW) == 0;
            statted_ = true;
        }
        return ok_;
    }

    int fd_;
    const char* name_;
    unsigned char type_;
    bool statted_ = false;
    bool ok_ = false;
    struct stat st_ {};
};

std::string chunkName(const std::string& name, int chunk) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".trn_%04d", chunk);
    return name + suffix;
}

void appendEntry(std::string& list, const std::string& name) {
    if (!list.empty())
        list += ' ';
    list += '"' + name + '"';
}

// What each quoted entry of the lists holds before its first ".trn": a
// file's base name is listed exactly when a list holds a double quote, the
// base name and ".trn". One pass over each list instead of a search of the
// lists per file; the names are views into texts the set keeps, so a restart
// file of many thousand entries costs no allocation per entry.
class ListedBases {
public:
    void addList(std::string list) {
        texts_.push_back(std::move(list));
        const std::string_view text = texts_.back();
        size_t at = 0;
        while ((at = text.find('"', at)) != std::string_view::npos) {
            const size_t close = text.find('"', at + 1);
            if (close == std::string_view::npos)
                return;
            const std::string_view entry = text.substr(at + 1, close - at - 1);
            const size_t trn = entry.find(".trn");
            if (trn != std::string_view::npos)
                bases_.insert(entry.substr(0, trn));
            at = close + 1;
        }
    }
    void addBase(std::string base) {
        texts_.push_back(std::move(base));
        bases_.insert(texts_.back());
    }
    bool has(std::string_view base) const { return bases_.count(base) != 0; }

private:
    std::list<std::string> texts_; // nodes never move: the views stay valid
    std::unordered_set<std::string_view> bases_;
};

bool skippedByWalk(const char* name) {
    static const char* const skipped[] = {
        ".",       "..",          kRestartFile,        kBackup,
        kTimeMark, kCurrentChunk, "restoreInProgress", "copyInProgress"};
    for (const char* s : skipped)
        if (std::strcmp(name, s) == 0)
            return true;
    return std::strstr(name, ".inprogress") != nullptr;
}

} // namespace

int IndexCacheDirBase::createCopy(const char* restartString) {
    if (getIndexCheckpointFlag())
        return createCopy_checkPoint(nullptr);
    return createCopy(restartString, 0ULL, 0);
}

int IndexCacheDirBase::createCopy(const char* restartString, unsigned long long jobId) {
    return createCopy(restartString, jobId, 0);
}

long IndexCacheDirBase::readTimeMark(const std::string& dir, long now) {
    const std::string path = dir + "/" + kTimeMark;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int64_t value = 0;
    char extra;
    const ssize_t n = ::read(fd, &value, sizeof value);
    const ssize_t more = n == sizeof value ? ::read(fd, &extra, 1) : 0;
    ::close(fd);
    // Anything but exactly eight bytes naming a time not after now copies
    // everything: a short, long or future mark would skip changed files.
    if (n != sizeof value || more != 0 || value < 0 || value > now) {
        debug(1, "createCopy: time mark '%s' is not valid - copying every file", path.c_str());
        return 0;
    }
    return static_cast<long>(value);
}

void IndexCacheDirBase::writeTimeMark(const std::string& dir, long when) {
    const std::string path = dir + "/" + kTimeMark;
    const std::string temp = path + ".inprogress";
    const int64_t value = when;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    const bool ok = fd >= 0 && ::write(fd, &value, sizeof value) == sizeof value;
    if (fd >= 0)
        ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        debug(1, "createCopy: Could not write time mark '%s', errno=%d", path.c_str(), errno);
        safeUnlink(temp.c_str());
        safeUnlink(path.c_str());
    }
}

// Puts the restart file back from ".bak" by rename: it is never absent.
int IndexCacheDirBase::putBackRestartFile(const std::string& dir, int which) {
    const std::string restart = dir + "/" + kRestartFile;
    const std::string backup = dir + "/" + kBackup;
    if (::rename(backup.c_str(), restart.c_str()) != 0) {
        debug(1, "createCopy: Could not remove chunk list file '%s' (%d), errno=%d",
              restart.c_str(), which, errno);
        return -1;
    }
    return 0;
}

void IndexCacheDirBase::convertTokenIncrement() {
    if (tokenIncrementArmed_) {
        tokenIncrementArmed_ = false;
        indexingTokenIncrement_ = true;
    }
}

int IndexCacheDirBase::createCopy(const char* restartString, unsigned long long jobId, int flags) {
    if (!getIndexUseTranLogFlag())
        return getIndexCheckpointFlag() ? createCopy_checkPoint(nullptr) : 0;
    if (!initialized_)
        return -1;
    if (!cacheDirPath_) {
        debug(3, "Nothing to upload for already closed cache.");
        return 0;
    }
    int state = -1;
    try {
        if (!stateFile_.isOpened())
            reopenStateFile();
        state = getState(true);
        if (state == 3)
            setState(1);
    } catch (...) {
        debug(1, "createCopy: caught exception '%s'", failureMessage());
        return -1;
    }
    int rc = -1;
    try {
        rc = makeChunk(restartString, jobId, flags);
    } catch (...) {
        debug(1, "createCopy: caught exception '%s'", failureMessage());
        convertTokenIncrement();
        rc = -1;
    }
    try {
        if (state == 3)
            setState(3);
    } catch (...) {
        debug(1, "createCopy: caught exception '%s'", failureMessage());
        return -1;
    }
    return rc;
}

int IndexCacheDirBase::makeChunk(const char* restartString, unsigned long long jobId, int flags) {
    const std::string restart = restartString ? restartString : "NoRstString";
    if (restart.empty()) {
        debug(1, "createCopy: no result directory");
        return -1;
    }
    if (!isRestartStringValid(restart.c_str())) {
        debug(1, "createCopy: restart string '%s' refused", restart.c_str());
        return -1;
    }
    const std::string dir = cacheDirPath_.get();
    const std::string restartFile = dir + "/" + kRestartFile;
    const std::string backup = dir + "/" + kBackup;
    // A ".bak" left behind is a chunk that was never accepted: back it out.
    if (exists(backup) && putBackRestartFile(dir, 4) != 0)
        return -1;

    std::string collected;
    {
        const std::string current = dir + "/" + kCurrentChunk;
        std::unique_ptr<char[]> text =
            TCtreeTable::TranLog_allocateMemoryAndLoadFile(current.c_str());
        if (text)
            collected = text.get();
        else
            debug(1, "WARNING: not found '%s'. No tables open/close so far?", current.c_str());
    }
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\"%lld ", static_cast<long long>(jobId));
    const std::string linePrefix = std::string(prefix) + restart + "\" ";
    const long long lines = TCtreeTable::TranLog_countBsNsInFile(restartFile.c_str());
    const int chunk = static_cast<int>(lines < 0 ? 0 : lines) + 1;
    // The clock is read before the walk: a file changed while the walk runs
    // is copied again by the next chunk rather than missed.
    const long now = static_cast<long>(std::time(nullptr));
    const long since = readTimeMark(dir, now);

    std::string known;
    if (exists(restartFile)) {
        if (TCtreeTable::TranLog_copyFile(restartFile.c_str(), backup.c_str()) != 0) {
            debug(1, "CreateCopy: Could not copy chunk list file '%s', errno=%d. Abort upload.",
                  restartFile.c_str(), errno);
            safeUnlink(backup.c_str());
            return -1;
        }
        std::unique_ptr<char[]> text =
            TCtreeTable::TranLog_allocateMemoryAndLoadFile(restartFile.c_str());
        if (!text) {
            debug(1, "CreateCopy: Could not load chunk list file '%s', errno=%d. Abort upload.",
                  restartFile.c_str(), errno);
            safeUnlink(backup.c_str());
            return -1;
        }
        known = text.get();
        const std::string status = getJobStatusFilePath();
        char name[64];
        std::snprintf(name, sizeof name, "/%llu.txt.JobStatus",
                      static_cast<unsigned long long>(getJobId()));
        if (!status.empty() && exists(status))
            TCtreeTable::TranLog_copyFile(status.c_str(), (dir + name).c_str());
    } else if (TCtreeTable::TranLog_addTextToFile(backup.c_str(), "") != 0) {
        // No restart file yet: an empty ".bak" stands for "no lines", so the
        // first chunk backs out the same way as every later one.
        debug(1, "CreateCopy: Could not create '%s', errno=%d. Abort upload.", backup.c_str(),
              errno);
        return -1;
    }

    if (collectChunk(dir, chunk, since, known, collected) != 0) {
        convertTokenIncrement();
        putBackRestartFile(dir, 2);
        return -1;
    }
    if (collected.size() < 2) {
        safeUnlink(backup.c_str());
        return 0;
    }
    const std::string line = linePrefix + collected + "\n";
    const int appended = TCtreeTable::TranLog_addTextToFile(restartFile.c_str(), line.c_str());
    if (appended != 0) {
        debug(1, "Warning: Failed to write fileNames to '%s'. Disk full?.", restartFile.c_str());
        putBackRestartFile(dir, 0);
        return appended < 0 ? appended : 0;
    }
    platform::crashPoint("tranlog.appended");
    const int queued = appendRecordToChunkUploadQueue(
        static_cast<unsigned int>(jobId & 0xffffffffULL), restart, collected, flags);
    if (queued != 0) {
        debug(1, "Warning: Failed to append files to chunk upload queue. Upload will be attempted "
                 "again.");
        if (flags & 4)
            debug(1, "Index cache was added to the delayed upload queue.");
        putBackRestartFile(dir, 1);
        convertTokenIncrement();
        return queued < 0 ? queued : 0;
    }
    platform::crashPoint("tranlog.queued");
    // The commit: the ".bak" goes first, then the collected list, then the
    // time mark, so a crash in between re-sends rather than skips.
    if (safeUnlink(backup.c_str()) != 0)
        debug(1, "createCopy: Could not remove backup chunk list file '%s', errno=%d",
              backup.c_str(), errno);
    const std::string current = dir + "/" + kCurrentChunk;
    if (safeUnlink(current.c_str()) != 0)
        debug(1, "createCopy: Could not remove chunk list file '%s' (3), errno=%d", current.c_str(),
              errno);
    writeTimeMark(dir, now);
    return 0;
}

// The walk of step "copy what changed": adds the chunk's quoted names to
// collected; -1 when a copy failed. An entry is decided by its name first
// and stat'ed only when its modification time decides.
int IndexCacheDirBase::collectChunk(const std::string& dir, int chunk, long since,
                                    const std::string& known, std::string& collected) {
    ListedBases listed;
    listed.addList(known);
    listed.addList(collected);
    CXDirectory d;
    if (d.open(dir.c_str()) != 0) {
        debug(1, "createCopy: could not open '%s', code %d", dir.c_str(), d.getLastError());
        return 0;
    }
    while (const char* name = d.read()) {
        if (skippedByWalk(name))
            continue;
        if (!quotable(name)) {
            debug(1, "createCopy: file name '%s' cannot be listed - skipped", name);
            continue;
        }
        DirEntry entry(d, name);
        if (entry.isDirectory()) {
            const std::string sub = recursiveCreateCopyProcessing(dir, name, chunk, since);
            if (!sub.empty()) {
                if (!collected.empty())
                    collected += ' ';
                collected += sub;
                listed.addList(sub);
            }
            continue;
        }
        const char* dot = std::strrchr(name, '.');
        const char* ext = dot ? dot + 1 : "";
        const bool plain = std::strlen(ext) < 3 || std::strcmp(ext, "JobStatus") == 0;
        const std::string_view table(name, dot ? static_cast<size_t>(dot - name) : 0);
        if (!plain) {
            if (std::strstr(name, "trn") || std::strstr(name, ".start."))
                continue;
            if ((strcasecmp(ext, "dat") == 0 || strcasecmp(ext, "idx") == 0) &&
                isIndexingTableName(std::string(table))) {
                if (makeBasePair(dir, std::string(table), known, collected) != 0)
                    return -1;
                continue;
            }
        }
        const long mtime = entry.mtime();
        if (entry.statFailed())
            debug(1, "Stat failed on '%s'. Assuming that this one is a file.", name);
        // The time first: the look-up in the lists is only for changed files.
        if (mtime < since || (!plain && listed.has(table)))
            continue;
        const std::string target = chunkName(name, chunk);
        if (copyChunkFile(dir, name, target) != 0) {
            debug(1, "Error: Failed to copy file '%s' to '%s'", (dir + "/" + name).c_str(),
                  (dir + "/" + target).c_str());
            return -1;
        }
        appendEntry(collected, target);
        listed.addBase(name);
    }
    return 0;
}

// table.start.dat and table.start.idx are made together: both are copied
// under temporary names and only then renamed, so a crash never leaves one
// base without the other being made by the next chunk.
int IndexCacheDirBase::makeBasePair(const std::string& dir, const std::string& table,
                                    const std::string& known, std::string& collected) {
    const std::string marker = '"' + table + ".start.";
    const std::string underscore = '"' + table + "_";
    const std::string* lists[] = {&known, &collected};
    for (const std::string* list : lists)
        if (list->find(marker) != std::string::npos || list->find(underscore) != std::string::npos)
            return 0;
    const char* exts[] = {"dat", "idx"};
    bool made[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        const std::string source = dir + "/" + table + "." + exts[i];
        const std::string target = dir + "/" + table + ".start." + exts[i];
        if (!exists(source) || exists(target))
            continue;
        if (TranLog_copyFile(source.c_str(), (target + ".inprogress").c_str(), false) > 1) {
            debug(1, "Failed to copy TranLog golden copy from '%s' to '%s'", source.c_str(),
                  target.c_str());
            return -1;
        }
        made[i] = true;
    }
    platform::crashPoint("tranlog.base");
    for (int i = 0; i < 2; ++i) {
        const std::string target = dir + "/" + table + ".start." + exts[i];
        if (made[i] && ::rename((target + ".inprogress").c_str(), target.c_str()) != 0) {
            debug(1, "Failed to copy TranLog golden copy from '%s' to '%s'",
                  (target + ".inprogress").c_str(), target.c_str());
            return -1;
        }
    }
    appendEntry(collected, table + ".start.dat");
    appendEntry(collected, table + ".start.idx");
    return 0;
}

// Copies one file of the chunk; State comes from the open State file.
int IndexCacheDirBase::copyChunkFile(const std::string& dir, const std::string& name,
                                     const std::string& target) {
    const std::string to = dir + "/" + target;
    if (exists(to))
        debug(1,
              "Warning: File '%s' already exists. Will be overwritten with content of '%s'. "
              "Failback?",
              to.c_str(), (dir + "/" + name).c_str());
    if (name != "State" || !stateFile_.isOpened())
        return TranLog_copyFile((dir + "/" + name).c_str(), to.c_str(), false) == 0 ? 0 : -1;
    if (stateFile_.seek(0, sfSeekSet) != 0) {
        debug(1, "State file seekStart failed\n");
        return -1;
    }
    char buffer[1024];
    const int n = stateFile_.read(buffer, sizeof buffer);
    if (n <= 0) {
        debug(1, "State file bufRead %s\n", n < 0 ? "error" : "unexpected EOF");
        return -1;
    }
    CXFile out;
    if (out.open(to.c_str(), sfOpenCreate, 0, 0) != 0 || out.truncate() != 0 ||
        out.write(buffer, static_cast<unsigned long>(n)) != n || out.close() != 0)
        return -1;
    return 0;
}

std::string IndexCacheDirBase::recursiveCreateCopyProcessing(const std::string& baseDir,
                                                             const std::string& relativeDir,
                                                             int chunkNumber, long sinceTime) {
    TDebuggable log;
    log.setDebugPrefix("INDEXCACHEDIRBASE");
    static const OXAppType listOnly[] = {65, 75, 76, 87, 106};
    for (OXAppType t : listOnly)
        if (getRealAppType() == t)
            chunkNumber = -1;
    const std::string folder = baseDir + "/" + relativeDir;
    CXDirectory d;
    if (d.open(folder.c_str()) != 0) {
        log.debug(1, "createCopy: could not open '%s', code %d", folder.c_str(), d.getLastError());
        throw "Failed to open folder in recursiveCreateCopyProcessing";
    }
    std::string list;
    while (const char* name = d.read()) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if (!quotable(name)) {
            log.debug(1, "createCopy: file name '%s' cannot be listed - skipped", name);
            continue;
        }
        DirEntry entry(d, name);
        if (entry.isDirectory()) {
            const std::string sub = recursiveCreateCopyProcessing(baseDir, relativeDir + "/" + name,
                                                                  chunkNumber, sinceTime);
            if (!sub.empty()) {
                if (!list.empty())
                    list += ' ';
                list += sub;
            }
            continue;
        }
        if (std::strstr(name, ".trn_") || entry.mtime() < sinceTime)
            continue;
        std::string listed = name;
        if (chunkNumber != -1) {
            listed = chunkName(name, chunkNumber);
            const std::string from = folder + "/" + name;
            if (TranLog_copyFile(from.c_str(), (folder + "/" + listed).c_str(), false) != 0) {
                log.debug(1,
                          "Error: recursiveCreateCopyProcessing failed to copy file '%s' to "
                          "'%s'",
                          from.c_str(), (folder + "/" + listed).c_str());
                throw "Failed to copy file in recursiveCreateCopyProcessing";
            }
        }
        appendEntry(list, relativeDir + "/" + listed);
    }
    return list;
}

int IndexCacheDirBase::commitTLTransactions() {
    const char* cacheDir = getCacheDir();
    if (!cacheDir)
        return -1;
    const std::string dir = cacheDir;
    CXDirectory d;
    std::string list;
    if (d.open(dir.c_str()) != 0) {
        debug(1, "createCopy: could not open '%s', code %d", dir.c_str(), d.getLastError());
    } else {
        try {
            while (const char* entry = d.read()) {
                const std::string name = entry;
                if (name == "." || name == ".." || name == kRestartFile || name == kCurrentChunk)
                    continue;
                if (!quotable(entry)) {
                    debug(1, "createCopy: file name '%s' cannot be listed - skipped", entry);
                    continue;
                }
                if (DirEntry(d, entry).isDirectory()) {
                    const std::string sub = recursiveCreateCopyProcessing(dir, name, -1, 0);
                    if (!sub.empty())
                        list += (list.empty() ? "" : " ") + sub;
                } else {
                    appendEntry(list, name);
                }
            }
        } catch (...) {
            debug(1, "createCopy: caught exception '%s'", failureMessage());
            return -1;
        }
    }
    return appendRecordToChunkUploadQueue(0, "", list, 4);
}
