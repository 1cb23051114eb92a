// The job id file ("JobId" in the cache directory) and the job status files
// ("RunningJobs/<job id>.txt" under the cache root, with a copy in the cache
// directory) that tie a cache directory to the job run using it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cachedir/IndexCacheDirBase.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "common/HostServices.h"
#include "platform/CrashPoint.h"
#include "platform/LocalCharset.h"
#include "platform/OXPI_Session.h"
#include "platform/OXPlatformInfo.h"
#include "platform/TCtreeTable.h"
#include "port/CXDirectory.h"
#include "port/CXFile.h"
#include "port/FileOps.h"

namespace {

const char* const kJobIdFileName = "JobId";
const char* const kRunningJobsFolder = "RunningJobs";
const char* const kUnknownHost = "UnKnOwN";
const char* const kPrevBackupTimeKey = "prevBackupTime=";
constexpr int kStatusOpenRetries = 5;
constexpr unsigned long kStatusLineSize = 16385;
constexpr int kJobIdLineSize = 2048;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Logs for the static forms when the caller gives no log object.
TDebuggable& logOr(TDebuggable* log, TDebuggable& fallback) {
    if (log)
        return *log;
    fallback.setDebugPrefix("INDEXCACHEDIRBASE");
    return fallback;
}

const char* actionCode(EJobStatusFileLastAction action) {
    switch (action) {
    case JobStatusCI:
        return "CI";
    case JobStatusUI:
        return "UI";
    case JobStatusCF:
        return "CF";
    case JobStatusAI:
        return "AI";
    default:
        return "NA";
    }
}

EJobStatusFileLastAction actionFromCode(const char* code) {
    static const struct {
        const char* code;
        EJobStatusFileLastAction action;
    } table[] = {
        {"CI", JobStatusCI}, {"UI", JobStatusUI}, {"CF", JobStatusCF}, {"AI", JobStatusAI}};
    for (const auto& entry : table) {
        if (std::strcmp(code, entry.code) == 0)
            return entry.action;
    }
    return JobStatusNA;
}

std::string jobStatusFileName(long long jobId) {
    char name[32];
    std::snprintf(name, sizeof name, "%llu.txt", static_cast<unsigned long long>(jobId));
    return name;
}

// The folder of the remote cache root that holds the RunningJobs folder of
// this cache type.
std::string remoteStatusRoot(const std::string& remoteRoot, TCacheTypeEnum cacheType) {
    const char* typeFolder = cacheType == TCacheTypeContentSearch ? "OX_FcsIndex"
                             : cacheType == TCacheTypeSnap        ? "OX_SnapMetadata"
                                                                  : "OX_Index";
    return remoteRoot + "/" + typeFolder;
}

// Reads an unsigned decimal made of digits only; false on anything else or
// on overflow.
bool parseDecimal(const std::string& text, unsigned long& value) {
    if (!CacheFsBase::isDecimal(text.c_str()))
        return false;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > ULONG_MAX)
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

// An application id name that names one folder: no separator and no dot
// folder, so a path built from it stays below its realm folder.
bool isSafeAppIdName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && CacheFsBase::isAppIdName(name);
}

} // namespace

