// Stand-in for the file helpers of the index's table layer that the
// transaction-log and job-status code relies on. Every helper works on plain
// files, keeps errno of the failing call and never throws.
#pragma once

#include <cstddef>
#include <memory>

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
