// Writer of the upload journal: the "TL_RST.upload_NNNNN" files beside the
// cache filesystem's type folders, which the storage node's resident service
// reads to learn which files of a cache directory to send to the index server.
//
// A record is a 20-byte header "<flag><op>,<length as %16x>," followed by the
// payload, with no separator between records. Every writer on the machine
// serialises on the named mutex "TranLog_mutex" and opens, appends and closes
// the journal file inside it.
#pragma once

#include <string>

#include "platform/CNamedMutex.h"
#include "platform/EvEvent.h"

class IndexCacheDirMainTranLogHelper : public EvDebug {
public:
    static constexpr const char* kMutexName = "TranLog_mutex";
    static constexpr const char* kJournalPrefix = "TL_RST.upload_";
    static constexpr unsigned long kLockTimeoutMs = 30000;
    // A journal file larger than this is left for the next number.
    static constexpr long long kMaxJournalSize = 4999999;
    static constexpr size_t kHeaderSize = 20;

    // cacheDirPath: the cache directory the records are about (null: empty).
    explicit IndexCacheDirMainTranLogHelper(const char* cacheDirPath);
    ~IndexCacheDirMainTranLogHelper();
    IndexCacheDirMainTranLogHelper(const IndexCacheDirMainTranLogHelper&) = delete;
    IndexCacheDirMainTranLogHelper& operator=(const IndexCacheDirMainTranLogHelper&) = delete;

    // append ('N', 'A', payload).
    int appendUnprocessed(const std::string& payload);
    // Appends one whole record to the current journal file: 1, or 0 with the
    // error kept for getLastErrorDescription. A record is never written
    // without the mutex, and a failed write leaves no partial record behind.
    int append(char lineProcessingFlag, char operationType, const std::string& payload);

    // path relative to the upload folder, or path unchanged when it does not
    // lie below it.
    std::string getLocalPath(const std::string& path) const;
    // "IndexCacheDirMainTranLogHelper: <text>[; FileError=<text>][; MutexError:<text>]";
    // clears the errors it reports.
    std::string getLastErrorDescription();

    // Takes "TranLog_mutex", waiting at most 30 seconds.
    bool lock();
    void unlock();

    const std::string& getUploadFolder() const { return uploadFolder_; }
    const std::string& getCacheDirPath() const { return cacheDirPath_; }
    // Name of the journal file the last append chose.
    const std::string& getCurrentFileName() const { return currentFileName_; }

private:
    // Opens the journal file to append to (under the mutex): the highest
    // numbered one, or the next number when that one is full.
    bool chooseJournalFile();
    bool openJournalFile(int number);
    void closeJournalFile();
    // Writes all of length bytes; false on an error or when nothing more
    // can be written.
    bool writeAll(const char* data, size_t length);
    void setError(const std::string& text, int fileError);

    int mutexError_ = 0;
    int fileError_ = 0;
    std::string lastError_;
    CNamedMutex mutex_;
    std::string currentFileName_;
    int journalFd_ = -1;
    std::string cacheDirPath_;
    std::string uploadFolder_;
};