void IndexCacheDirBase::createJobIdFile() {
    static const char* const fn = "IndexCacheDirBase::createJobIdFile";
    if (!isInitialized())
        return;
    const char* dir = getCacheDir();
    if (!dir || !*dir) {
        debug(1, "%s: no cacheDir\n", fn);
        return;
    }
    if (jobId_ == 0) {
        debug(1, "%s: no job id\n", fn);
        return;
    }

    OXPI_Session session;
    session.setFocus(OXPI_Focus::getFocus());
    std::string sessionHost = session.getHostName();
    if (sessionHost.empty())
        debug(1, "OXPI_Session::getHostName failed\n");
    // The storage node is named by the host of its own client; the session's
    // host stands in when the platform cannot map the client to a host.
    std::string host = getMyHostName(clientName_.c_str(), false, false);
    if (host.empty())
        host = sessionHost;
    if (host.empty())
        host = kUnknownHost;

    // Written beside and renamed over: a reader (or a resume after a crash)
    // sees the old line or the new one, never a torn one.
    std::string path = std::string(dir) + "/" + kJobIdFileName;
    std::string temp = path + ".inprogress";
    FilePtr file(std::fopen(temp.c_str(), "we"));
    if (!file) {
        debug(1, "%s: cannot fopen file '%s', code %d\n", fn, temp.c_str(), errno);
        return;
    }
    if (std::fprintf(file.get(), "%llu:%u:%u:%u %s\n", static_cast<unsigned long long>(jobId_),
                     jobPhase_, jobAttempt_, jobIndexWriteCounter_, host.c_str()) < 0 ||
        std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0) {
        debug(1, "%s: cannot fprintf to file '%s', code %d\n", fn, temp.c_str(), errno);
        safeUnlink(temp.c_str());
        return;
    }
    if (std::fclose(file.release()) != 0) {
        debug(1, "%s: cannot fclose file '%s', code %d\n", fn, temp.c_str(), errno);
        safeUnlink(temp.c_str());
        return;
    }
    platform::crashPoint("jobid.written");
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        debug(1, "%s: cannot rename '%s' to '%s', code %d\n", fn, temp.c_str(), path.c_str(),
              errno);
        safeUnlink(temp.c_str());
    }
}

