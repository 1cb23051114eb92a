#include "jobresults/ResultsBase.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "jobresults/LineMap.h"
#include "jobresults/PagingResultsDir.h"
#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "platform/LocalCharset.h"
#include "port/FileOps.h"

using jobresults::kMapEntrySize;

namespace {

constexpr size_t kScanChunk = 256 * 1024;
// Entries written between two reservations while a map is generated.
constexpr uint64_t kEntriesPerBatch = jobresults::kResultsBufferSize / kMapEntrySize;
constexpr unsigned long kStateMutexWaitMs = 300000;
constexpr unsigned long kStateLockSeconds = 300;
// Code of CXFile's line reader for a line cut at the buffer's size.
constexpr int kErrLineCut = -2;

} // namespace

ResultsBase::ResultsBase(unsigned int realmId, long long jobId, bool exclusive,
                         const char* clientName, unsigned int appId)
    : realmId_(realmId), resultsJobId_(jobId), exclusive_(exclusive) {
    setDebugPrefix("RESULTSBASE");
    if (resultsDir_.initialize(realmId, jobId, exclusive, clientName, appId) != 0)
        debug(3, "job results dir init failed realm %lu jobId %llu\n",
              static_cast<unsigned long>(realmId), static_cast<unsigned long long>(jobId));
}

ResultsBase::ResultsBase(long long jobId, const char* clientName)
    : realmId_(2), resultsJobId_(jobId), exclusive_(false) {
    setDebugPrefix("RESULTSBASE");
    pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
}

ResultsBase::~ResultsBase() = default;

void ResultsBase::clearNames() {
    fileName_.reset();
    mapName_.reset();
}

bool ResultsBase::duplicate(OwnedCString& target, const std::string& text, const char* what,
                            int level) {
    target.reset(::strdup(text.c_str()));
    if (!target) {
        debug(level, "%s strdup failed, errno %d\n", what, errno);
        return false;
    }
    return true;
}

const char* ResultsBase::getClientName() const {
    return resultsDir_.getClientName();
}

int ResultsBase::computeFileNames(ResultsFile kind) {
    const char* dir = resultsDir_.getCacheDir();
    if (!dir) {
        debug(3, "computeFileNames: no cacheDir\n");
        return 1;
    }
    clearNames();
    if (kind == RF_NONE)
        return 0;
    const char* name = rftoname(kind);
    if (!name) {
        debug(3, "invalid file type\n");
        return 1;
    }
    const std::string base = std::string(dir) + "/";
    if (!duplicate(fileName_, base + name, "fileName", 3) ||
        !duplicate(mapName_, base + std::to_string(static_cast<unsigned>(kind)) + ".map", "mapName",
                   3)) {
        clearNames();
        return 1;
    }
    return 0;
}

int ResultsBase::generateMap() {
    return generateMap(false);
}

int ResultsBase::generateMap(bool wide) {
    if (!fileName_) {
        debug(3, "generateMap: no file name\n");
        return 1;
    }
    if (!mapName_) {
        debug(3, "generateMap: no map file name\n");
        return 1;
    }
    mapFile_.close();
    bool ok = true;
    // The map is made from what is on disk: the writer's pending lines first.
    if (file_.isOpened() && file_.bufWriteFlush() != 0)
        ok = false;
    else if (!file_.isOpened() && file_.openConfined(fileName_.get(), sfOpenRead) != 0)
        ok = false;
    if (!ok) {
        debug(3, "generateMap: cannot open %s, code %d", fileName_.get(), file_.getLastError());
    } else if (mapFile_.openConfined(mapName_.get(), sfOpenCreate) != 0) {
        debug(3, "generateMap: cannot open %s, code %d", mapName_.get(), mapFile_.getLastError());
        ok = false;
    } else if (mapFile_.truncate() != 0) {
        debug(3, "generateMap: cannot truncate %s, code %d", mapName_.get(),
              mapFile_.getLastError());
        ok = false;
    } else if (file_.seek(0, sfSeekSet) != 0) {
        debug(3, "generateMap: cannot seek to start %s, code %d", fileName_.get(),
              file_.getLastError());
        ok = false;
    }
    if (ok) {
        mapFile_.setBufSize(jobresults::kResultsBufferSize);
        ok = (wide ? generateWide() : generateNarrow()) == 0;
    }
    if (ok) {
        if (mapFile_.close() != 0) {
            debug(3, "generateMap: close failed in %s, code %d", mapName_.get(),
                  mapFile_.getLastError());
            ok = false;
        } else if (mapFile_.openConfined(mapName_.get(), sfOpenReadWrite) != 0) {
            debug(3, "generateMap: reopen failed in %s, code %d", mapName_.get(),
                  mapFile_.getLastError());
            ok = false;
        } else if (mapFile_.seek(0, sfSeekEnd) != 0) {
            debug(3, "generateMap: cannot seek to end of map file %s, code %d", mapName_.get(),
                  mapFile_.getLastError());
            ok = false;
        }
    }
    if (!ok) {
        file_.close();
        mapFile_.close();
        return 1;
    }
    mapValid_ = true;
    return 0;
}

