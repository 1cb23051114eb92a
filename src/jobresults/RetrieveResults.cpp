#include "jobresults/RetrieveResults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "jobresults/LineMap.h"
#include "jobresults/PagingResultsDir.h"
#include "platform/ApplicationId.h"

using jobresults::kMapEntrySize;

namespace {

constexpr unsigned long kMapLockSeconds = 30;
constexpr size_t kTailChunk = 64 * 1024;

} // namespace

EvReturnResults::EvReturnResults(int64_t seqNo, int64_t lineNumber, int64_t numLines,
                                 int64_t totalLines, CQiSocket* socket, COxNetwork* network)
    : EvReturnData(kMessageType, seqNo, socket, true, network) {
    add(kFieldTotal, totalLines);
    add(kFieldNumLines, numLines);
    send(kFieldLineNumber, lineNumber);
}

EvReturnResults::~EvReturnResults() = default;

void EvReturnResults::returnLine(const char* line) {
    add(kFieldLine, line, std::strlen(line));
}

void EvReturnResults::end(int64_t lastLine, int status) {
    add(kFieldLastLine, lastLine);
    dumpBuffer(9);
    EvReturnData::end(status);
}

RetrieveResults::RetrieveResults(unsigned int realmId, long long jobId, ResultsFile kind,
                                 const char* clientName, unsigned int appId)
    : ResultsBase(realmId, jobId, false, clientName, appId), resultsFile_(kind) {
    setDebugPrefix("RETRIEVERESULTS");
    cacheDirPath_ = resultsDir_.getCacheDir();
    if (!cacheDirPath_) {
        debug(3, "no cacheDir for realm %lu jobId %llu\n", static_cast<unsigned long>(realmId),
              static_cast<unsigned long long>(jobId));
        return;
    }
    if (isRestoreFilterKind(kind))
        getRestoreFilterFile(clientName);
    else
        computeFileNames(kind);
}

RetrieveResults::RetrieveResults(ResultsFile kind, const char* path, const char* clientName,
                                 unsigned int fileNumber)
    : ResultsBase(0, clientName), resultsFile_(kind) {
    setDebugPrefix("RETRIEVERESULTS");
    setFileName(kind, fileNumber, path, clientName);
}

RetrieveResults::RetrieveResults(long long jobId, ResultsFile kind, unsigned int fileNumber,
                                 const char* clientName)
    : ResultsBase(jobId, nullptr), resultsFile_(kind) {
    setDebugPrefix("RETRIEVERESULTS");
    setFileName(kind, fileNumber, nullptr, clientName);
}

RetrieveResults::~RetrieveResults() = default;

bool RetrieveResults::isRestoreFilterKind(ResultsFile kind) {
    return kind == RF_RESTORE_FILTER_S || kind == RF_RESTORE_FILTER_F ||
           kind == RF_RESTORE_FILTER_SK || kind == RF_RESTORE_FILTER_CONFLICT;
}

bool RetrieveResults::setFile(const char* path, const char* clientName) {
    return setFileName(static_cast<ResultsFile>(resultsFile_), 0, path, clientName);
}

const char* RetrieveResults::getPath() const {
    if (fileName_)
        return fileName_.get();
    return pagingDir_ ? nullptr : cacheDirPath_;
}

int RetrieveResults::openDir() {
    if (pagingDir_)
        return pagingDir_->open();
    return directOpen_ ? 0 : resultsDir_.open(true);
}

void RetrieveResults::closeDir() {
    if (directOpen_)
        return;
    if (pagingDir_)
        pagingDir_->close();
    else
        resultsDir_.close();
}

// Failures are answered where a success would have gone, so the requester
// is never left waiting for a page on its socket.
void RetrieveResults::failureReply(int64_t seqNo, int64_t lineNumber, int64_t numLines,
                                   CQiSocket* socket, COxNetwork* network, int64_t lastLine,
                                   int status) {
    EvReturnResults reply(seqNo, lineNumber, numLines, 0, socket, network);
    reply.end(lastLine, status);
}

