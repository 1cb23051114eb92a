#include "jobresults/StoreResults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "jobresults/LineMap.h"
#include "jobresults/PagingResultsDir.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"

using jobresults::kMapEntrySize;

namespace {

constexpr unsigned long kRawLockSeconds = 120;
// Attempts to take the State lock on the file that is still in place.
constexpr int kRawLockAttempts = 3;
// Time parts tried after a clashing raw name.
constexpr unsigned long kRawNameAttempts = 1000;

} // namespace

StoreResults::StoreResults(unsigned int realmId, long long jobId, bool exclusive,
                           const char* clientName)
    : ResultsBase(realmId, jobId, exclusive, clientName, 0) {
    setDebugPrefix("STORERESULTS");
}

StoreResults::~StoreResults() = default;

int StoreResults::openFile(ResultsFile kind, bool useMap, bool truncate) {
    resultsFile_ = kind;
    flushLineCount_ = 0;
    flushByteCount_ = 0;
    if (!resultsDir_.getCacheDir()) {
        debug(3, "openFile: cache init failed\n");
        return 1;
    }
    if (file_.isOpened()) {
        debug(3, "openFile: %s already opened\n", getFileName());
        return 1;
    }
    if (mapFile_.isOpened()) {
        debug(3, "openFile: map %s already opened\n", getMapName());
        return 1;
    }
    if (computeFileNames(kind) != 0 || !fileName_ || !mapName_) {
        debug(3, "cannot compute file names\n");
        return 1;
    }
    if ((pagingDir_ ? pagingDir_->open() : resultsDir_.open(false)) != 0) {
        debug(3, "openFile: cache open failed (dir %s)\n", resultsDir_.getCacheDir());
        return 1;
    }
    if (file_.openConfined(fileName_.get(), sfOpenCreate) != 0) {
        debug(3, "openFile: cannot open or create file %s, code %d\n", getFileName(),
              file_.getLastError());
        return 1;
    }
    file_.setBufSize(jobresults::kResultsBufferSize);
    if (truncate && file_.truncate() != 0) {
        debug(3, "openFile: cannot truncate file %s, code %d\n", getFileName(),
              file_.getLastError());
        return 1;
    }
    if (file_.seek(0, sfSeekEnd) != 0) {
        debug(3, "openFile: cannot seek to end of file %s, code %d\n", getFileName(),
              file_.getLastError());
        return 1;
    }
    curOffset_ = file_.getCurOffset();
    if (!endTornLine())
        return 1;
    if (kind == RF_RESTORE)
        useMap = true;
    mapValid_ = useMap;
    if (!useMap) {
        if (::unlink(getMapName()) != 0 && errno != ENOENT)
            debug(3, "openFile: cannot remove map file %s, code %d\n", getMapName(), errno);
        return 0;
    }
    mapFile_.close();
    if (mapFile_.openConfined(getMapName(), sfOpenCreate) != 0) {
        debug(3, "openFile: cannot open or create map file %s, code %d\n", getMapName(),
              mapFile_.getLastError());
        return 1;
    }
    mapFile_.setBufSize(jobresults::kResultsBufferSize);
    if (truncate && mapFile_.truncate() != 0) {
        debug(3, "openFile: cannot truncate map file %s, code %d\n", getMapName(),
              mapFile_.getLastError());
        return 1;
    }
    if (mapFile_.seek(0, sfSeekEnd) != 0) {
        debug(3, "openFile: cannot seek to end of map file %s, code %d\n", getMapName(),
              mapFile_.getLastError());
        return 1;
    }
    // Appending to a map that lacks lines (an earlier writer without a map,
    // or one that died between its line and its entry) would give every later
    // line the wrong number: the map is made whole first.
    if (!truncate && !mapInStep()) {
        debug(2, "openFile: map %s is not in step with %s, rebuilding it\n", getMapName(),
              getFileName());
        if (generateMap(false) != 0 || file_.seek(0, sfSeekEnd) != 0) {
            debug(3, "openFile: cannot rebuild map %s\n", getMapName());
            return 1;
        }
        mapFile_.setBufSize(jobresults::kResultsBufferSize);
        curOffset_ = file_.getCurOffset();
    }
    return 0;
}