int IndexCacheDirBase::readJobIdFile(long long* jobIdPtr, std::string* hostName,
                                     unsigned int* phase, unsigned int* attempt,
                                     unsigned int* writeCounter) {
    static const char* const fn = "IndexCacheDirBase::readJobIdFile";
    if (jobIdPtr)
        *jobIdPtr = 0;
    if (hostName)
        hostName->clear();
    if (phase)
        *phase = 0;
    if (attempt)
        *attempt = 0;
    if (writeCounter)
        *writeCounter = 0;
    if (!isInitialized())
        return 0;
    const char* dir = getCacheDir();
    if (!dir || !*dir) {
        debug(1, "%s: no cacheDir\n", fn);
        return 0;
    }

    std::string path = std::string(dir) + "/" + kJobIdFileName;
    FilePtr file(std::fopen(path.c_str(), "re"));
    int err = errno;
    if (!file && catalogServer_) {
        // A catalog-server cache may hold the file under a decorated name.
        CXDirectory directory;
        if (directory.open(dir) != 0) {
            debug(1, "%s: Failed to open directory [%s]", fn, dir);
            return 0;
        }
        std::string found;
        if (directory.findFileByPattern(kJobIdFileName, found, 0) < 0) {
            debug(1, "%s: Failed to find filename with pattern JobId", fn);
            return 0;
        }
        path = found;
        file.reset(std::fopen(path.c_str(), "re"));
        err = errno;
    }
    if (!file) {
        debug(1, "%s: cannot fopen file '%s', code %d\n", fn, path.c_str(), err);
        return 0;
    }

    char line[kJobIdLineSize];
    errno = 0;
    if (!std::fgets(line, sizeof line, file.get())) {
        debug(1, "%s: cannot fgets file '%s' for job id, code %d\n", fn, path.c_str(), errno);
        return 0;
    }
    file.reset();
    line[std::strcspn(line, "\r\n")] = '\0';

    unsigned long long id = 0;
    int phaseValue = 0, attemptValue = 0, counterValue = 0;
    bool haveCounter = false;
    const char* host;
    const char* idError = jobIdPtr ? "%s: Invalid jobIdPtr\n" : "%s: Invalid jobId\n";
    if (char* colon1 = std::strchr(line, ':')) {
        char* colon2 = std::strchr(colon1 + 1, ':');
        if (!colon2) {
            debug(1, "%s: cannot detect attempt number in '%s'\n", fn, line);
            return 0;
        }
        char* colon3 = std::strchr(colon2 + 1, ':');
        if (!colon3) {
            debug(1, "%s: cannot detect counter in '%s'\n", fn, line);
            return 0;
        }
        char* blank = std::strchr(colon3 + 1, ' ');
        if (!blank) {
            debug(1, "%s: cannot detect DP name in '%s'\n", fn, line);
            return 0;
        }
        *colon1 = *colon2 = *colon3 = *blank = '\0';
        if (std::sscanf(line, "%llu", &id) != 1) {
            debug(1, idError, fn);
            return 0;
        }
        if (std::sscanf(colon1 + 1, "%d", &phaseValue) != 1) {
            debug(1, "%s: Invalid phaseno\n", fn);
            return 0;
        }
        if (std::sscanf(colon2 + 1, "%d", &attemptValue) != 1) {
            debug(1, "%s: Invalid attempt\n", fn);
            return 0;
        }
        if (std::sscanf(colon3 + 1, "%d", &counterValue) != 1) {
            debug(1, "%s: Invalid write counter\n", fn);
            return 0;
        }
        haveCounter = true;
        host = blank + 1;
    } else {
        char* blank = std::strchr(line, ' ');
        if (!blank) {
            debug(1, "%s: cannot detect DP name in '%s'\n", fn, line);
            return 0;
        }
        *blank = '\0';
        if (std::sscanf(line, "%llu", &id) != 1) {
            debug(1, idError, fn);
            return 0;
        }
        host = blank + 1;
    }

    // Nothing is stored until the whole line has been read, so a bad line
    // leaves the object as it was.
    if (jobIdPtr) {
        *jobIdPtr = static_cast<long long>(id);
    } else {
        jobId_ = static_cast<long long>(id);
        setJobId(jobId_);
    }
    if (phase)
        *phase = static_cast<unsigned int>(phaseValue);
    else
        setJobPhaseNumber(static_cast<unsigned int>(phaseValue));
    if (attempt)
        *attempt = static_cast<unsigned int>(attemptValue);
    else
        setJobAttemptNumber(static_cast<unsigned int>(attemptValue));
    if (haveCounter) {
        if (writeCounter)
            *writeCounter = static_cast<unsigned int>(counterValue);
        else
            setJobIndexWriteCounter(static_cast<unsigned int>(counterValue));
    }
    if (hostName)
        *hostName = host;
    return 1;
}

void IndexCacheDirBase::removeJobIdFile() {
    const char* dir = getCacheDir();
    if (!dir || !*dir)
        return;
    std::string path = std::string(dir) + "/" + kJobIdFileName;
    if (safeUnlink(path.c_str()) != 0)
        debug(1, "%s: cannot unlink file '%s', code %d\n", "IndexCacheDirBase::removeJobIdFile",
              path.c_str(), errno);
}

bool IndexCacheDirBase::isJobIdFileValid(std::string* reason) {
    long long fileJobId = 0;
    std::string host;
    unsigned int phase = 0, attempt = 0, fileCounter = 0;
    if (readJobIdFile(&fileJobId, &host, &phase, &attempt, &fileCounter) != 1) {
        debug(3, "ERROR: unable to read jobId file");
        if (reason)
            *reason = "unable to read jobId file";
        return false;
    }
    const int ownCounter = static_cast<int>(jobIndexWriteCounter_);
    if (jobId_ != 0 && fileJobId != 0) {
        if (jobId_ != fileJobId) {
            debug(3, "ERROR: IC was created by the different job (%lld instead of %lld).",
                  fileJobId, jobId_);
            if (reason)
                *reason = "IC was not created by previous or current job";
            return false;
        }
        if (jobIndexWriteCounter_ != 0 && fileCounter != 0) {
            // A cache written by an earlier round of this job than the one
            // that last wrote the index misses that round's changes.
            if (jobIndexWriteCounter_ > fileCounter) {
                debug(1, "ERROR: Indexing token mismatch found. Old token=%u < new token=%d",
                      fileCounter, ownCounter);
                if (reason)
                    *reason = "Indexing token mismatch found.";
                return false;
            }
            return true;
        }
        debug(3, "Warning: Indexing token mismatch check skipped. Old token=%u, new token=%d",
              fileCounter, ownCounter);
        return true;
    }
    debug(3, "JobId mismatch check skipped. Old token=%u, new token=%d", fileCounter, ownCounter);
    return true;
}

