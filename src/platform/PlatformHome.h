// The platform home: one folder that holds the key store, the logs and the
// default directories the platform answers with.
//
//   $IDXCACHE_HOME (default $HOME/.local/state/idxcache)
//     keystore.ini   the key store (sections, keys and values)
//     keystore.lock  serialises readers (shared) and writers (exclusive)
//     logs/          <program>.log debug logs, events.log, jobs.log
//     IndexCache/    default index cache directory
//     JobResults/    default job results directory
//     tmp/           default temporary directory
//     product/       default product directory
//     locks/         lock files of the named mutexes
#pragma once

#include <string>
#include <vector>

namespace platform {

// The home folder, created on first use (and again when it disappears).
std::string home();
// home() + "/" + name, with the folder created when makeDir is set.
std::string homePath(const std::string& name, bool makeDir = false);
// Makes a folder and its missing parents; true when it exists afterwards.
bool makeDirs(const std::string& path, unsigned mode = 0755);
// open (path, flags | O_CREAT | O_CLOEXEC, mode), making the folder first
// when it has gone; the descriptor or -1 with errno.
int openCreating(const std::string& path, int flags, unsigned mode);

// A directory the platform answers with: configured in the platform section
// of the key store under key, or the default folder below the home.
struct PlatformDirectory {
    std::string name; // "index cache", "job results", "temp", "product"
    std::string key;  // "IndexCacheDir", "JobResultsDir", "TempDir", "ProductDir"
    std::string path;
    bool configured; // false: the default below the home (created on demand)
};

std::vector<PlatformDirectory> platformDirectories();
std::string indexCacheDirectory();
std::string jobResultsDirectory();
std::string tempDirectory();
std::string productDirectory();

} // namespace platform
