// The reader of job results: answers requests for a page of lines of one
// results file through a record stream; merges the raw files of parallel
// producers; derives restore filter files; serves requests for results held
// on another host through the platform's remote command.
#pragma once

#include <cstdint>
#include <string>

#include "jobresults/ResultsBase.h"
#include "platform/EvReturnData.h"

class COxNetwork;

// Where one raw file of a merge starts: the seconds in its name (0 when
// unreadable) and its full path.
struct JRFile {
    uint64_t timeStamp;
    std::string path;
};

struct JRFileComparator {
    bool operator()(const JRFile& a, const JRFile& b) const { return a.timeStamp < b.timeStamp; }
};

// The page answer: header fields at construction, one record per line, the
// last line number at the end.
class EvReturnResults : public EvReturnData {
public:
    static constexpr uint32_t kMessageType = 1084;
    static constexpr uint32_t kFieldTotal = 4140;
    static constexpr uint32_t kFieldNumLines = 4141;
    static constexpr uint32_t kFieldLineNumber = 4142;
    static constexpr uint32_t kFieldLastLine = 4147;
    static constexpr uint32_t kFieldLine = 4148;

    EvReturnResults(int64_t seqNo, int64_t lineNumber, int64_t numLines, int64_t totalLines,
                    CQiSocket* socket, COxNetwork* network);
    ~EvReturnResults() override;

    void returnLine(const char* line);
    // The stream carries status in its end record.
    void end(int64_t lastLine, int status);
};

class RetrieveResults : public ResultsBase {
public:
    // Statuses of a page answer's end record.
    enum PageStatus {
        kPageDone = 0,
        kPageInitFailed = 1,
        kPageXmlFailed = 2,
        kPageOpenFailed = 3,
        kPageBeyondEnd = 4,
        kPageSeekFailed = 5,
        kPageReadFailed = 6,
    };
    // The application type whose files are opened directly.
    static constexpr unsigned int kDirectAppType = 137;
    // XML sources larger than this are refused.
    static constexpr size_t kMaxXmlBytes = 16u << 20;
    static constexpr const char* kRawLog = "raw.log";

    RetrieveResults(unsigned int realmId, long long jobId, ResultsFile kind, const char* clientName,
                    unsigned int appId);
    RetrieveResults(ResultsFile kind, const char* path, const char* clientName,
                    unsigned int fileNumber);
    RetrieveResults(long long jobId, ResultsFile kind, unsigned int fileNumber,
                    const char* clientName);
    ~RetrieveResults() override;

    bool setFile(const char* path, const char* clientName);
    const char* getPath() const;
    void setTotalItems(int64_t items) { totalItems_ = items; }
    int64_t getTotalItems() const { return totalItems_; }

    // 0 answered (or filter released), 1 failure.
    int getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, CQiSocket* socket,
                COxNetwork* network, unsigned int appId);

    int generateFile(const char* unused);
    int checkBackupFile(const char* path);
    void getRestoreFilterFile(const char* clientName);
    int generateRestoreFilterFile(const char* clientName);
    bool ConvertXMLtoTxtfile();
    void cleanup();
    static uint32_t GetEventMessageId(int status);

    static bool isRestoreFilterKind(ResultsFile kind);

private:
    void failureReply(int64_t seqNo, int64_t lineNumber, int64_t numLines, CQiSocket* socket,
                      COxNetwork* network, int64_t lastLine, int status);
    // The kind's raw-file prefix: the file name without its extension, "_".
    bool rawPrefix(const std::string& fileName, std::string& prefix);
    bool rawFilesExist();
    // Checks the map's last entry against the file's end and adds the lines
    // written since; regenerates a map that does not fit the file.
    bool refreshMap();
    int openDir();
    void closeDir();
    // Opens the results directory's State file and locks it exclusively.
    bool lockStateExclusive(ConfinedFile& state);
    int mergeRaw(bool& changed);

    uint32_t resultsFile_;
    const char* cacheDirPath_ = nullptr;
    int64_t totalItems_ = 0;
    bool directOpen_ = false;
};

// Requests a page of results held on another host.
class WDRetrieveResults : public TDebuggable {
public:
    static constexpr const char* kProgram = "OXRetrieveResults";

    WDRetrieveResults(unsigned int realmId, long long jobId, ResultsFile kind, const char* host,
                      unsigned int appId);
    // 0 when the remote command was started, 1 on failure.
    int getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines);
    // The request text the remote page program parses.
    std::string requestText(int64_t seqNo, int64_t lineNumber, int64_t numLines) const;

private:
    unsigned int realmId_;
    long long jobId_;
    ResultsFile kind_;
    std::string host_;
    bool hasHost_;
    unsigned int appId_;
};