std::string IndexCacheDirBase::getJobStatusFilePath(const std::string& cacheRoot, long long jobId) {
    // Without a root the folder would land at the top of the filesystem.
    if (jobId == 0 || cacheRoot.empty())
        return std::string();
    std::string folder = cacheRoot + "/" + kRunningJobsFolder;
    ::mkdir(folder.c_str(), 0700);
    return folder + "/" + jobStatusFileName(jobId);
}

std::string IndexCacheDirBase::getJobStatusFilePath() {
    const char* root = getCacheFs();
    return getJobStatusFilePath(root ? root : "", jobId_);
}

int IndexCacheDirBase::createJobStatusFile(const char* cacheDir, long long jobId,
                                           const std::string& statusFilePath,
                                           EJobStatusFileLastAction action,
                                           unsigned long prevBackupTime, TDebuggable* log) {
    TDebuggable fallback;
    TDebuggable& out = logOr(log, fallback);
    if (statusFilePath.empty()) {
        out.debug(3, "createJobStatusFile(%d)==0 ListFilePath==emptyString",
                  static_cast<int>(action));
        return 0;
    }
    if (!cacheDir) {
        safeUnlink(statusFilePath.c_str());
        out.debug(3, "Skip status file creation for NULL ICD");
        return 0;
    }
    // Written under a temporary name and renamed over the old file: a crash
    // leaves the old status or the new one, never a part of it.
    const std::string finalPath = statusFilePath;
    const std::string tempPath = finalPath + ".inprogress";
    const char* path = tempPath.c_str();

    CXFile file;
    if (file.open(path, sfOpenCreate, kStatusOpenRetries, 0777) != 0) {
        out.debug(1, "createJobStatusFile(): cannot create status file %s, code %d\n", path,
                  file.getLastError());
        return -1;
    }
    if (file.truncate() != 0) {
        out.debug(1, "createJobStatusFile(): cannot truncate status file %s, code %d\n", path,
                  file.getLastError());
        return -1;
    }

    IndexCacheDirMainTranLogHelper helper(cacheDir);
    std::string lines[3] = {localToUtf(helper.getLocalPath(cacheDir)), actionCode(action)};
    int count = 2;
    if (prevBackupTime != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "prevBackupTime=%lu", prevBackupTime);
        lines[count++] = text;
    }
    bool written = true;
    for (int i = 0; i < count && written; ++i) {
        if (file.putLine(lines[i].c_str(), false) != 0) {
            out.debug(1, "createJobStatusFile(): putLine failed, code %d\n", file.getLastError());
            written = false;
        }
    }
    // The lines are buffered: a failing close lost some of them.
    if (written && file.close() != 0) {
        out.debug(1, "createJobStatusFile(): cannot close status file %s, code %d\n", path,
                  file.getLastError());
        written = false;
    }
    if (!written) {
        file.close();
        if (safeUnlink(path) != 0)
            out.debug(1, "createJobStatusFile: Failed to delete status file '%s' (1), errno=%d",
                      path, errno);
        return -1;
    }
    platform::crashPoint("jobstatus.written");
    if (::rename(path, finalPath.c_str()) != 0) {
        out.debug(1, "createJobStatusFile(): cannot rename %s to %s, code %d\n", path,
                  finalPath.c_str(), errno);
        safeUnlink(path);
        return -1;
    }
    path = finalPath.c_str();
    out.debug(3, "createJobStatusFile(%d)==0 ListFilePath=='%s'", static_cast<int>(action), path);

    std::string copy = std::string(cacheDir) + "/" + jobStatusFileName(jobId) + ".JobStatus";
    if (TCtreeTable::TranLog_copyFile(path, copy.c_str()) != 0) {
        out.debug(1, "createJobStatusFile(): cannot copy status file %s to %s, code %d\n", path,
                  copy.c_str(), errno);
        return -1;
    }
    return 0;
}