bool RetrieveResults::refreshMap() {
    const char* map = mapName_.get();
    mapFile_.close();
    char first;
    bool missing = mapFile_.openConfined(map, sfOpenRead) != 0 || mapFile_.read(&first, 1) != 1 ||
                   mapFile_.seek(0, sfSeekSet) != 0;
    mapFile_.close();
    ConfinedFile writer;
    // Readers extending one map take turns; the lock is on the map in place
    // (never a new map renamed over one another reader has open).
    const bool locked = !missing && writer.openConfined(map, sfOpenReadWrite) == 0 &&
                        writer.lock(sfLockExclusive, kMapLockSeconds) == 1;
    struct stat fs, ms;
    if (!missing && (!locked || ::fstat(file_.getMainDescriptor(), &fs) != 0 ||
                     ::fstat(writer.getMainDescriptor(), &ms) != 0))
        missing = true;
    std::vector<unsigned char> added;
    if (!missing) {
        const uint64_t size = static_cast<uint64_t>(fs.st_size);
        const uint64_t mapSize = static_cast<uint64_t>(ms.st_size);
        unsigned char entry[kMapEntrySize];
        char before = '\n';
        uint64_t last = 0;
        // The last entry must start a line of the file as it is now.
        if (mapSize % kMapEntrySize != 0 ||
            ::pread64(writer.getMainDescriptor(), entry, kMapEntrySize,
                      static_cast<off64_t>(mapSize - kMapEntrySize)) != kMapEntrySize ||
            (last = jobresults::decodeMapEntry(entry)) >= size ||
            (last > 0 && (::pread64(file_.getMainDescriptor(), &before, 1,
                                    static_cast<off64_t>(last - 1)) != 1 ||
                          before != '\n'))) {
            missing = true;
        } else {
            // The lines after the last entry's: one line when the map is current.
            jobresults::LineStartScanner scanner;
            bool ok = true;
            auto emit = [&](uint64_t offset) {
                if (offset == 0)
                    return true;
                unsigned char e[kMapEntrySize];
                if (!jobresults::encodeMapEntry(last + offset, e))
                    return ok = false;
                added.insert(added.end(), e, e + kMapEntrySize);
                return true;
            };
            std::vector<char> chunk(kTailChunk);
            for (uint64_t at = last; ok && at < size;) {
                const ssize_t n = ::pread64(file_.getMainDescriptor(), chunk.data(), chunk.size(),
                                            static_cast<off64_t>(at));
                if (n <= 0)
                    ok = false;
                else
                    ok = scanner.feed(chunk.data(), static_cast<size_t>(n), emit);
                at += n > 0 ? static_cast<uint64_t>(n) : 0;
            }
            ok = ok && scanner.finish(emit);
            if (!ok) {
                missing = true;
            } else if (!added.empty()) {
                if (::pwrite64(writer.getMainDescriptor(), added.data(), added.size(),
                               static_cast<off64_t>(mapSize)) !=
                    static_cast<ssize_t>(added.size())) {
                    debug(3, "getPage: cannot extend map %s, code %d\n", map, errno);
                    missing = true;
                } else {
                    debug(3, "getPage: map %s extended by %zu line(s)\n", map,
                          added.size() / kMapEntrySize);
                }
            }
        }
    }
    if (missing) {
        if (generateMap(false) != 0) {
            debug(3, "getPage: cannot open/generate map file %s, code %d\n", map,
                  mapFile_.getLastError());
            return false;
        }
        debug(3, "getPage: missing map %s automatically replaced\n", map);
    }
    writer.close();
    mapFile_.close();
    if (!file_.isOpened() && file_.openConfined(fileName_.get(), sfOpenRead) != 0)
        return false;
    return mapFile_.openConfined(map, sfOpenRead) == 0;
}

