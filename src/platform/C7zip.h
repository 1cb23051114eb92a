// Stand-in for the platform's archiver: the one use the results code makes of
// it, extracting a compressed log (bzip2, through libbz2) for paging.
//
// DeCompressLogFile writes the log to a temporary name beside the destination
// (created exclusively, without following links, mode 0666 before umask) and
// renames it into place only when the whole log was extracted, so a
// destination that exists is always complete. The destination's folder is
// opened without following links. Extraction fails, and leaves nothing
// behind, when the log would grow past the archiver's size cap: key
// "ExtractLimit" of the platform section (bytes, default 4 GiB), read for each
// extraction.
#pragma once

#include <string>

class C7zip {
public:
    // home: the product's home directory; format: the platform's compression
    // format number, kept as given.
    C7zip(const std::string& home, int format);

    // 0, or non-zero with the reason in error.
    int Initialize(std::string& error);

    const std::string& getHome() const { return home_; }
    int getFormat() const { return format_; }
    unsigned long long getSizeCap() const;
    bool isInitialized() const { return initialized_; }

private:
    std::string home_;
    int format_;
    bool initialized_ = false;
};

// Extracts <sourceDir>/<fileName> into destination, which lies in the folder
// folderName. 0, or non-zero with the reason in error.
int DeCompressLogFile(const std::string& sourceDir, const std::string& fileName,
                      const std::string& destination, C7zip* extractor,
                      const std::string& folderName, std::string& error);