bool ResultsBase::reserveEntries(uint64_t count, uint64_t firstLine) {
    if (pagingDir_ || count == 0)
        return true;
    if (resultsDir_.reserve(count * kMapEntrySize) == 0)
        return true;
    debug(3, "generateMap: cannot reserve space for the map entries of lines %llu to %llu of %s",
          static_cast<unsigned long long>(firstLine),
          static_cast<unsigned long long>(firstLine + count - 1), fileName_.get());
    return false;
}

bool ResultsBase::appendEntry(uint64_t offset) {
    unsigned char entry[kMapEntrySize];
    if (!jobresults::encodeMapEntry(offset, entry)) {
        debug(3, "generateMap: line at offset %llu of %s is past the map's 40-bit limit",
              static_cast<unsigned long long>(offset), fileName_.get());
        return false;
    }
    if (mapFile_.bufWrite(entry, kMapEntrySize) < 0) {
        debug(3, "generateMap: bufWrite in file %s failed, code %d", mapName_.get(),
              mapFile_.getLastError());
        return false;
    }
    return true;
}

int ResultsBase::generateNarrow() {
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kScanChunk]);
    std::unique_ptr<unsigned char[]> batch(
        new (std::nothrow) unsigned char[kEntriesPerBatch * kMapEntrySize]);
    if (!chunk || !batch) {
        debug(3, "generateMap: out of memory for %s", fileName_.get());
        return 1;
    }
    jobresults::LineStartScanner scanner;
    uint64_t lines = 0;
    uint64_t pending = 0;
    // Entries are gathered in a batch: its space is reserved and it is
    // written in one piece.
    auto writeBatch = [&]() {
        if (pending == 0)
            return true;
        if (!reserveEntries(pending, lines - pending + 1))
            return false;
        if (mapFile_.bufWrite(batch.get(), pending * kMapEntrySize) < 0) {
            debug(3, "generateMap: bufWrite in file %s failed, code %d", mapName_.get(),
                  mapFile_.getLastError());
            return false;
        }
        pending = 0;
        return true;
    };
    auto emit = [&](uint64_t offset) {
        if (!jobresults::encodeMapEntry(offset, &batch[pending * kMapEntrySize])) {
            debug(3, "generateMap: line at offset %llu of %s is past the map's 40-bit limit",
                  static_cast<unsigned long long>(offset), fileName_.get());
            return false;
        }
        ++lines;
        return ++pending < kEntriesPerBatch || writeBatch();
    };
    for (;;) {
        const int n = file_.read(chunk.get(), kScanChunk);
        if (n < 0) {
            debug(3, "generateMap: getLine failed in file %s, code %d", fileName_.get(),
                  file_.getLastError());
            return 1;
        }
        if (n == 0)
            break;
        if (!scanner.feed(chunk.get(), static_cast<size_t>(n), emit))
            return 1;
    }
    return scanner.finish(emit) && writeBatch() ? 0 : 1;
}

int ResultsBase::generateWide() {
    std::vector<char> line(kLineLimit + 1);
    std::vector<wchar_t> wideLine((4 * kLineLimit + 1) / sizeof(wchar_t) + 1);
    const unsigned long wideBytes = static_cast<unsigned long>(wideLine.size() * sizeof(wchar_t));
    uint64_t lines = 0;
    for (;;) {
        const uint64_t offset = file_.getCurOffset();
        const int rc = file_.getLineW(wideLine.data(), wideBytes);
        if (rc == 0)
            break;
        // An overlong line is cut by the reader but is still one line.
        if (rc < 0 && file_.getLastError() != kErrLineCut) {
            debug(3, "generateMap: getLine failed in file %s, code %d", fileName_.get(),
                  file_.getLastError());
            return 1;
        }
        ++lines;
        if (ConvertUnicodeToUtf8(wideLine.data(), line.data(), line.size()) < 0)
            debug(3, "generateMap: line %llu of %s is not valid text or too long",
                  static_cast<unsigned long long>(lines), fileName_.get());
        if (!reserveEntries(1, lines) || !appendEntry(offset))
            return 1;
    }
    return 0;
}