int RetrieveResults::getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, CQiSocket* socket,
                             COxNetwork* network, unsigned int appId) {
    if (isRestoreFilterKind(static_cast<ResultsFile>(resultsFile_)) && lineNumber < 0) {
        cleanup();
        return 0;
    }
    auto fail = [&](int64_t lastLine, int status) {
        failureReply(seqNo, lineNumber, numLines, socket, network, lastLine, status);
        return 1;
    };
    if ((!pagingDir_ && !cacheDirPath_) || !fileName_ || !mapName_) {
        fail(0, kPageInitFailed);
        debug(3, "getPage: initializations failed\n");
        return 1;
    }
    if (lineNumber <= 0) {
        debug(3, "getPage: illegal line number\n");
        return 1;
    }
    const int32_t pageSize = numLines < 0           ? 0
                             : numLines > INT32_MAX ? INT32_MAX
                                                    : static_cast<int32_t>(numLines);
    directOpen_ = false;
    if (appId != 0) {
        const unsigned int appType = ApplicationId(realmId_, appId).getAppType();
        if (appType == 0) {
            debug(1, "JobResultsDir::initialize: AppId[%lu] - Failed to get appType",
                  static_cast<unsigned long>(appId));
            return 1;
        }
        debug(3, "JobResultsDir::initialize: AppId[%lu] AppType[%lu]",
              static_cast<unsigned long>(appId), static_cast<unsigned long>(appType));
        if (appType == kDirectAppType) {
            directOpen_ = true;
            if (resultsFile_ == RF_JOB_ITEMS_STATUS && !ConvertXMLtoTxtfile()) {
                fail(0, kPageXmlFailed);
                debug(3, "getPage: ConvertXMLtoTxtfile failed or XML file Dosent exist\n");
                return 1;
            }
        }
    }
    if (openDir() != 0) {
        fail(0, kPageInitFailed);
        debug(3, "getPage: cache open failed (dir %s)\n", cacheDirPath_ ? cacheDirPath_ : "");
        return 1;
    }
    const bool resultsDirInUse = !directOpen_ && !pagingDir_;
    auto closeAll = [&]() {
        mapFile_.close();
        file_.close();
        closeDir();
    };
    file_.close();
    bool opened = file_.openConfined(fileName_.get(), sfOpenRead) == 0;
    if (resultsDirInUse) {
        // Lines written as raw files after a merge reach the results file
        // only by another merge; a results file without a map has had one.
        const bool mergeDue = !opened || (::access(mapName_.get(), F_OK) != 0 && rawFilesExist());
        if (mergeDue) {
            file_.close();
            if (generateFile(nullptr) != 0 && !opened)
                debug(3, "getPage: merge of raw files failed for %s\n", fileName_.get());
            opened = file_.openConfined(fileName_.get(), sfOpenRead) == 0;
        }
    }
    if (!opened) {
        fail(0, kPageOpenFailed);
        debug(1, "openFile: cannot open or create file %s, code %d\n", fileName_.get(),
              file_.getLastError());
        closeAll();
        return 1;
    }
    if (!refreshMap()) {
        closeAll();
        return fail(0, kPageOpenFailed);
    }
    if (mapFile_.seek(0, sfSeekEnd) != 0) {
        fail(0, kPageBeyondEnd);
        debug(3, "seek to end in file %s failed, code %d\n", mapName_.get(),
              mapFile_.getLastError());
        closeAll();
        return 1;
    }
    const int64_t total = static_cast<int64_t>(mapFile_.getCurOffset() / kMapEntrySize);
    if (lineNumber > total) {
        closeAll();
        if (total == 0 && lineNumber == 1) {
            failureReply(seqNo, lineNumber, numLines, socket, network, 1, kPageDone);
            debug(1, "job results is empty.\n");
            return 0;
        }
        fail(0, kPageBeyondEnd);
        debug(3, "lineNumber %lld but there are only %lld lines\n",
              static_cast<long long>(lineNumber), static_cast<long long>(total));
        return 1;
    }
    unsigned char entry[kMapEntrySize];
    if (mapFile_.seek(static_cast<long long>(kMapEntrySize) * (lineNumber - 1), sfSeekSet) != 0) {
        fail(0, kPageSeekFailed);
        debug(3,
              "getPage seqNo=%lld lineNumber=%lld numLines=%lld fileName=%s: map seek failed code "
              "%d\n",
              static_cast<long long>(seqNo), static_cast<long long>(lineNumber),
              static_cast<long long>(numLines), mapName_.get(), mapFile_.getLastError());
        closeAll();
        return 1;
    }
    if (mapFile_.read(entry, kMapEntrySize) != static_cast<int>(kMapEntrySize)) {
        fail(0, kPageSeekFailed);
        debug(3, "read file %s failed, code %d\n", mapName_.get(), mapFile_.getLastError());
        closeAll();
        return 1;
    }
    mapFile_.close();
    const uint64_t offset = jobresults::decodeMapEntry(entry);

    EvReturnResults answer(seqNo, lineNumber, numLines, total, socket, network);
    file_.setBufSize(jobresults::kResultsBufferSize);
    if (file_.seek(static_cast<long long>(offset), sfSeekSet) != 0) {
        answer.end(0, kPageSeekFailed);
        debug(3,
              "getPage seqNo=%lld line %lld offset=%lld numLines=%lld fileName=%s: seek failed "
              "code %d\n",
              static_cast<long long>(seqNo), static_cast<long long>(lineNumber),
              static_cast<long long>(offset), static_cast<long long>(numLines), fileName_.get(),
              file_.getLastError());
        closeAll();
        return 1;
    }
    std::vector<char> line(kLineLimit + 1);
    int64_t current = lineNumber - 1;
    for (int32_t count = 0; count < pageSize; ++count) {
        const int rc = file_.getLine(line.data(), static_cast<unsigned long>(line.size()));
        if (rc < 0) {
            answer.end(current, kPageReadFailed);
            debug(3,
                  "getPage seqNo=%lld lineNumber/curLine=%lld/%lld lines=%lld/%lld fileName=%s: "
                  "getLine failed code %d\n",
                  static_cast<long long>(seqNo), static_cast<long long>(lineNumber),
                  static_cast<long long>(current), static_cast<long long>(count) + 1,
                  static_cast<long long>(numLines), fileName_.get(), file_.getLastError());
            closeAll();
            return 1;
        }
        if (rc == 0)
            break;
        ++current;
        answer.returnLine(line.data());
    }
    answer.end(current, kPageDone);
    closeAll();
    return 0;
}
