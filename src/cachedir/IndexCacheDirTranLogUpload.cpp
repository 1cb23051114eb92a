// Hands a chunk's file list on for upload: a request to the local
// storage-node service, an entry in the sync-up queue, or (with a remote
// cache root) a copy of the files straight into the remote cache directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "cachefs/CacheOpsMessages.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/TCtreeTable.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

const char* boolText(bool on) {
    return on ? "true" : "false";
}

// A name from a list stays inside the directory it is relative to.
bool safeRelative(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

int IndexCacheDirBase::appendRecordToChunkUploadQueue(unsigned int jobId, std::string restart,
                                                      std::string fileList, int flags) {
    if (getShouldIndexingTokenIncrement()) {
        ++jobIndexWriteCounter_;
        createJobIdFile();
    }
    if ((flags & 4) && getIndexUseAlternateIndexServerIfAvailFlag()) {
        debug(3,
              "Skipping online upload of [%s] to alternate index server. Creating an upload "
              "entry for queuing.",
              getCacheDirSafe());
        // A lost queue entry is a lost upload: its failure is the answer.
        return queueForUpload();
    }
    if (!getIndexUseCatalogServerIfAvailFlag()) {
        debug(3,
              "Skipping upload to index cache server - use catalog server [%s], use alternate "
              "server [%s], upload flags [%d]",
              boolText(getIndexUseCatalogServerIfAvailFlag()),
              boolText(getIndexUseAlternateIndexServerIfAvailFlag()), flags);
        return 0;
    }
    const char* cacheDir = getCacheDir();
    if (!cacheDir)
        return -1;
    debug(3, "TL upload request START");
    std::vector<std::string> names;
    if (flags & 1) {
        names.push_back(fileList);
    } else {
        if (!(flags & 4) && access((std::string(cacheDir) + "/TL_RST.cfg").c_str(), F_OK) == 0)
            fileList += " \"TL_RST.cfg\"";
        if (TCtreeTranLogChunkLineHelper::parse(fileList, names) != 0 ||
            !std::all_of(names.begin(), names.end(), safeRelative)) {
            debug(1, "Failed to parse fileList '%s'", fileList.c_str());
            return 1;
        }
    }
    debug(3, "TL upload request parsed");
    const int status = remoteCacheRoot_.empty() ? sendUploadRequest(jobId, restart, fileList, flags,
                                                                    static_cast<int>(names.size()))
                                                : copyToRemoteCache(fileList, names, flags);
    if (status == 0)
        debug(3, "TL uploaded successfully");
    else
        debug(1, "TL upload returned error with code %d", status);
    return status;
}

int IndexCacheDirBase::sendUploadRequest(unsigned int jobId, const std::string& restart,
                                         const std::string& fileList, int flags, int entries) {
    using namespace cacheops;
    const char* cacheDir = getCacheDir();
    Indexing::TranLogUploadReq request;
    setInt(request, kUploadClassKey, kUpFlags, flags);
    setInt(request, kUploadClassKey, kUpEntries, entries);
    setInt(request, kUploadClassKey, kUpJobIdArg, static_cast<int32_t>(jobId));
    setString(request, kUploadClassKey, kUpRestart, restart);
    setString(request, kUploadClassKey, kUpPath,
              IndexCacheDirMainTranLogHelper(cacheDir).getLocalPath(cacheDir));
    setString(request, kUploadClassKey, kUpFileList, fileList);
    setInt(request, kUploadClassKey, kUpJobId, getJobId());
    setString(request, kUploadClassKey, kUpClientName, getClientName());
    debug(3, "TL upload request attached to DP. Before sending the request to IS.");
    CXmlMsgRouter::initializeCommunicationRouter(nullptr);
    CXmlMsgRouter* router = CXmlMsgRouter::getCommunicationRouter();
    if (!router) {
        debug(1, "appendRecordToChunkUploadQueue failed to get XmlRouter instance");
        return -1;
    }
    if (router->send(&request, 0) != 0) {
        debug(1, "Failed to send Upload request to local DepotSvc. Fail the operation.");
        return -3;
    }
    debug(3, "TL upload request sent to IS. Waiting for response.");
    CNMessageBase* raw = nullptr;
    // The wait ends at the time-out or at once when the service closes the
    // connection without answering.
    if (router->receive(&raw, 0, static_cast<unsigned long>(getCatalogServerTimeoutMS()), 0) != 0 ||
        !raw) {
        debug(1, "TL upload response timed out. DepotSvc not initialized yet?");
        debug(1, "appendRecordToChunkUploadQueue failed to receive message");
        return -2;
    }
    std::unique_ptr<CNMessageBase> reply(raw);
    if (reply->getTagId() != kUploadReplyClassKey) {
        debug(1, "appendRecordToChunkUploadQueue got unexpected message");
        return -1;
    }
    long long status = kUpStatusAbsent;
    getInt(*reply, kUploadReplyClassKey, kUpReplyStatus, status);
    if (status == 0) {
        debug(3, "TL upload response received - status OK");
        return 0;
    }
    std::string text;
    getString(*reply, kUploadReplyClassKey, kUpReplyErrorText, text);
    debug(1, "appendRecordToChunkUploadQueue got error: '%s'", text.c_str());
    return static_cast<int>(status);
}

int IndexCacheDirBase::copyToRemoteCache(const std::string& fileList,
                                         const std::vector<std::string>& names, int flags) {
    const std::string local = getCacheDir();
    const std::string remoteDir =
        remoteCacheRoot_ + "/" + IndexCacheDirMainTranLogHelper(local.c_str()).getLocalPath(local);
    if (flags & 1) {
        std::string target = remoteCacheRoot_ + "/" + fileList;
        std::replace(target.begin(), target.end(), '\\', '/');
        const size_t sep = target.rfind('/');
        if (sep == std::string::npos || !safeRelative(fileList)) {
            debug(1, "received mal-formed path '%s'", target.c_str());
            return -1;
        }
        const std::string from = target.substr(0, sep) + "/" + std::to_string(getTimeStamp());
        if (::rename(from.c_str(), target.c_str()) != 0)
            debug(1, "rename(%s, %s) returned error %d", from.c_str(), target.c_str(), errno);
        return 0;
    }
    if (flags & 4) {
        CXDirectory remote;
        if (remote.open(remoteDir.c_str()) == 0) {
            remote.setRecursion(true);
            remote.removeFiles(nullptr);
        } else if (recursiveMkdir(remoteDir.c_str(), static_cast<int>(creationMode_)) != 0) {
            debug(1, "failed to open folder '%s' for removal", remoteDir.c_str());
            return -1;
        }
        stateFile_.close();
        CXDirectory source;
        if (source.open(local.c_str()) != 0) {
            debug(1, "failed to open folder '%s' for copying", local.c_str());
            return -1;
        }
        source.setRecursion(true);
        if (source.copyFiles(remoteDir.c_str(), nullptr) != 0) {
            debug(1, "failed to copy folder '%s' to '%s'", local.c_str(), remoteDir.c_str());
            return -1;
        }
        return 0;
    }
    for (const std::string& name : names) {
        const std::string to = remoteDir + "/" + name;
        if (TranLog_copyFile((local + "/" + name).c_str(), to.c_str(), true) != 0) {
            debug(1, "failed to copy file '%s' to '%s'", (local + "/" + name).c_str(), to.c_str());
            return -1;
        }
        const size_t trn = name.find(".trn_");
        if (trn == std::string::npos)
            continue;
        const std::string plain = name.substr(0, trn);
        if (plain == "State" || plain == "JobId" || plain == "Control") {
            const std::string special = remoteDir + "/" + plain;
            if (TranLog_copyFile((local + "/" + name).c_str(), special.c_str(), true) != 0) {
                debug(1, "failed to copy special file '%s' to '%s'", (local + "/" + name).c_str(),
                      special.c_str());
                return -1;
            }
        }
    }
    return 0;
}
