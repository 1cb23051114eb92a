// Paging mode of ResultsBase: paging files in the temp directory, their maps,
// and compressed logs extracted for paging.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "jobresults/PagingResultsDir.h"
#include "jobresults/ResultsBase.h"
#include "platform/C7zip.h"
#include "platform/CNamedMutex.h"
#include "platform/CQiFile.h"
#include "platform/FXMutex.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXDirectory.h"

namespace {

constexpr size_t kTempDirBuffer = 1025;
constexpr const char* kOrphanList = "OrphanFilesList.oxf";
constexpr int kCompressionFormat = 2;

// Serialises log extraction and the creation of the one archiver of the process.
FXMutex extractMetex;
std::unique_ptr<C7zip> extractor;

std::string lastExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool newerThan(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

bool olderThan(const struct stat& a, const struct stat& b) {
    return newerThan(b, a);
}

// The canonical form of a directory, for comparing where a path lies.
std::string canonical(const std::string& dir) {
    char resolved[PATH_MAX];
    return ::realpath(dir.c_str(), resolved) ? std::string(resolved) : std::string();
}

} // namespace

const char* getOrbitTempDir(const char* clientName) {
    thread_local char buffer[kTempDirBuffer];
    std::string dir;
    bool found = false;
    if (!OXPI_Focus::getFocus().empty()) {
        if (!clientName || !*clientName || OXPI_Base::isPlatformTypeWarden()) {
            found = OXPI_Base::getOrbitTempDirectory(dir);
        } else if (OXPI_Base::isPlatformTypeRealmClient()) {
            char path[kTempDirBuffer];
            found = OXPI_RealmClient().getJobResultsDirectory(clientName, path, nullptr, nullptr,
                                                              sizeof path);
            if (found)
                dir = path;
        } else if (OXPI_Base::isPlatformTypeDepot()) {
            found = OXPI_Depot().getIndexCacheDirectory(clientName, dir);
        }
    }
    if (!found || dir.empty() || dir.size() >= kTempDirBuffer) {
        EvDebug::debugLvl(nullptr, 3, "getOrbitTempDir: Returns NULL. ");
        return nullptr;
    }
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return buffer;
}

bool ResultsBase::setFileName(ResultsFile kind, unsigned int fileNumber, const char* path,
                              const char* clientName) {
    clearNames();
    if (kind == RF_NONE)
        return false;
    std::string given;
    if (!path) {
        if (!isFileExist(kind, fileNumber, given, clientName)) {
            debug(1, "file not exist\n");
            return false;
        }
    } else {
        given = path;
    }
    const size_t slash = given.rfind('/');
    if (slash == std::string::npos || given.size() > kMaxPath)
        return false;
    const std::string dir = given.substr(0, slash);
    const std::string name = given.substr(slash + 1);

    const char* temp = getOrbitTempDir(clientName);
    const std::string tempDir = temp ? temp : "";
    if (!isGivenPathKind(kind)) {
        // Only this kind's paging files are read, and their maps made, here:
        // a requester's path elsewhere names nothing the library may touch.
        const char* ext = getFileExt(kind);
        if (tempDir.empty() || !ext || !startsWith(name, kPagingPrefix) || !endsWith(name, ext) ||
            canonical(dir.empty() ? "/" : dir) != canonical(tempDir)) {
            debug(1, "file not exist\n");
            return false;
        }
    }
    if (pagingDir_)
        pagingDir_->setDir(dir.c_str());
    if (!duplicate(fileName_, given, "fileName", 1))
        return false;

    std::string map;
    if (!isGivenPathKind(kind)) {
        map = given + ".map";
    } else {
        if (tempDir.empty()) {
            debug(1, "Unable to get temp directory");
            clearNames();
            return false;
        }
        if (name.empty()) {
            debug(1, "File name is invalid");
            clearNames();
            return false;
        }
        if (kind == RF_VIEW_LOG && lastExtension(name) == ".bz2" && !extractLog(tempDir, given)) {
            clearNames();
            return false;
        }
        if (name == kOrphanList)
            map = tempDir + "/" + kOrphanList + "_" + std::to_string(static_cast<int>(fileNumber)) +
                  ".map";
        else
            map = tempDir + "/" + name + ".map";
        if (map.size() > kMaxPath) {
            debug(1, "File name is invalid");
            clearNames();
            return false;
        }
        // A map made outside the paging names still ages out with them.
        PagingResultsDir::registerTempMap(tempDir, map.substr(tempDir.size() + 1), this);
    }
    if (!duplicate(mapName_, map, "mapName", 1)) {
        clearNames();
        return false;
    }
    return true;
}

bool ResultsBase::extractLog(const std::string& tempDir, const std::string& path) {
    auto_lock hold(&extractMetex, true);
    const size_t slash = path.rfind('/');
    const std::string sourceDir = path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const std::string folder = tempDir + "/" + kExtractFolder;
    const std::string destination = folder + "/" + name.substr(0, name.find(".bz2"));
    if (destination.size() > kMaxPath) {
        debug(1, "File name is invalid");
        return false;
    }
    // Reused only when newer than the compressed log: the copy is renamed
    // into place complete, and a log replaced since is extracted again.
    struct stat source, extracted;
    if (CQiFile::Stat(destination.c_str(), &extracted) == 0 &&
        CQiFile::Stat(path.c_str(), &source) == 0 && newerThan(extracted, source)) {
        fileName_.reset(::strdup(destination.c_str()));
        return static_cast<bool>(fileName_);
    }
    if (!extractor) {
        std::string home;
        OXPI_Base::getHomeDirectory(home);
        extractor = std::make_unique<C7zip>(home, kCompressionFormat);
        std::string error;
        if (extractor->Initialize(error) != 0) {
            debug(1, "Failed to initialize 7z archiver. Error Message:[%s]", error.c_str());
            extractor.reset();
            return false;
        }
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        debug(2, "Decompressing the log file [%s] is failed. Error [%s]", name.c_str(),
              std::strerror(errno));
        return false;
    }
    debug(3, "Decompressing the log file [%s]", name.c_str());
    std::string error;
    if (DeCompressLogFile(sourceDir, name, destination, extractor.get(), kExtractFolder, error) !=
        0) {
        debug(2, "Decompressing the log file [%s] is failed. Error [%s]", name.c_str(),
              error.c_str());
        return false;
    }
    fileName_.reset(::strdup(destination.c_str()));
    return static_cast<bool>(fileName_);
}

bool ResultsBase::isFileExist(ResultsFile kind, unsigned int fileNumber, std::string& found,
                              const char* clientName) {
    found.clear();
    MDLock lock("PAGING_FILESEARCH");
    lock.set(0xFFFFFFFFul);
    const char* ext = getFileExt(kind);
    if (!ext) {
        debug(1, "Unsupported file type %d", static_cast<int>(kind));
        return false;
    }
    const char* temp = getOrbitTempDir(clientName);
    if (!temp) {
        debug(1, "Unable to get temp directory");
        return false;
    }
    const std::string tempDir = temp;
    std::string prefix = std::string(kPagingPrefix) + "Job_" + std::to_string(resultsJobId_) + "_";
    if (fileNumber != 0)
        prefix += std::to_string(fileNumber) + "_";

    CXDirectory listing;
    if (listing.open(tempDir.c_str()) != 0) {
        debug(1, "cannot open dir '%s', code %d", tempDir.c_str(), listing.getLastError());
        return false;
    }
    std::string mapPath;
    struct stat dataStat {};
    struct stat mapStat {};
    bool haveData = false, haveMap = false;
    while (const char* entry = listing.read()) {
        const std::string name = entry;
        if (name == "." || name == ".." || !startsWith(name, prefix) ||
            name.find('.') == std::string::npos)
            continue;
        const std::string last = lastExtension(name);
        if (last != ext && last != ".map")
            continue;
        const std::string full = tempDir + "/" + name;
        // A path the caller's buffer could not hold is not found.
        if (full.size() > kMaxPath)
            continue;
        struct stat st;
        if (::stat(full.c_str(), &st) != 0) {
            debug(3, "cannot stat '%s', code %d", full.c_str(), errno);
            continue;
        }
        if (last == ".map") {
            if (!startsWith(name.substr(name.find('.')), ext))
                continue;
            mapPath = full;
            mapStat = st;
            haveMap = true;
        } else {
            found = full;
            dataStat = st;
            haveData = true;
        }
        if (haveData && haveMap) {
            // A map older than its data file is stale: the reader makes it again.
            if (olderThan(mapStat, dataStat) && ::unlink(mapPath.c_str()) != 0)
                debug(3, "cannot unlink map file %s, code %d", mapPath.c_str(), errno);
            break;
        }
        prefix = name.substr(0, name.size() - last.size());
    }
    listing.close();
    if (!pagingDir_) {
        pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
        pagingDir_->setDir(tempDir.c_str());
    }
    return haveData;
}
