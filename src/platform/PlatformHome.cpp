#include "platform/PlatformHome.h"

#include "platform/OXPlatformInfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

namespace platform {

bool makeDirs(const std::string& path, unsigned mode) {
    if (path.empty())
        return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        makeDirs(path.substr(0, slash), mode);
    return ::mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

namespace {

// Makes a folder of the home once per process and path: every log line and
// key look-up asks for these folders, and a stat each time costs more than
// the work itself. Writers that find a folder gone since make it again
// (openCreating).
void ensureDir(const std::string& path) {
    static std::mutex mu;
    static std::set<std::string> made;
    {
        std::lock_guard<std::mutex> g(mu);
        if (made.count(path))
            return;
    }
    if (makeDirs(path, 0755)) {
        std::lock_guard<std::mutex> g(mu);
        made.insert(path);
    }
}

} // namespace

int openCreating(const std::string& path, int flags, unsigned mode) {
    int fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0 && errno == ENOENT) {
        std::string::size_type slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0 && makeDirs(path.substr(0, slash), 0755))
            fd = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, mode);
    }
    return fd;
}

std::string home() {
    std::string h;
    const char* env = std::getenv("IDXCACHE_HOME");
    if (env && *env) {
        h = env;
    } else {
        const char* user = std::getenv("HOME");
        h = std::string(user && *user ? user : "/tmp") + "/.local/state/idxcache";
    }
    while (h.size() > 1 && h.back() == '/')
        h.pop_back();
    ensureDir(h);
    return h;
}

std::string homePath(const std::string& name, bool makeDir) {
    std::string p = home() + "/" + name;
    if (makeDir)
        ensureDir(p);
    return p;
}

namespace {

PlatformDirectory directory(const char* name, const char* key, const char* folder) {
    PlatformDirectory d{name, key, std::string(), false};
    std::string v;
    if (KeyStore::get(kPlatformSection, key, v) && !v.empty()) {
        d.path = v;
        d.configured = true;
    } else {
        d.path = homePath(folder, true);
    }
    return d;
}

} // namespace

std::vector<PlatformDirectory> platformDirectories() {
    return {directory("index cache", "IndexCacheDir", "IndexCache"),
            directory("job results", "JobResultsDir", "JobResults"),
            directory("temp", "TempDir", "tmp"), directory("product", "ProductDir", "product")};
}

std::string indexCacheDirectory() {
    return directory("index cache", "IndexCacheDir", "IndexCache").path;
}
std::string jobResultsDirectory() {
    return directory("job results", "JobResultsDir", "JobResults").path;
}
std::string tempDirectory() {
    return directory("temp", "TempDir", "tmp").path;
}
std::string productDirectory() {
    return directory("product", "ProductDir", "product").path;
}

} // namespace platform