bool StoreResults::endTornLine() {
    if (curOffset_ == 0)
        return true;
    char last = '\n';
    if (::pread64(file_.getMainDescriptor(), &last, 1, static_cast<off64_t>(curOffset_ - 1)) != 1) {
        debug(3, "openFile: cannot read end of file %s, code %d\n", getFileName(), errno);
        return false;
    }
    if (last == '\n')
        return true;
    debug(2, "openFile: %s ends in a cut line, ending it\n", getFileName());
    if ((pagingDir_ ? pagingDir_->reserve(1) : resultsDir_.reserve(1)) != 0 ||
        file_.write("\n", 1) != 1) {
        debug(3, "openFile: cannot end the last line of %s, code %d\n", getFileName(),
              file_.getLastError());
        return false;
    }
    curOffset_ += 1;
    return true;
}

int StoreResults::putLine(const char* line, bool flush) {
    if (!fileName_ || !mapName_ || !file_.isOpened() || !line) {
        debug(3, "putLine: no file opened\n");
        return 1;
    }
    return writeLine(line, std::strlen(line), flush);
}

int StoreResults::setRestoreStatusOnObject(const char* object, RESTORE_STATUS_STRING_MAPPING status,
                                           bool flush) {
    if (!fileName_ || !mapName_ || !file_.isOpened() || !object) {
        debug(3, "putLine: no file opened\n");
        return 1;
    }
    std::string text(object);
    for (char& c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x01 && u <= 0x20)
            c = ' ';
    }
    text += " " + std::to_string(status);
    return writeLine(text.c_str(), text.size(), flush);
}

int StoreResults::writeLine(const char* text, size_t textLength, bool flush) {
    const uint64_t length = textLength + 1;
    // Every LF inside the text starts one more line, and each line its entry.
    size_t lines = 1;
    uint64_t lastStart = curOffset_;
    for (const char* p = text;
         (p = static_cast<const char*>(std::memchr(p, '\n', textLength - (p - text)))) != nullptr;
         ++p) {
        ++lines;
        lastStart = curOffset_ + static_cast<uint64_t>(p - text) + 1;
    }
    const uint64_t bytes = length + (mapValid_ ? kMapEntrySize * lines : 0);

    if (resultsFile_ == RF_RESTORE) {
        flushByteCount_ += std::max<uint64_t>(length, kMapEntrySize);
        ++flushLineCount_;
        if (flushLineCount_ > kRestoreFlushLines - 1 || flushByteCount_ > kRestoreFlushBytes - 1) {
            flush = true;
            flushLineCount_ = 0;
            flushByteCount_ = 0;
        }
    }
    if (mapValid_ && lastStart >= jobresults::kMapOffsetLimit) {
        debug(3, "putLine: line at offset %llu of %s is past the map's 40-bit limit\n",
              static_cast<unsigned long long>(lastStart), getFileName());
        return 1;
    }
    if ((pagingDir_ ? pagingDir_->reserve(bytes) : resultsDir_.reserve(bytes)) != 0) {
        debug(3, "putLine: cannot reserve %llu bytes for line '%.64s' of file %s\n",
              static_cast<unsigned long long>(bytes), text, getFileName());
        return 1;
    }
    // The length is known: the line goes to the buffer without another scan.
    if (file_.bufWrite(text, textLength) < 0 || file_.bufWrite("\n", 1) < 0 ||
        (flush && file_.bufWriteFlush() != 0)) {
        debug(3, "putLine to file %s failed, code %d\n", getFileName(), file_.getLastError());
        resync();
        return 1;
    }
    // Only a flushed line can be on disk without its entry.
    if (flush)
        platform::crashPoint("results.line");
    if (mapValid_) {
        unsigned char entry[kMapEntrySize];
        jobresults::encodeMapEntry(curOffset_, entry);
        bool written = mapFile_.bufWrite(entry, kMapEntrySize) >= 0;
        for (const char* p = text;
             written && lines > 1 &&
             (p = static_cast<const char*>(std::memchr(p, '\n', textLength - (p - text)))) !=
                 nullptr;
             ++p) {
            jobresults::encodeMapEntry(curOffset_ + static_cast<uint64_t>(p - text) + 1, entry);
            written = mapFile_.bufWrite(entry, kMapEntrySize) >= 0;
        }
        if (!written) {
            debug(3, "bufWrite in file %s failed, code %d\n", getMapName(),
                  mapFile_.getLastError());
            resync();
            return 1;
        }
        if (flush && mapFile_.bufWriteFlush() != 0) {
            debug(3, "bufWriteFlush in file %s failed, code %d\n", getMapName(),
                  mapFile_.getLastError());
            resync();
            return 1;
        }
    }
    curOffset_ += length;
    return 0;
}

