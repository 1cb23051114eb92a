// One directory's entries and the bulk operations the cache code runs on
// whole directories: copy, empty, size and free space.
//
// Symbolic links inside a tree are never followed by the bulk operations:
// removal unlinks the link itself, sizing and listing count the link's own
// size, copying recreates the link. A link to a directory outside the tree
// therefore never exposes that directory to a copy or a removal.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <list>
#include <string>
#include <utility>

#include "common/TDebuggable.h"
#include "port/FileOps.h"

// (full path, size in bytes) of each listed file.
using CXFileList = std::list<std::pair<std::string, unsigned long long>>;

class CXDirectory : public TDebuggable {
public:
    CXDirectory();
    ~CXDirectory() override;
    CXDirectory(const CXDirectory&) = delete;
    CXDirectory& operator=(const CXDirectory&) = delete;

    int open(const char* path);
    // Next entry name ("." and ".." included) or null; null with last error 0
    // is the end. The name stays valid until the next read or close.
    const char* read();
    int close();

    int getLastError() const { return lastError_; }
    void setRecursion(bool on) { recursion_ = on; }
    bool getRecursion() const { return recursion_; }
    int isOpened() const { return opened_; }
    const std::string& getPath() const { return path_; }
    // The open directory's descriptor, for *at calls on its entries (no path
    // to build or resolve); -1 when not open.
    int descriptor() const { return dir_ ? ::dirfd(dir_) : -1; }
    // d_type of the entry last read; DT_UNKNOWN when the file system gives none.
    unsigned char entryType() const { return entryType_; }

    // Copies every entry except the one named like except (ignoring case)
    // into the existing destination directory.
    int copyFiles(const char* destination, const char* except);
    int copyFiles(const char* destination, const char* except, bool ignoreCopyErrors);
    // Copies with an external command in which "_idx_src_dir_" stands for this
    // directory and "_idx_dest_dir_" for the destination; the result is checked
    // by listing both trees and every miss falls back to copyFiles.
    int copyFilesExternal(const char* destination, const char* except, std::string command);
    // Appends every non-directory entry below directory with its size.
    static int listFiles(std::string directory, CXFileList& files);
    // Removes every entry except the one named like except (null: all).
    int removeFiles(const char* except);
    // Total size in bytes of the files (below, with recursion), or -1.
    long long sumSizes();

    int getFreeSpace(const char* path, unsigned long long* freeBlocks,
                     unsigned long long* totalBlocks, unsigned long* blockSize);
    int getFreeSpaceDepotSvc(const char* path, unsigned long long* freeBlocks,
                             unsigned long long* totalBlocks, unsigned long* blockSize);

    // From the current position, the first entry whose name contains pattern:
    // 0 and path set, 1 when none (or pattern null), -1 when not open or on a
    // failed read.
    int findFileByPattern(const char* pattern, std::string& path, int unused);

private:
    DIR* dir_ = nullptr;
    // Copy of the last entry's name, so it outlives a closedir.
    std::string entry_;
    unsigned char entryType_ = 0; // d_type of the last entry read (DT_UNKNOWN: not known)
    int32_t lastError_ = 0;
    int32_t opened_ = 0;
    std::string path_;
    bool recursion_ = false;
};
