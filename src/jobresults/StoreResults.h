// The writer of job results: appends lines to a results file of the job's
// results directory and keeps its line map in step, with disk space reserved
// line by line; names raw files for parallel producers; and hosts the
// machine's periodic clean-up of job results.
#pragma once

#include <cstdint>
#include <string>

#include "jobresults/ResultsBase.h"

// Restore status of one object, supplied by the caller and written as a number.
using RESTORE_STATUS_STRING_MAPPING = int;

class StoreResults : public ResultsBase {
public:
    // Restore results reach the disk at least every this many lines or bytes.
    static constexpr uint32_t kRestoreFlushLines = 20;
    static constexpr uint64_t kRestoreFlushBytes = 1024;

    StoreResults(unsigned int realmId, long long jobId, bool exclusive, const char* clientName);
    ~StoreResults() override;

    // 0 success, 1 failure (as every operation below unless stated).
    int openFile(ResultsFile kind, bool useMap, bool truncate);
    // Names (and creates, empty) a raw file of this process for the kind, under
    // a shared lock on the directory's State file held until destruction.
    int openRaw(ResultsFile kind, std::string& rawName);
    int putLine(const char* line, bool flush);
    int putLine(char* line, bool flush) { return putLine(static_cast<const char*>(line), flush); }
    int setRestoreStatusOnObject(const char* object, RESTORE_STATUS_STRING_MAPPING status,
                                 bool flush);
    int closeFile();
    const char* getFile() const { return getFileName(); }
    const char* getDirectory() const { return resultsDir_.getCacheDir(); }
    int cleanUp(const char*) { return 0; }
    // The clean-up's result, -1 on failure, 0 when it was not due.
    int centralCleanUp(const char* clientName);

    uint64_t getCurOffset() const { return curOffset_; }

private:
    int writeLine(const char* text, size_t length, bool flush);
    // After a failed write: the offset comes from the file again and the map
    // is dropped, so that readers rebuild it from what reached the disk.
    void resync();
    void invalidateMap();
    // Ends a line a crash cut short, so the next line starts a line of its own.
    bool endTornLine();
    bool lockRawState();

    uint32_t resultsFile_ = 0;
    ConfinedFile rawStateFile_;
    uint32_t flushLineCount_ = 0;
    uint64_t flushByteCount_ = 0;
    uint64_t curOffset_ = 0;
};

extern "C" int StoreResultCentralCleanup(const char* clientName);
