// Merging raw files into a results file, restore filter files, clean-up of
// temporary result files and the event ids of restore statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "jobresults/LineMap.h"
#include "jobresults/PagingResultsDir.h"
#include "jobresults/RetrieveResults.h"
#include "platform/Env.h"
#include "platform/FXMutex.h"
#include "platform/FXNamedMutex.h"
#include "port/CXDirectory.h"

namespace {

constexpr unsigned long kStateLockSeconds = 120;
constexpr size_t kCopyBlock = 1024;
constexpr size_t kBatch = 64 * kCopyBlock;
constexpr unsigned long kFilterLineBuffer = 32768;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string canonical(const std::string& dir) {
    char resolved[PATH_MAX];
    return ::realpath(dir.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string dirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

bool statusKept(ResultsFile kind, int status) {
    switch (kind) {
    case RF_RESTORE_FILTER_S:
        return status == 1 || status == 2 || status == 5 || status == 11;
    case RF_RESTORE_FILTER_F:
        return status == 3 || status == 10 || status == 12;
    case RF_RESTORE_FILTER_SK:
        return status == 4 || status == 6 || status == 7 || status == 8;
    case RF_RESTORE_FILTER_CONFLICT:
        return status == 14;
    default:
        return false;
    }
}

bool newerThan(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

} // namespace

bool RetrieveResults::rawPrefix(const std::string& fileName, std::string& prefix) {
    const size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) {
        debug(3, "generateFile: no %c in '%s'", '/', fileName.c_str());
        return false;
    }
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || dot < slash) {
        debug(3, "generateFile: no . in '%s'", fileName.c_str());
        return false;
    }
    prefix = fileName.substr(slash + 1, dot - slash - 1) + "_";
    return true;
}

bool RetrieveResults::rawFilesExist() {
    std::string prefix;
    if (!cacheDirPath_ || !fileName_ || !rawPrefix(fileName_.get(), prefix))
        return false;
    CXDirectory listing;
    if (listing.open(cacheDirPath_) != 0)
        return false;
    bool found = false;
    while (const char* entry = listing.read())
        if (startsWith(entry, prefix)) {
            found = true;
            break;
        }
    listing.close();
    return found;
}

bool RetrieveResults::lockStateExclusive(ConfinedFile& state) {
    const std::string path = std::string(cacheDirPath_) + "/State";
    if (state.openConfined(path.c_str(), sfOpenReadWrite) != 0) {
        debug(3, "generateFile: cannot open '%s', code %d", path.c_str(), state.getLastError());
        return false;
    }
    const int rc = state.lock(sfLockExclusive, kStateLockSeconds);
    if (rc != 1) {
        debug(3, "generateFile: cannot lock (excl) '%s', ret %d, code %d", path.c_str(), rc,
              state.getLastError());
        return false;
    }
    // Writers lock the State file in place; a lock on one replaced while
    // this process waited would not keep them out.
    struct stat held, current;
    if (::fstat(state.getMainDescriptor(), &held) != 0 || ::stat(path.c_str(), &current) != 0 ||
        held.st_dev != current.st_dev || held.st_ino != current.st_ino) {
        debug(3, "generateFile: '%s' was replaced while waiting for its lock", path.c_str());
        return false;
    }
    return true;
}

int RetrieveResults::generateFile(const char*) {
    if (!cacheDirPath_ || !fileName_ || !rftoname(static_cast<ResultsFile>(resultsFile_)))
        return 1;
    closeDir();
    FXNamedMutex mutex(rftoname(static_cast<ResultsFile>(resultsFile_)));
    auto_lock hold(&mutex, true);
    bool changed = false;
    const int rc = mergeRaw(changed);
    // Entries of a map made before the merge no longer describe the file.
    if (changed && mapName_ && ::unlink(mapName_.get()) != 0 && errno != ENOENT)
        debug(3, "generateFile: could not remove '%s', code %d", mapName_.get(), errno);
    if ((pagingDir_ ? pagingDir_->open() : resultsDir_.open(true)) != 0) {
        debug(3, "generateFile: cannot reopen cache");
        return 1;
    }
    return rc;
}

int RetrieveResults::mergeRaw(bool& changed) {
    ConfinedFile state;
    if (!lockStateExclusive(state))
        return 1;
    const std::string target = fileName_.get();
    std::string prefix;
    if (!rawPrefix(target, prefix))
        return 1;
    const bool existed = ::access(target.c_str(), F_OK) == 0;
    ConfinedFile out, log;
    if (out.openConfined(target.c_str(), sfOpenCreate) != 0) {
        debug(3, "generateFile: cannot create '%s', code %d", target.c_str(), out.getLastError());
        return 1;
    }
    const std::string logPath = std::string(cacheDirPath_) + "/" + kRawLog;
    if (log.openConfined(logPath.c_str(), sfOpenCreate) != 0) {
        debug(3, "generateFile: cannot create log '%s', code %d", logPath.c_str(),
              log.getLastError());
        return 1;
    }
    CXDirectory listing;
    if (listing.open(cacheDirPath_) != 0) {
        debug(3, "generateFile: cannot open cache dir '%s', code %d", cacheDirPath_,
              listing.getLastError());
        return 1;
    }
    std::vector<JRFile> raws;
    while (const char* entry = listing.read()) {
        const std::string name = entry;
        if (name == "." || name == ".." || !startsWith(name, prefix))
            continue;
        const std::string full = std::string(cacheDirPath_) + "/" + name;
        debug(3, "generateFile: found file '%s' in '%s'", name.c_str(), cacheDirPath_);
        unsigned long stamp = 0;
        if (std::sscanf(full.c_str() + full.rfind('_') + 1, "%lu", &stamp) == 1) {
            debug(3, "generateFile: '%s' time stamp %lu", full.c_str(), stamp);
        } else {
            stamp = 0;
            debug(3, "generateFile: '%s' Invalid time stamp", full.c_str());
        }
        raws.push_back({stamp, full});
    }
    if (listing.getLastError() != 0) {
        debug(3, "generateFile: failed to read dir '%s', code %d", cacheDirPath_,
              listing.getLastError());
        return 1;
    }
    listing.close();
    if (raws.empty()) {
        // Nothing to merge must not look like an empty, complete result.
        if (!existed && ::unlink(target.c_str()) != 0)
            debug(3, "generateFile: could not remove '%s', code %d", target.c_str(), errno);
        debug(3, "generateFile: no input files in '%s'", cacheDirPath_);
        return 1;
    }
    std::stable_sort(raws.begin(), raws.end(), JRFileComparator());
    // Earlier merges' lines stay: a second merge appends, and raw.log keeps
    // absolute offsets.
    if (out.seek(0, sfSeekEnd) != 0 || log.seek(0, sfSeekEnd) != 0) {
        debug(3, "generateFile: cannot seek to end of '%s', code %d", target.c_str(),
              out.getLastError());
        return 1;
    }
    uint64_t offset = out.getCurOffset();
    uint64_t logOffset = log.getCurOffset();
    int count = 0;
    std::vector<char> batch(kBatch);
    for (const JRFile& raw : raws) {
        ConfinedFile in;
        if (in.openConfined(raw.path.c_str(), sfOpenRead) != 0) {
            debug(3, "generateFile: cannot open '%s' for read, code %d", raw.path.c_str(),
                  in.getLastError());
            return 1;
        }
        ++count;
        const uint64_t start = offset;
        // A failure inside one raw file takes the results file and raw.log
        // back to where it began, so a retry copies it exactly once.
        auto undo = [&]() {
            if (::ftruncate64(out.getMainDescriptor(), static_cast<off64_t>(start)) != 0 ||
                ::ftruncate64(log.getMainDescriptor(), static_cast<off64_t>(logOffset)) != 0)
                debug(3, "generateFile: cannot cut '%s' back, code %d", target.c_str(), errno);
            return 1;
        };
        char text[4200];
        std::snprintf(text, sizeof text, "%d: %s begins at offset %llu", count, raw.path.c_str(),
                      static_cast<unsigned long long>(offset));
        if (log.putLine(text, true) != 0) {
            debug(3, "generateFile: cannot write to '%s', code %d", logPath.c_str(),
                  log.getLastError());
            return undo();
        }
        // Read in 1 KiB blocks through the input's buffer; written in
        // batches of blocks, so a failed copy leaves nothing pending to flush
        // after the cut.
        in.setBufSize(kBatch);
        size_t batched = 0;
        auto writeBatch = [&]() {
            if (batched == 0)
                return true;
            const int written = out.write(batch.data(), batched);
            if (written != static_cast<int>(batched)) {
                debug(3, "generateFile: write to '%s' of %d bytes returned %d, code %d",
                      target.c_str(), static_cast<int>(batched), written, out.getLastError());
                return false;
            }
            batched = 0;
            return true;
        };
        char lastByte = '\n';
        for (;;) {
            const int n = in.bufRead(batch.data() + batched, kCopyBlock);
            if (n < 0) {
                debug(3, "generateFile: cannot read '%s', code %d", raw.path.c_str(),
                      in.getLastError());
                return undo();
            }
            if (n == 0)
                break;
            changed = true;
            lastByte = batch[batched + static_cast<size_t>(n) - 1];
            batched += static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
            if (batched + kCopyBlock > kBatch && !writeBatch())
                return undo();
        }
        // The next raw file's first line must not be glued to this one's last.
        if (lastByte != '\n') {
            batch[batched++] = '\n';
            ++offset;
        }
        if (!writeBatch())
            return undo();
        logOffset = log.getCurOffset();
        in.close();
        if (::unlink(raw.path.c_str()) != 0)
            debug(3, "generateFile: could not remove '%s', code %d", raw.path.c_str(), errno);
    }
    debug(3, "generateFile: %d input file(s)", count);
    if (out.close() != 0) {
        debug(3, "generateFile: output file close failed, code %d", out.getLastError());
        return 1;
    }
    return 0;
}

int RetrieveResults::checkBackupFile(const char* path) {
    if (!cacheDirPath_ || !fileName_ || !rftoname(static_cast<ResultsFile>(resultsFile_)) || !path)
        return 1;
    closeDir();
    FXNamedMutex mutex(rftoname(static_cast<ResultsFile>(resultsFile_)));
    auto_lock hold(&mutex, true);
    ConfinedFile state;
    const std::string target = fileName_.get();
    std::string prefix;
    bool rawSeen = false, mergedSeen = false, ok = false;
    if (lockStateExclusive(state) && rawPrefix(target, prefix)) {
        const std::string merged = target.substr(target.rfind('/') + 1);
        CXDirectory listing;
        if (listing.open(cacheDirPath_) == 0) {
            while (!(rawSeen && mergedSeen)) {
                const char* entry = listing.read();
                if (!entry)
                    break;
                rawSeen = rawSeen || startsWith(entry, prefix);
                mergedSeen = mergedSeen || startsWith(entry, merged);
            }
        }
        if (listing.getLastError() != 0) {
            debug(3, "generateFile: failed to read dir '%s', code %d", cacheDirPath_,
                  listing.getLastError());
        } else if (rawSeen && mergedSeen) {
            const std::string raw = std::string(cacheDirPath_) + "/" + prefix +
                                    std::to_string(static_cast<unsigned long>(::getpid())) + "_" +
                                    std::to_string(static_cast<unsigned long>(platform::now()));
            if (::rename(path, raw.c_str()) != 0) {
                debug(3, "checkBackupFile: cannot rename '%s' to '%s', code %d", path, raw.c_str(),
                      errno);
            } else {
                ok = true;
                ::unlink((std::string(cacheDirPath_) + "/" + kRawLog).c_str());
            }
        }
    }
    state.close();
    if ((pagingDir_ ? pagingDir_->open() : resultsDir_.open(true)) != 0) {
        debug(3, "generateFile: cannot reopen cache");
        return 1;
    }
    return ok ? 0 : 1;
}

void RetrieveResults::getRestoreFilterFile(const char* clientName) {
    const ResultsFile kind = static_cast<ResultsFile>(resultsFile_);
    // One generator per job and kind at a time; the others then reuse its file.
    FXNamedMutex mutex("RESTORE_FILTER_" + std::to_string(resultsJobId_) + "_" +
                       std::to_string(static_cast<unsigned>(kind)));
    auto_lock hold(&mutex, true);
    std::string found;
    if (isFileExist(kind, 0, found, clientName)) {
        // A filter older than restore.out misses what was restored since.
        const std::string restore = std::string(cacheDirPath_) + "/" + rftoname(RF_RESTORE);
        struct stat fs, rs;
        if (::stat(found.c_str(), &fs) != 0 ||
            (::stat(restore.c_str(), &rs) == 0 && newerThan(rs, fs))) {
            debug(3, "getRestoreFilterFile: %s is older than %s, generating it again\n",
                  found.c_str(), restore.c_str());
            ::unlink(found.c_str());
            ::unlink((found + ".map").c_str());
        } else {
            if (!duplicate(fileName_, found, "fileName", 3) ||
                !duplicate(mapName_, found + ".map", "fileName", 3))
                clearNames();
            return;
        }
    }
    if (generateRestoreFilterFile(clientName) != 0) {
        debug(3, "generateRestoreFilterFile failed\n");
        return;
    }
    if (!duplicate(mapName_, std::string(fileName_.get()) + ".map", "fileName", 3))
        clearNames();
}

int RetrieveResults::generateRestoreFilterFile(const char* clientName) {
    const ResultsFile kind = static_cast<ResultsFile>(resultsFile_);
    resultsFile_ = RF_RESTORE;
    if (!cacheDirPath_ || computeFileNames(RF_RESTORE) != 0 || !fileName_ || !mapName_) {
        resultsFile_ = kind;
        debug(3, "generateRestoreFilterFile: initializations failed\n");
        return 1;
    }
    if (resultsDir_.open(false) != 0) {
        resultsFile_ = kind;
        debug(3, "generateRestoreFilterFile: cache open failed (dir %s)\n", cacheDirPath_);
        return 1;
    }
    auto failAfterOpen = [&]() {
        resultsFile_ = kind;
        clearNames();
        resultsDir_.close();
        return 1;
    };
    ConfinedFile source;
    if (source.openConfined(fileName_.get(), sfOpenRead) != 0) {
        resultsDir_.close();
        if (generateFile(nullptr) != 0) {
            debug(3, "generateRestoreFilterFile: cannot open or create file %s, code %d\n",
                  fileName_.get(), source.getLastError());
            return failAfterOpen();
        }
        if (source.openConfined(fileName_.get(), sfOpenRead) != 0) {
            debug(3, "Unable to open file %s, code %d\n", fileName_.get(), source.getLastError());
            return failAfterOpen();
        }
    }
    clearNames();
    resultsFile_ = kind;
    const char* temp = getOrbitTempDir(clientName);
    if (!temp) {
        debug(3, "Unable to get temp directory");
        return failAfterOpen();
    }
    const std::string tempDir = temp;
    const char* ext = getFileExt(kind);
    if (!ext) {
        debug(3, "Unsupported file type %d", static_cast<int>(kind));
        return failAfterOpen();
    }
    char name[2048];
    std::snprintf(name, sizeof name, "%s%c%s%s%lld%s", tempDir.c_str(), '/', kPagingPrefix,
                  ("Job_" + std::to_string(resultsJobId_) + "_").c_str(),
                  static_cast<long long>(platform::now()), ext);
    // Written under a name the search does not match, then renamed complete.
    const std::string partial =
        std::string(name) + "." + std::to_string(static_cast<long>(::getpid())) + ".part";
    ConfinedFile filter;
    if (filter.openConfined(partial.c_str(), sfOpenCreate) != 0 || filter.truncate() != 0) {
        debug(3, "generateRestoreFilterFile: cannot create '%s', code %d", name,
              filter.getLastError());
        return failAfterOpen();
    }
    source.setBufSize(jobresults::kResultsBufferSize);
    filter.setBufSize(jobresults::kResultsBufferSize);
    std::vector<char> line(kFilterLineBuffer);
    for (;;) {
        const int rc = source.getLine(line.data(), kFilterLineBuffer);
        if (rc == 0)
            break;
        if (rc < 0) {
            debug(3, "generateRestoreFilterFile: getLine failed in file %s, code %d\n", name,
                  source.getLastError());
            ::unlink(partial.c_str());
            return failAfterOpen();
        }
        const char* space = std::strrchr(line.data(), ' ');
        if (space && statusKept(kind, std::atoi(space + 1)) && filter.putLine(line.data()) != 0) {
            debug(3, "generateRestoreFilterFile: cannot write '%s', code %d", name,
                  filter.getLastError());
            ::unlink(partial.c_str());
            return failAfterOpen();
        }
    }
    if (filter.close() != 0 || ::rename(partial.c_str(), name) != 0) {
        debug(3, "generateRestoreFilterFile: cannot create '%s', code %d", name, errno);
        ::unlink(partial.c_str());
        return failAfterOpen();
    }
    if (!pagingDir_)
        pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
    pagingDir_->setDir(tempDir.c_str());
    source.close();
    resultsDir_.close();
    if (!duplicate(fileName_, name, "fileName", 3))
        return 1;
    return 0;
}

void RetrieveResults::cleanup() {
    const ResultsFile kind = static_cast<ResultsFile>(resultsFile_);
    const char* tempDir = getOrbitTempDir(getClientName());
    const std::string temp = tempDir ? canonical(tempDir) : std::string();
    // Only what the reader made for itself in the temp directory goes: never
    // a results-directory file or a file a caller named.
    auto inTemp = [&](const std::string& path) {
        const std::string dir = canonical(dirOf(path));
        return !temp.empty() && (dir == temp || dir == temp + "/" + kExtractFolder);
    };
    if (fileName_) {
        const std::string file = fileName_.get();
        const bool extracted =
            kind == RF_VIEW_LOG && file.find(kExtractFolder) != std::string::npos;
        const bool paging = kind != RF_VIEW_LOG && kind != RF_GIVEN_KEPT && kind != RF_GIVEN;
        if ((extracted || paging) && inTemp(file) && ::unlink(file.c_str()) != 0 && errno != ENOENT)
            debug(3, "Failed to delete file [%s], code %d", file.c_str(), errno);
    }
    if (mapName_ && inTemp(mapName_.get()) && ::unlink(mapName_.get()) != 0 && errno != ENOENT)
        debug(3, "Failed to delete map [%s], code %d", mapName_.get(), errno);
}

uint32_t RetrieveResults::GetEventMessageId(int status) {
    switch (status) {
    case 1:
        return 0x48000060;
    case 2:
        return 0x4800005B;
    case 4:
        return 0x48000061;
    case 5:
        return 0x4800005C;
    case 6:
        return 0x4800005D;
    case 7:
        return 0x48000062;
    case 8:
        return 0x4800005F;
    case 11:
        return 0x4800006C;
    case 12:
        return 0x4800006D;
    case 13:
        return 0x48000087;
    case 15:
        return 0x4800009C;
    case 17:
        return 0x4800009D;
    default:
        return 0x4800005E;
    }
}
