// Stands in for the results directory when result files are paging files in
// the temp directory, and ages those files out: each construction removes,
// under the machine-wide lock "PAGING_CLEANUP", what the paging code left in
// the temp directory more than a day ago:
//   - entries named "PagingFile_..." (paging files and their maps);
//   - maps the library made for files named by a caller's path, which carry
//     the caller's file name: they are recorded in the ledger kMapLedger of
//     the temp directory when named, and only recorded ones are removed;
//   - the extracted logs in the extraction folder.
#pragma once

#include <string>

#include "common/TDebuggable.h"
#include "jobresults/ResultsBase.h"

class PagingResultsDir : public TDebuggable {
public:
    static constexpr long kMaxAgeSeconds = 86400;
    // One name per line, relative to the temp directory.
    static constexpr const char* kMapLedger = "PagingMapsMade.lst";

    explicit PagingResultsDir(const char* clientName);
    ~PagingResultsDir() override;
    PagingResultsDir(const PagingResultsDir&) = delete;
    PagingResultsDir& operator=(const PagingResultsDir&) = delete;

    void setDir(const char* directory);
    int open();
    int close();
    int reserve(unsigned long long) { return 0; }
    const char* getDir() const { return directory_.get(); }
    bool isOpened() const { return opened_; }

    // Records a map named mapName in tempDir for the age-out.
    static void registerTempMap(const std::string& tempDir, const std::string& mapName,
                                TDebuggable* log);

private:
    void sweep(const std::string& tempDir);
    void sweepLedger(const std::string& tempDir, time_t now);
    void sweepExtracted(const std::string& tempDir, time_t now);
    // Removes path when modified more than a day before now.
    void removeWhenOld(const std::string& path, time_t now, const char* what);

    OwnedCString directory_;
    bool opened_ = false;
};