void StoreResults::invalidateMap() {
    mapFile_.close();
    if (mapValid_ && ::unlink(getMapName()) != 0 && errno != ENOENT)
        debug(3, "cannot remove map file %s, code %d\n", getMapName(), errno);
    mapValid_ = false;
}

void StoreResults::resync() {
    invalidateMap();
    // Closing drops what the failed write left in the buffer; the file is
    // then taken as it is on disk.
    file_.close();
    if (file_.openConfined(getFileName(), sfOpenReadWrite) != 0 || file_.seek(0, sfSeekEnd) != 0) {
        debug(3, "putLine: cannot reopen %s, code %d\n", getFileName(), file_.getLastError());
        file_.close();
        return;
    }
    file_.setBufSize(jobresults::kResultsBufferSize);
    curOffset_ = file_.getCurOffset();
}

int StoreResults::closeFile() {
    if (!fileName_) {
        debug(3, "closeFile: no file opened\n");
        return 1;
    }
    if (file_.close() != 0) {
        debug(3, "close %s failed, code %d\n", getFileName(), file_.getLastError());
        return 1;
    }
    if (mapFile_.close() != 0 && mapValid_) {
        debug(3, "close %s failed, code %d\n", getMapName(), mapFile_.getLastError());
        return 1;
    }
    if ((pagingDir_ ? pagingDir_->close() : resultsDir_.close()) != 0) {
        debug(3, "resultsDir close failed\n");
        return 1;
    }
    return 0;
}

bool StoreResults::lockRawState() {
    const std::string path = std::string(resultsDir_.getCacheDir()) + "/State";
    for (int attempt = 0; attempt < kRawLockAttempts; ++attempt) {
        if (!checkAndCreateStateFile(rawStateFile_)) {
            debug(3, "Failed to open raw state file");
            return false;
        }
        const int rc = rawStateFile_.lock(sfLockShared, kRawLockSeconds);
        if (rc != 1) {
            debug(3, "openRaw: cannot lock (non-excl) '%s', ret %d, code %d", path.c_str(), rc,
                  rawStateFile_.getLastError());
            rawStateFile_.close();
            return false;
        }
        // The lock counts only on the State file still in place: one removed
        // or replaced while this process waited protects nothing.
        struct stat held, current;
        if (::fstat(rawStateFile_.getMainDescriptor(), &held) == 0 &&
            ::stat(path.c_str(), &current) == 0 && held.st_dev == current.st_dev &&
            held.st_ino == current.st_ino)
            return true;
        rawStateFile_.close();
    }
    debug(3, "openRaw: State file '%s' keeps changing", path.c_str());
    return false;
}

int StoreResults::openRaw(ResultsFile kind, std::string& rawName) {
    rawName.clear();
    if (!resultsDir_.getCacheDir()) {
        debug(3, "openFile: cache init failed\n");
        return 1;
    }
    unsigned long stamp = static_cast<unsigned long>(platform::now());
    if (!lockRawState())
        return 1;
    if (computeFileNames(kind) != 0 || !fileName_ || !mapName_) {
        debug(3, "openRaw: cannot compute file names\n");
        rawStateFile_.close();
        return 1;
    }
    ::unlink(getMapName());
    char* dot = std::strrchr(fileName_.get(), '.');
    if (!dot) {
        debug(3, "openRaw: bad file name '%s'", getFileName());
        rawStateFile_.close();
        return 1;
    }
    *dot = '\0';
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    // Made here, exclusively: two objects of one process in the same second
    // would otherwise share a name and write over each other.
    for (unsigned long attempt = 0; attempt < kRawNameAttempts; ++attempt, ++stamp) {
        const std::string name =
            std::string(getFileName()) + "_" + std::to_string(pid) + "_" + std::to_string(stamp);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              ConfinedFile::kCreateMode);
        if (fd >= 0) {
            ::close(fd);
            rawName = name;
            return 0;
        }
        if (errno != EEXIST) {
            debug(3, "openRaw: cannot create raw file '%s', code %d", name.c_str(), errno);
            break;
        }
    }
    rawStateFile_.close();
    return 1;
}