bool ResultsBase::mapInStep() {
    struct stat fs, ms;
    if (::fstat(file_.getMainDescriptor(), &fs) != 0 ||
        ::fstat(mapFile_.getMainDescriptor(), &ms) != 0)
        return false;
    const uint64_t size = static_cast<uint64_t>(fs.st_size);
    const uint64_t mapSize = static_cast<uint64_t>(ms.st_size);
    if (size == 0 || mapSize == 0)
        return size == mapSize;
    if (mapSize % kMapEntrySize != 0)
        return false;
    unsigned char entry[kMapEntrySize];
    if (::pread64(mapFile_.getMainDescriptor(), entry, kMapEntrySize,
                  static_cast<off64_t>(mapSize - kMapEntrySize)) !=
        static_cast<ssize_t>(kMapEntrySize))
        return false;
    // The last entry must start the file's last line: right after an LF (or
    // at 0), with no other LF up to the file's final one.
    const uint64_t last = jobresults::decodeMapEntry(entry);
    if (last >= size || size - last > kLineLimit + 2)
        return false;
    const uint64_t from = last == 0 ? 0 : last - 1;
    std::vector<char> tail(static_cast<size_t>(size - from));
    if (::pread64(file_.getMainDescriptor(), tail.data(), tail.size(),
                  static_cast<off64_t>(from)) != static_cast<ssize_t>(tail.size()))
        return false;
    if (last != 0 && tail.front() != '\n')
        return false;
    const char* body = tail.data() + (last == 0 ? 0 : 1);
    const size_t bodyLength = tail.size() - (last == 0 ? 0 : 1);
    return tail.back() == '\n' && std::memchr(body, '\n', bodyLength - 1) == nullptr;
}

bool ResultsBase::checkAndCreateStateFile(ConfinedFile& stateFile) {
    const char* dir = resultsDir_.getCacheDir();
    if (!dir)
        return false;
    const std::string path = std::string(dir) + "/" + "State";
    CNamedMutex mutex(std::to_string(resultsDir_.getJobId()) + "_lock");
    debug(3, "checkAndCreateStateFile: Trying to acquire state file lock");
    const int locked = mutex.lock(kStateMutexWaitMs);
    if (locked != 0) {
        debug(1, "checkAndCreateStateFile: Failed to acquire state file lock with error [%s][%d]",
              mutex.getErrorText().c_str(), locked);
        return false;
    }
    debug(3, "checkAndCreateStateFile: Acquired state file lock");

    bool ok = true;
    bool exists = ::access(path.c_str(), F_OK) == 0;
    stateFile.close();
    if (!exists) {
        debug(3, "checkAndCreateStateFile: Creating raw state file [%s]", path.c_str());
        recursiveMkdir(dir, 0777);
        // Created exclusively: a State file another process made since the
        // check (a directory's own lifecycle does not take this mutex) is
        // live and must not be emptied, and a link in its place is not
        // followed.
        if (stateFile.openConfined(path.c_str(), sfOpenCreateNew) != 0) {
            if (stateFile.getLastError() == EEXIST) {
                exists = true;
            } else {
                debug(3, "checkAndCreateStateFile: cannot create '%s', code %d", path.c_str(),
                      stateFile.getLastError());
                ok = false;
            }
        } else {
            const int rc = stateFile.lock(sfLockExclusive, kStateLockSeconds);
            const std::string stamp = std::to_string(static_cast<unsigned long>(platform::now()));
            if (rc != 1) {
                debug(3, "checkAndCreateStateFile: cannot lock (excl) '%s', ret %d, code %d",
                      path.c_str(), rc, stateFile.getLastError());
                ok = false;
            } else if (stateFile.putLine("0", true) != 0) {
                debug(3, "openRaw: cannot write first line in '%s', code %d", path.c_str(),
                      stateFile.getLastError());
                ok = false;
            } else if (stateFile.putLine(stamp.c_str(), true) != 0) {
                debug(3, "openRaw: cannot write second line in '%s', code %d", path.c_str(),
                      stateFile.getLastError());
                ok = false;
            }
        }
    }
    if (exists) {
        stateFile.close();
        if (stateFile.openConfined(path.c_str(), sfOpenRead) != 0)
            debug(3, "openRaw: cannot open '%s' for read, code %d", path.c_str(),
                  stateFile.getLastError());
    }
    if (stateFile.isLocked())
        stateFile.unlock();
    mutex.unlock();
    debug(3, "Created raw state file and unlocked mutex");
    return ok;
}