int IndexCacheDirBase::createJobStatusFile(EJobStatusFileLastAction action,
                                           unsigned long prevBackupTime) {
    std::string path = getJobStatusFilePath();
    if (path.empty()) {
        debug(3, "createJobStatusFile(%d)==0 ListFilePath==emptyString", static_cast<int>(action));
        return 0;
    }
    if (::access(path.c_str(), F_OK) == 0)
        removeJobStatusFile();
    int first = createJobStatusFile(getCacheDir(), jobId_, path, action, prevBackupTime, this);
    int second = 0;
    std::string remote = getRemoteCacheFs();
    if (!remote.empty()) {
        impersonateUser(false, nullptr, nullptr);
        std::string remotePath =
            getJobStatusFilePath(remoteStatusRoot(remote, getCacheType()), jobId_);
        second =
            createJobStatusFile(getCacheDir(), jobId_, remotePath, action, prevBackupTime, this);
    }
    return first != 0 ? first : second;
}

int IndexCacheDirBase::readJobStatusFile(const std::string& cacheRoot, long long jobId,
                                         std::string& localPath, EJobStatusFileLastAction& action,
                                         unsigned long& prevBackupTime, TDebuggable* log) {
    TDebuggable fallback;
    TDebuggable& out = logOr(log, fallback);
    localPath.clear();
    action = JobStatusNA;
    std::string path = getJobStatusFilePath(cacheRoot, jobId);
    if (path.empty()) {
        out.debug(1, "readJobStatusFile(%s, %lld) failed, ListFilePath==emptyString",
                  cacheRoot.c_str(), jobId);
        return 1;
    }
    CXFile file;
    if (file.open(path.c_str(), sfOpenRead, kStatusOpenRetries) != 0) {
        out.debug(1, "readJobStatusFile(): cannot open status file %s, code %d\n", path.c_str(),
                  file.getLastError());
        return -1;
    }
    std::unique_ptr<char[]> line = std::make_unique<char[]>(kStatusLineSize);
    if (file.getLine(line.get(), kStatusLineSize) != 1) {
        out.debug(1, "readJobStatusFile(): failed to read status from file %s, code %d\n",
                  path.c_str(), file.getLastError());
    } else {
        localPath = line.get();
        if (file.getLine(line.get(), kStatusLineSize) == 1) {
            action = actionFromCode(line.get());
            if (file.getLine(line.get(), kStatusLineSize) == 1 &&
                std::strstr(line.get(), kPrevBackupTimeKey)) {
                // Read as unsigned long: the time outgrows an int in 2038.
                const char* value = std::strchr(line.get(), '=') + 1;
                prevBackupTime = std::strtoul(value, nullptr, 10);
            }
        } else {
            out.debug(3, "readJobStatusFile(): failed to read last action from file %s, code %d\n",
                      path.c_str(), file.getLastError());
        }
    }
    file.close();
    out.debug(3, "readJobStatusFile(%s, %lld)==0 ListFilePath=='%s' prevBackupTime==%llu",
              cacheRoot.c_str(), jobId, path.c_str(),
              static_cast<unsigned long long>(prevBackupTime));
    return 0;
}

int IndexCacheDirBase::readJobStatusFile(std::string& localPath, EJobStatusFileLastAction& action,
                                         unsigned long& prevBackupTime) {
    const char* root = getCacheFs();
    return readJobStatusFile(root ? root : "", jobId_, localPath, action, prevBackupTime, this);
}

