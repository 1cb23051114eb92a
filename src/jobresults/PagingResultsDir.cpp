#include "jobresults/PagingResultsDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "port/CXDirectory.h"

namespace {

constexpr size_t kPrefixLength = 11;

bool readAll(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return n == 0;
}

std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t lf = content.find('\n', start);
        if (lf == std::string::npos)
            lf = content.size();
        if (lf > start)
            lines.push_back(content.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

// A ledger line names an entry directly in the temp directory.
bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

PagingResultsDir::PagingResultsDir(const char* clientName) {
    setDebugPrefix("PAGINGRESULTSDIR");
    const char* temp = getOrbitTempDir(clientName);
    if (temp)
        sweep(temp);
}

PagingResultsDir::~PagingResultsDir() {
    if (opened_)
        close();
}

void PagingResultsDir::setDir(const char* directory) {
    directory_.reset(directory ? ::strdup(directory) : nullptr);
}

int PagingResultsDir::open() {
    if (!directory_) {
        debug(3, "open: not initialized\n");
        return 1;
    }
    if (::access(directory_.get(), F_OK) != 0) {
        debug(3, "open (read-only): cacheDir %s does not exist\n", directory_.get());
        return 1;
    }
    opened_ = true;
    return 0;
}

int PagingResultsDir::close() {
    if (!directory_) {
        debug(3, "close: not initialized\n");
        return 1;
    }
    opened_ = false;
    return 0;
}

void PagingResultsDir::removeWhenOld(const std::string& path, time_t now, const char* what) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        debug(3, "cannot stat '%s', code %d", path.c_str(), errno);
        return;
    }
    if (S_ISDIR(st.st_mode) || now <= st.st_mtime || now - st.st_mtime <= kMaxAgeSeconds)
        return;
    if (::unlink(path.c_str()) != 0)
        debug(3, "cannot unlink %s %s, code %d", what, path.c_str(), errno);
}

void PagingResultsDir::sweep(const std::string& tempDir) {
    MDLock lock("PAGING_CLEANUP");
    lock.set(0xFFFFFFFFul);
    CXDirectory listing;
    if (listing.open(tempDir.c_str()) != 0) {
        debug(1, "cannot open dir '%s', code %d", tempDir.c_str(), listing.getLastError());
        return;
    }
    const time_t now = platform::now();
    while (const char* entry = listing.read()) {
        if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0 ||
            std::strncmp(entry, ResultsBase::kPagingPrefix, kPrefixLength) != 0)
            continue;
        removeWhenOld(tempDir + "/" + entry, now, "temp paging file");
    }
    listing.close();
    sweepLedger(tempDir, now);
    sweepExtracted(tempDir, now);
}

void PagingResultsDir::sweepLedger(const std::string& tempDir, time_t now) {
    const std::string ledger = tempDir + "/" + kMapLedger;
    std::string content;
    if (!readAll(ledger, content) || content.empty())
        return;
    std::string kept;
    for (const std::string& name : splitLines(content)) {
        if (!plainName(name))
            continue;
        const std::string path = tempDir + "/" + name;
        removeWhenOld(path, now, "temp paging file");
        if (::access(path.c_str(), F_OK) == 0)
            kept += name + "\n";
    }
    if (kept == content)
        return;
    if (kept.empty()) {
        ::unlink(ledger.c_str());
        return;
    }
    const std::string temp = ledger + ".tmp_" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        debug(3, "cannot rewrite %s, code %d", ledger.c_str(), errno);
        return;
    }
    const bool written = ::write(fd, kept.data(), kept.size()) == static_cast<ssize_t>(kept.size());
    ::close(fd);
    if (!written || ::rename(temp.c_str(), ledger.c_str()) != 0) {
        debug(3, "cannot rewrite %s, code %d", ledger.c_str(), errno);
        ::unlink(temp.c_str());
    }
}

void PagingResultsDir::sweepExtracted(const std::string& tempDir, time_t now) {
    const std::string folder = tempDir + "/" + ResultsBase::kExtractFolder;
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    CXDirectory listing;
    if (listing.open(folder.c_str()) != 0)
        return;
    while (const char* entry = listing.read()) {
        if (std::strcmp(entry, ".") != 0 && std::strcmp(entry, "..") != 0)
            removeWhenOld(folder + "/" + entry, now, "temp paging file");
    }
    listing.close();
}

void PagingResultsDir::registerTempMap(const std::string& tempDir, const std::string& mapName,
                                       TDebuggable* log) {
    if (!plainName(mapName))
        return;
    // The sweep rewrites the ledger under this lock: an append outside it
    // could land in the file being replaced.
    MDLock lock("PAGING_CLEANUP");
    lock.set(0xFFFFFFFFul);
    const std::string ledger = tempDir + "/" + kMapLedger;
    std::string content;
    readAll(ledger, content);
    for (const std::string& name : splitLines(content)) {
        if (name == mapName)
            return;
    }
    const int fd =
        ::open(ledger.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    const std::string line = mapName + "\n";
    if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        log->debug(3, "cannot record map %s in %s, code %d", mapName.c_str(), ledger.c_str(),
                   errno);
    if (fd >= 0)
        ::close(fd);
}
