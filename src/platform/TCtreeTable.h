// Stand-in for the file helpers of the index's table layer that the
// transaction-log and job-status code relies on. Every helper works on plain
// files, keeps errno of the failing call and never throws.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class TCtreeTable {
public:
    // Answers of TranLog_copyFile. Every failure is above 1, so callers that
    // test for non-zero and callers that test for "above 1" both see it.
    enum CopyResult {
        kCopyOk = 0,
        kCopySourceError = 2, // the source cannot be opened or is not a regular file
        kCopyTargetError = 3, // the target cannot be created
        kCopyIoError = 4,     // a read, write or close failed; the target is removed
    };

    // Copies the regular file source over target (created with mode 0666
    // less the umask, or truncated); a target that exists must be a regular
    // file. A target that is the source itself is left as it is.
    static int TranLog_copyFile(const char* source, const char* target);

    // The whole file in a zero-terminated buffer (its length, without the
    // terminator, in *size when size is given); null when the file cannot be
    // read. The buffer belongs to the caller through the unique_ptr.
    static std::unique_ptr<char[]> TranLog_allocateMemoryAndLoadFile(const char* path,
                                                                     size_t* size = nullptr);

    // The number of line feeds in the file, or -1 when it cannot be read.
    static long long TranLog_countBsNsInFile(const char* path);

    // Appends text to the file, creating it (mode 0666 less the umask) when
    // missing. 0, or a negative errno value; a failed append is cut off again
    // so the file never ends in a partial text.
    static int TranLog_addTextToFile(const char* path, const char* text);
};

// Reads the restart file of a transaction log line by line. A line is
//   "<job id> <restart text>" "<entry>" "<entry>" ...LF
// A line without its LF (torn by a crash) or with an open quote is refused,
// never guessed at: readNextLineAndParse answers -1 and reading stops.
class TCtreeTranLogChunkLineHelper {
public:
    // Loads the file; 0, or -1 when it cannot be read.
    int setFile(const char* path);
    // 1 a line was read, 0 end of file, -1 a torn or malformed line.
    int readNextLineAndParse();
    // Number of the line last read, counting from 1.
    int lineNumber() const { return lineNumber_; }
    const std::string& jobIdText() const { return jobId_; }
    // The restart text split at spaces (empty words dropped).
    const std::vector<std::string>& restartStrings() const { return restartStrings_; }
    const std::vector<std::string>& entries() const { return entries_; }
    // Whether the line's restart text is exactly text.
    bool isRestartStringsEqual(const std::string& text) const { return restartText_ == text; }
    // Cuts the file after the line last read; 0 or -1 (errno kept).
    int truncateFile();
    // Splits a list of quoted names separated by spaces; -1 when a quote is
    // left open or text stands outside quotes.
    static int parse(const std::string& list, std::vector<std::string>& names);

private:
    std::string path_;
    std::string content_;
    size_t offset_ = 0;
    int lineNumber_ = 0;
    std::string jobId_;
    std::string restartText_;
    std::vector<std::string> restartStrings_;
    std::vector<std::string> entries_;
};