int IndexCacheDirBase::removeJobStatusFile(const std::string& cacheRoot, long long jobId,
                                           TDebuggable* log) {
    TDebuggable fallback;
    TDebuggable& out = logOr(log, fallback);
    std::string path = getJobStatusFilePath(cacheRoot, jobId);
    if (path.empty()) {
        out.debug(3, "removeJobStatusFile()==0 ListFilePath==emptyString");
        return 0;
    }
    int rc = safeUnlink(path.c_str());
    if (rc != 0)
        out.debug(1, "removeJobStatusFile(): Failed to delete list file '%s' (1), errno=%d",
                  path.c_str(), errno);
    out.debug(3, "removeJobStatusFile()==%d ListFilePath=='%s'", rc, path.c_str());
    return rc;
}

int IndexCacheDirBase::removeJobStatusFile() {
    const char* root = getCacheFs();
    int first = removeJobStatusFile(root ? root : "", jobId_, this);
    int second = 0;
    std::string remote = getRemoteCacheFs();
    if (!remote.empty()) {
        impersonateUser(false, nullptr, nullptr);
        second = removeJobStatusFile(remoteStatusRoot(remote, getCacheType()), jobId_, this);
    }
    return first != 0 ? first : second;
}

int IndexCacheDirBase::parseJobStatusLocalPath(const std::string& localPath,
                                               unsigned long& realmNumber, std::string& appIdName,
                                               unsigned long& timeStamp) {
    TDebuggable log;
    log.setDebugPrefix("INDEXCACHEDIRBASE");
    realmNumber = 0;
    appIdName.clear();
    timeStamp = 0;
    const char sep = localPath.find('\\') != std::string::npos ? '\\' : '/';
    const size_t first = localPath.find(sep);
    if (first == std::string::npos) {
        log.debug(1, "parseJobStatusLocalPath() failed, localPath=='%s'", localPath.c_str());
        return -1;
    }
    const size_t second = localPath.find(sep, first + 1);
    const size_t last = localPath.rfind(sep);
    if (second != std::string::npos && second != last) {
        // The parts name folders below the cache root: anything but plain
        // numbers and a plain application id name could lead a later path
        // elsewhere.
        unsigned long realm = 0, stamp = 0;
        std::string app = localPath.substr(second + 1, last - second - 1);
        if (parseDecimal(localPath.substr(first + 1, second - first - 1), realm) &&
            parseDecimal(localPath.substr(last + 1), stamp) && isSafeAppIdName(app)) {
            realmNumber = realm;
            appIdName = app;
            timeStamp = stamp;
            log.debug(3, "parseJobStatusLocalPath()==0 localPath=='%s', %lu/%s/%lu",
                      localPath.c_str(), realmNumber, appIdName.c_str(), timeStamp);
            return 0;
        }
    }
    log.debug(1, "parseJobStatusLocalPath() failed (-1) localPath=='%s'", localPath.c_str());
    return -1;
}

bool IndexCacheDirBase::isStatusFileEqual(const std::string& first, const std::string& second) {
    size_t firstSize = 0, secondSize = 0;
    std::unique_ptr<char[]> a =
        TCtreeTable::TranLog_allocateMemoryAndLoadFile(first.c_str(), &firstSize);
    std::unique_ptr<char[]> b =
        TCtreeTable::TranLog_allocateMemoryAndLoadFile(second.c_str(), &secondSize);
    if (!a || !b)
        return true;
    auto firstLine = [](const char* text, size_t size) {
        std::string line(text, size);
        line.resize(std::min(line.find('\n'), line.size()));
        line.resize(std::min(line.find('\r'), line.size()));
        return line;
    };
    return firstLine(a.get(), firstSize) == firstLine(b.get(), secondSize);
}
