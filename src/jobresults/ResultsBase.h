// The common base of the results writer and reader: the names of the current
// results file and its line map, map generation, and the two places result
// files live in (a job's results directory, or the temp directory for paging
// files).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/TDebuggable.h"
#include "jobresults/ConfinedFile.h"
#include "jobresults/JobResultsDir.h"
#include "jobresults/ResultsFile.h"

class PagingResultsDir;

// An owned C string from the C allocator.
struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using OwnedCString = std::unique_ptr<char, FreeDeleter>;

class ResultsBase : public TDebuggable {
public:
    // Paths longer than this are never found and never made.
    static constexpr size_t kMaxPath = 1023;
    // Longest line the readers take; longer lines count as one truncated line.
    static constexpr unsigned long kLineLimit = 102400;
    static constexpr const char* kPagingPrefix = "PagingFile_";
    static constexpr const char* kExtractFolder = "VIEWLOGSEXTRACTFOLDER";

    // Results-directory mode.
    ResultsBase(unsigned int realmId, long long jobId, bool exclusive, const char* clientName,
                unsigned int appId);
    // Paging mode.
    ResultsBase(long long jobId, const char* clientName);
    ~ResultsBase() override;
    ResultsBase(const ResultsBase&) = delete;
    ResultsBase& operator=(const ResultsBase&) = delete;

    // 0 success, 1 failure.
    int computeFileNames(ResultsFile kind);
    // true success, false failure.
    bool setFileName(ResultsFile kind, unsigned int fileNumber, const char* path,
                     const char* clientName);
    // Searches the temp directory for the kind's paging file of this job;
    // true with its full path in found.
    bool isFileExist(ResultsFile kind, unsigned int fileNumber, std::string& found,
                     const char* clientName);
    // (Re)builds the map from the results file: 0 success, 1 failure.
    int generateMap();
    int generateMap(bool wide);
    // Creates the results directory's State file when missing; the file stays
    // open in stateFile. True on success.
    bool checkAndCreateStateFile(ConfinedFile& stateFile);
    const char* getClientName() const;

    const char* getFileName() const { return fileName_.get(); }
    const char* getMapName() const { return mapName_.get(); }
    bool isMapValid() const { return mapValid_; }
    JobResultsDir& getResultsDir() { return resultsDir_; }
    PagingResultsDir* getPagingDir() const { return pagingDir_.get(); }

protected:
    void clearNames();
    // Copies text into target; false (logged with what) when out of memory.
    bool duplicate(OwnedCString& target, const std::string& text, const char* what, int level);
    // Extracts a compressed log into the temp directory's extraction folder
    // and makes fileName_ name the extracted copy.
    bool extractLog(const std::string& tempDir, const std::string& path);
    // The line count of the results file as a reader would map it, compared
    // with the map: true when the map holds one correct entry per line.
    bool mapInStep();

    unsigned int realmId_;
    long long resultsJobId_;
    bool exclusive_;
    JobResultsDir resultsDir_;
    ConfinedFile file_;
    ConfinedFile mapFile_;
    OwnedCString fileName_;
    OwnedCString mapName_;
    bool mapValid_ = true;
    std::unique_ptr<PagingResultsDir> pagingDir_;

private:
    int generateNarrow();
    int generateWide();
    // Reserves the bytes of count map entries in results-directory mode.
    bool reserveEntries(uint64_t count, uint64_t firstLine);
    // Appends one entry; false (logged) when the offset does not fit.
    bool appendEntry(uint64_t offset);
};

// The directory paging files live in for a client, in a buffer of this
// thread that the next call overwrites; null when there is none.
const char* getOrbitTempDir(const char* clientName);
