// The two ways a cache directory hands its files on to the storage node's
// resident service for upload to the index server: a record in the upload
// journal, and an entry in the sync-up queue.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/OXPI.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kQueueOpenRetries = 10;
constexpr unsigned long kQueueOpenRetrySleepMs = 1000;

bool isNetworkShare(const char* path) {
    return std::strncmp(path, "//", 2) == 0 || std::strncmp(path, "\\\\", 2) == 0;
}

} // namespace

int IndexCacheDirBase::appendRecordToChunkUploadQueue(const char* record) {
    if (!getIndexUseCatalogServerIfAvailFlag())
        return 0;
    const char* path = getCacheDir();
    if (!path || !*path || !record)
        return 0;
    if (isNetworkShare(path)) {
        debug(3, "UNC path is not supported for IndexCacheServer. Skip upload.");
        return 0;
    }
    IndexCacheDirMainTranLogHelper helper(path);
    if (!helper.appendUnprocessed(record)) {
        debug(1, "Failed to append string to TranLog upload queue with error '%s'",
              helper.getLastErrorDescription().c_str());
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::queueForUpload() {
    const char* cacheDir = getCacheDir();
    if (!cacheDir || !*cacheDir) {
        debug(1, "Unable to queue for upload: the cache directory has no path");
        return -1;
    }
    std::string root;
    if (!OXPI_Depot().getIndexCacheDirectory(getClientName().c_str(), root) || root.empty()) {
        debug(1, "Unable to queue for upload: no index cache directory for client [%s]",
              getClientName().c_str());
        return -1;
    }
    if (root.back() != '/')
        root += '/';

    // A path outside the root (a local intermediate cache) keeps all of its
    // components in the name rather than losing an arbitrary prefix.
    const std::string path = cacheDir;
    std::string entryName =
        path.compare(0, root.size(), root) == 0 ? path.substr(root.size()) : path;
    for (char& c : entryName) {
        if (c == '/' || c == '\\')
            c = '_';
    }

    const std::string folder = root + "CatalogServer" + "/" + "sync_up_queue" + "/";
    recursiveMkdir(folder.c_str(), 0777);
    const std::string entry = folder + entryName;
    struct stat st;
    // An empty entry is one whose writer died before it was linked in by an
    // older version; it names nothing and is replaced.
    if (::stat(entry.c_str(), &st) == 0 && st.st_size > 0)
        return 0;

    // The entry is written whole under a private name and linked into place:
    // link picks one writer, and a reader never sees an empty or partial entry.
    const std::string temp = entry + ".inprogress." + std::to_string(::getpid());
    CXFile file;
    for (unsigned int attempt = 0;; ++attempt) {
        if (file.open(temp.c_str(), sfOpenCreate) == 0 && file.truncate() == 0)
            break;
        file.close();
        if (attempt == kQueueOpenRetries) {
            debug(1, "Unable to create queue file for upload. File open failed with error [%d]",
                  file.getLastError());
            return -1;
        }
        platform::sleepMs(kQueueOpenRetrySleepMs);
    }
    const int length = static_cast<int>(path.size());
    int written = file.write(path.data(), static_cast<unsigned long>(length));
    int error = file.getLastError();
    if (written == length && file.close() != 0) {
        written = -1;
        error = file.getLastError();
    }
    if (written != length) {
        debug(1,
              "Unable to write into queue file created for upload. Write returned [%d], file "
              "write failed with error [%d]",
              written, error);
        file.close();
        ::unlink(temp.c_str());
        return -1;
    }
    platform::crashPoint("syncup.written");
    int rc = ::link(temp.c_str(), entry.c_str());
    if (rc != 0 && errno == EEXIST && ::stat(entry.c_str(), &st) == 0 && st.st_size == 0) {
        ::unlink(entry.c_str());
        rc = ::link(temp.c_str(), entry.c_str());
    }
    const int linkError = errno;
    ::unlink(temp.c_str());
    if (rc != 0 && linkError != EEXIST) {
        debug(1, "Unable to create queue file for upload. File open failed with error [%d]",
              linkError);
        return -1;
    }
    return 0;
}
