// Shared by the fuzz targets: a private platform home made once per process
// (and removed at its exit) with a configured index cache, and the input
// written to files inside it.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/OXPlatformInfo.h"

namespace fuzzsupport {

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

// $TMPDIR/idxcache-fuzz-XXXXXX, the process's IDXCACHE_HOME: the index cache
// root is idx/ in it, the focus client "client1" (client id 42), and only
// level-0 debug lines are written.
inline const std::string& home() {
    // Never destroyed: the exit handler that removes the tree still reads it.
    static const std::string* made = new std::string([] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/idxcache-fuzz-XXXXXX";
        if (!::mkdtemp(&pattern[0])) {
            std::perror("mkdtemp");
            std::abort();
        }
        ::setenv("IDXCACHE_HOME", pattern.c_str(), 1);
        std::atexit([] { ::nftw(home().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
        using platform::KeyStore;
        const std::string idx = pattern + "/idx";
        ::mkdir(idx.c_str(), 0755);
        ::mkdir((idx + "/OX_Index").c_str(), 0755);
        KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
        KeyStore::set(platform::kPlatformSection, "DebugLevel", "0");
        KeyStore::set("idxcache.clients", "client1", "42");
        return pattern;
    }());
    return *made;
}

inline std::string path(const std::string& name) {
    return home() + "/" + name;
}

// Replaces the file with the input (a new file each time).
inline void writeFile(const std::string& file, const void* data, size_t size) {
    ::unlink(file.c_str());
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::perror(file.c_str());
        std::abort();
    }
    ::close(fd);
}

inline std::string readFile(const std::string& file) {
    std::string out;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

// Removes the debug and event logs the last run wrote: they would grow with
// every run of a long session.
inline void dropLogs() {
    static const std::string logs = path("logs");
    ::nftw(logs.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Fails the run (libFuzzer keeps the input) when a property does not hold.
inline void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

} // namespace fuzzsupport

// Every target's platform home is its private one before the library's
// first look at the key store or the logs.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::home();
    return 0;
}
