#include "cachefs/CacheOpsService.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "cachefs/CacheOpsMessages.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

using namespace cacheops;

namespace {

constexpr int kBacklog = 8;
constexpr unsigned long kRequestReadMs = 10000;
constexpr size_t kMaxText = 1026; // path buffers are 1027 bytes

std::unique_ptr<CNMessageBase> ack(int code, const std::string& text, int status) {
    auto a = std::make_unique<CacheOpsAck>();
    setInt(*a, kAckClassKey, kAckErrorCode, code);
    if (!text.empty())
        setString(*a, kAckClassKey, kAckErrorText, text);
    setInt(*a, kAckClassKey, kAckStatus, status);
    return a;
}

long long pidMax() {
    long long max = 4194304;
    std::ifstream in("/proc/sys/kernel/pid_max");
    in >> max;
    return max;
}

// Decimal, no sign or leading zero, and a process id the system can give.
bool validPid(const std::string& text) {
    if (text.empty() || text.size() > 10 || text[0] == '0')
        return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    return v > 1 && v <= pidMax();
}

bool validAppName(const std::string& name) {
    return name.empty() || (name.find("..") == std::string::npos &&
                            name.find('/') == std::string::npos && CacheFsBase::isAppIdName(name));
}

bool plainName(const std::string& name) {
    if (name.size() > 255 || (!name.empty() && name[0] == '.'))
        return false;
    for (unsigned char c : name)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_'))
            return false;
    return true;
}

bool printableName(const std::string& name) {
    if (name.size() > 255)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// Restores the process-wide flags of the service after one request.
struct FlagScope {
    bool threaded = TDebuggable::isMultiThreaded();
    bool job = TDebuggable::isMultiJob();
    ~FlagScope() {
        TDebuggable::setMultiThreaded(threaded);
        TDebuggable::setMultiJob(job);
    }
};

// Clears the request being served on every way out.
struct ServedScope {
    CacheFsBase& fs;
    ServedScope(CacheFsBase& f, CNMessageBase* request) : fs(f) {
        fs.setDepotSvcFlag(true);
        fs.setRequestBeingServed(request);
    }
    ~ServedScope() { fs.setRequestBeingServed(nullptr); }
};

} // namespace

CacheOpsService::CacheOpsService() {
    setDebugPrefix("DEPOTSVC");
}

std::string CacheOpsService::pidFilePath() {
    return platform::homePath("run", true) + "/depotsvc.pid";
}

std::string CacheOpsService::validate(const CNMessageBase& request) {
    std::string pid, client, process;
    long long appType = -1, cacheType = -1, threaded = -1, job = -1;
    if (!getString(request, kBaseClassKey, kPid, pid) || !validPid(pid))
        return "invalid requester pid";
    if (!getInt(request, kBaseClassKey, kAppType, appType) || appType < 0 || appType > UINT_MAX)
        return "invalid application type";
    if (!getInt(request, kBaseClassKey, kCacheType, cacheType) || cacheType < 0 || cacheType > 3)
        return "invalid cache type";
    getString(request, kBaseClassKey, kClientName, client);
    if (!plainName(client))
        return "invalid client name";
    getString(request, kBaseClassKey, kProcessName, process);
    if (!printableName(process))
        return "invalid process name";
    getInt(request, kBaseClassKey, kMultiThreaded, threaded);
    getInt(request, kBaseClassKey, kMultiJob, job);
    if ((threaded != 0 && threaded != 1) || (job != 0 && job != 1))
        return "invalid process flags";
    std::string app, specificApp;
    long long blocks = 0;
    if (request.getTagId() == kReserveClassKey) {
        if (!getInt(request, kReserveClassKey, kResNumBlocks, blocks))
            return "no block count";
        getString(request, kReserveClassKey, kResApp, app);
    } else if (request.getTagId() == kCleanupClassKey) {
        if (!getInt(request, kCleanupClassKey, kClnNumBlocks, blocks))
            return "no block count";
        getString(request, kCleanupClassKey, kClnApp, app);
        getString(request, kCleanupClassKey, kClnSpecificApp, specificApp);
    } else {
        return "unknown request";
    }
    if (blocks < 0 || blocks > UINT32_MAX)
        return "invalid block count";
    if (app.size() > kMaxText || specificApp.size() > kMaxText || !validAppName(app) ||
        !validAppName(specificApp))
        return "invalid application name";
    return "";
}

std::unique_ptr<CNMessageBase> CacheOpsService::serve(const CNMessageBase& request) {
    std::string pid;
    getString(request, kBaseClassKey, kPid, pid);
    const char* op = request.getTagId() == kReserveClassKey   ? "reserveOnDisk"
                     : request.getTagId() == kCleanupClassKey ? "cleanUp"
                                                              : request.getTagName();
    std::string why = validate(request);
    std::unique_ptr<CNMessageBase> answer =
        why.empty() ? runOperation(request) : ack(kErrInvalid, why, -1);
    long long status = -1, code = 0;
    getInt(*answer, kAckClassKey, kAckStatus, status);
    getInt(*answer, kAckClassKey, kAckErrorCode, code);
    debug(1, "request from pid '%s': %s, status %lld, error %lld%s%s", pid.c_str(), op, status,
          code, why.empty() ? "" : ": ", why.c_str());
    return answer;
}

std::unique_ptr<CNMessageBase> CacheOpsService::runOperation(const CNMessageBase& request) {
    long long appType = 0, cacheType = 0, threaded = 0, job = 0;
    std::string client;
    getInt(request, kBaseClassKey, kAppType, appType);
    getInt(request, kBaseClassKey, kCacheType, cacheType);
    getInt(request, kBaseClassKey, kMultiThreaded, threaded);
    getInt(request, kBaseClassKey, kMultiJob, job);
    getString(request, kBaseClassKey, kClientName, client);

    FlagScope flags;
    JobResultsCacheFs fs(static_cast<OXAppType>(appType), static_cast<TCacheTypeEnum>(cacheType),
                         false);
    // The constructor resets the multi-job flag: the requester's apply from here.
    TDebuggable::setMultiThreaded(threaded != 0);
    TDebuggable::setMultiJob(job != 0);
    CNMessageBase served = request;
    ServedScope scope(fs, &served);
    fs.initialize(client.empty() ? nullptr : client.c_str());
    if (!fs.isInitialized())
        return ack(kErrNotInitialised, "cache filesystem not initialised", -1);
    try {
        if (request.getTagId() == kReserveClassKey) {
            long long blocks = 0, realm = 0, ts = 0, all = 0;
            std::string app;
            getInt(request, kReserveClassKey, kResNumBlocks, blocks);
            getInt(request, kReserveClassKey, kResRealm, realm);
            getString(request, kReserveClassKey, kResApp, app);
            getInt(request, kReserveClassKey, kResTimeStamp, ts);
            getInt(request, kReserveClassKey, kResReleaseAll, all);
            // A 32-bit row: a release of -5 blocks arrives as 4294967291.
            CacheFsBase::setReserveBuffer(0);
            int rc = fs.reserveOnDisk(signed32(blocks), static_cast<uint32_t>(realm),
                                      app.empty() ? nullptr : app.c_str(),
                                      static_cast<uint32_t>(ts), all != 0);
            auto a = ack(0, "", rc);
            setInt(*a, kAckClassKey, kAckReserveBuffer,
                   static_cast<long long>(CacheFsBase::getReserveBuffer()));
            setInt(*a, kAckClassKey, kAckLastReserved, fs.getLastReservedBlocks());
            return a;
        }
        long long blocks = 0, rmOld = 0, logEv = 0, useAt = 0, sRealm = 0, dontRm = 0, realm = 0,
                  ts = 0;
        std::string sApp, app;
        getInt(request, kCleanupClassKey, kClnNumBlocks, blocks);
        getInt(request, kCleanupClassKey, kClnRemoveAllOld, rmOld);
        getInt(request, kCleanupClassKey, kClnLogEvents, logEv);
        getInt(request, kCleanupClassKey, kClnUseAccessTime, useAt);
        getInt(request, kCleanupClassKey, kClnSpecificRealm, sRealm);
        getString(request, kCleanupClassKey, kClnSpecificApp, sApp);
        getInt(request, kCleanupClassKey, kClnDontRemoveTime, dontRm);
        getInt(request, kCleanupClassKey, kClnRealm, realm);
        getString(request, kCleanupClassKey, kClnApp, app);
        getInt(request, kCleanupClassKey, kClnTimeStamp, ts);
        int rc = fs.cleanUp(static_cast<uint32_t>(blocks), rmOld != 0, logEv != 0, useAt != 0,
                            static_cast<uint32_t>(sRealm), sApp.empty() ? nullptr : sApp.c_str(),
                            static_cast<uint32_t>(dontRm), static_cast<uint32_t>(realm),
                            app.empty() ? nullptr : app.c_str(), static_cast<uint32_t>(ts));
        return rc < 0 ? ack(kErrFailed, "cleanUp failed", -1) : ack(0, "", rc);
    } catch (const char* message) {
        return ack(kErrFailed, message, -1);
    }
}

namespace {

std::unique_ptr<CNMessageBase> uploadReply(int status, const std::string& text) {
    auto r = std::make_unique<TranLogUploadReply>();
    setInt(*r, kUploadReplyClassKey, kUpReplyStatus, status);
    if (!text.empty())
        setString(*r, kUploadReplyClassKey, kUpReplyErrorText, text);
    return r;
}

// Text that fits a path buffer and a double-quoted entry of a restart line.
bool quotableText(const std::string& text) {
    if (text.size() > kMaxText || text.find('"') != std::string::npos)
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// A path the index server would place under its upload folder: relative,
// printable, no "." or ".." component, no empty component.
bool relativePath(const std::string& path) {
    if (path.empty() || !quotableText(path) || path[0] == '/' || path[0] == '\\')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

// A chunk's file list: quoted relative names separated by single spaces.
// The number of names, or -1 when the text is not such a list.
long long countListEntries(const std::string& list) {
    long long count = 0;
    size_t at = 0;
    while (at < list.size()) {
        if (count > 0 && list[at++] != ' ')
            return -1;
        if (at >= list.size() || list[at] != '"')
            return -1;
        size_t close = list.find('"', at + 1);
        if (close == std::string::npos || !relativePath(list.substr(at + 1, close - at - 1)))
            return -1;
        at = close + 1;
        ++count;
    }
    return count;
}

// The index server's answer stands in as a key: absent 0, else a decimal
// (or 0x) number within int; false for any other text.
bool standInUploadStatus(int& status) {
    std::string text;
    status = 0;
    if (!platform::KeyStore::get("Depot", CacheOpsService::kUploadStatusKey, text))
        return true;
    bool negative = !text.empty() && text[0] == '-';
    unsigned long long magnitude = 0;
    if (!platform::KeyStore::parseNumber(negative ? text.substr(1) : text, magnitude, false) ||
        magnitude > (negative ? 1ull + INT_MAX : static_cast<unsigned long long>(INT_MAX)))
        return false;
    status = static_cast<int>(negative ? -static_cast<long long>(magnitude)
                                       : static_cast<long long>(magnitude));
    return true;
}

} // namespace

std::string CacheOpsService::uploadsDir() {
    return platform::homePath("IndexServer", true) + "/uploads";
}

std::string CacheOpsService::validateUpload(const CNMessageBase& request) {
    long long flags = -1, entries = -1, jobArg = 0, jobId = 0;
    std::string restart, path, list, client;
    if (!getInt(request, kUploadClassKey, kUpFlags, flags) ||
        (flags & ~(kUpFlagOnePath | kUpFlagQueued | kUpFlagCopyAll)) != 0)
        return "invalid upload flags";
    if (!getInt(request, kUploadClassKey, kUpEntries, entries) || entries < 0 ||
        entries > INT32_MAX)
        return "invalid number of entries";
    // The job id argument is a 32-bit row: either form of it is accepted.
    if (!getInt(request, kUploadClassKey, kUpJobIdArg, jobArg) || jobArg < INT32_MIN ||
        jobArg > UINT32_MAX)
        return "invalid job id argument";
    if (!getInt(request, kUploadClassKey, kUpJobId, jobId) || jobId < 0)
        return "invalid job id";
    if (!getString(request, kUploadClassKey, kUpRestart, restart) || !quotableText(restart))
        return "invalid restart string";
    if (!getString(request, kUploadClassKey, kUpPath, path) || !relativePath(path))
        return "invalid cache directory path";
    getString(request, kUploadClassKey, kUpClientName, client);
    if (!plainName(client))
        return "invalid client name";
    if (!getString(request, kUploadClassKey, kUpFileList, list))
        return "no file list";
    long long names =
        (flags & kUpFlagOnePath) != 0 ? (relativePath(list) ? 1 : -1) : countListEntries(list);
    if (names < 0)
        return "invalid file list";
    if (names != entries)
        return "file list does not hold the number of entries";
    return "";
}

std::unique_ptr<CNMessageBase> CacheOpsService::serveUpload(const CNMessageBase& request) {
    std::string why = validateUpload(request);
    std::unique_ptr<CNMessageBase> reply;
    std::string record;
    if (!why.empty()) {
        reply = uploadReply(kErrInvalid, why);
    } else if (int status = 0; !standInUploadStatus(status)) {
        reply = uploadReply(kErrFailed, std::string("invalid key Depot/") + kUploadStatusKey);
    } else {
        record = recordUpload(request);
        reply = record.empty()
                    ? uploadReply(kErrFailed, "cannot record the upload")
                    : uploadReply(status, status == 0 ? "" : "upload refused by the index server");
    }
    long long status = kUpStatusAbsent, flags = 0;
    getInt(*reply, kUploadReplyClassKey, kUpReplyStatus, status);
    getInt(request, kUploadClassKey, kUpFlags, flags);
    debug(1, "upload request, flags %lld: status %lld%s%s%s%s", flags, status,
          why.empty() ? "" : ": ", why.c_str(), record.empty() ? "" : ", recorded as ",
          record.c_str());
    return reply;
}

// Written beside its final name and renamed: a record is whole or absent.
// The service serves one request at a time, so the next number is free.
std::string CacheOpsService::recordUpload(const CNMessageBase& request) {
    std::string dir = uploadsDir();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "";
    unsigned long next = 1;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            unsigned long n = std::strtoul(e->d_name, &end, 10);
            if (end != e->d_name && std::strcmp(end, ".xml") == 0 && n >= next)
                next = n + 1;
        }
        ::closedir(d);
    }
    char name[32];
    std::snprintf(name, sizeof name, "%08lu.xml", next);
    std::string path = dir + "/" + name, temp = path + ".inprogress";
    std::string xml = request.toXml();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size()) &&
              ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        debug(1, "cannot record upload %s, errno %d", path.c_str(), errno);
        ::unlink(temp.c_str());
        return "";
    }
    return path;
}

pid_t CacheOpsService::runningPid() {
    int fd = ::open(pidFilePath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    int rc = ::fcntl(fd, F_GETLK, &probe);
    ::close(fd);
    return rc == 0 && probe.l_type != F_UNLCK ? probe.l_pid : 0;
}

int CacheOpsService::stop(std::string& message) {
    if (runningPid() == 0) {
        message = "not running";
        return 1;
    }
    CNMessageBase request(kSubsystem, 0, kStopClassKey, "DepotSvc::StopRequest");
    CXmlMsgRouter* router = CXmlMsgRouter::getCommunicationRouter();
    CNMessageBase* answer = nullptr;
    // The stop waits behind the request being served, which finishes first.
    if (router->send(&request, 1) != 0 || router->receive(&answer, 1, 600000, 0) != 0) {
        message = router->getLastErrorText();
        return 1;
    }
    delete answer;
    // The service removes its socket and pid file, then lets go of the lock.
    for (int i = 0; i < 1000 && runningPid() != 0; ++i)
        ::usleep(10000);
    message = "stopped";
    return 0;
}

int CacheOpsService::start(bool foreground) {
    std::string socketPath = platform::depotSvcSocketPath();
    sockaddr_un address;
    socklen_t length = 0;
    if (platform::makeSocketAddress(socketPath, address, length) != 0) {
        std::fprintf(stderr, "socket path '%s' is longer than a socket address allows\n",
                     socketPath.c_str());
        return 1;
    }
    int ready[2] = {-1, -1};
    if (!foreground) {
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return 1;
        pid_t child = ::fork();
        if (child < 0)
            return 1;
        if (child > 0) {
            ::close(ready[1]);
            char result = 1;
            ssize_t n = ::read(ready[0], &result, 1);
            ::close(ready[0]);
            return n == 1 ? result : 1;
        }
        ::close(ready[0]);
        ::setsid();
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::close(null);
        }
    }
    auto report = [&](char result) {
        if (ready[1] >= 0) {
            ssize_t n = ::write(ready[1], &result, 1);
            (void)n;
            ::close(ready[1]);
            ready[1] = -1;
            // Start-up failures went to the starter's stderr; from here the
            // daemon must not hold it open (a caller reading it to its end
            // would wait for the service to stop).
            int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                ::dup2(null, 2);
                ::close(null);
            }
        }
        return static_cast<int>(result);
    };
    auto finish = [&](int rc) {
        if (!foreground)
            ::_exit(rc);
        return rc;
    };

    // The pid file's lock is the instance: held for the life of the service.
    std::string pidPath = pidFilePath();
    int pidFd = ::open(pidPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    struct stat opened {
    }, named{};
    if (pidFd < 0 || ::fcntl(pidFd, F_SETLK, &lk) != 0 || ::fstat(pidFd, &opened) != 0 ||
        ::stat(pidPath.c_str(), &named) != 0 || opened.st_ino != named.st_ino) {
        // Locked by another instance, or replaced under us before the lock.
        std::fprintf(stderr, "the service is already running (pid %d)\n",
                     static_cast<int>(runningPid()));
        if (pidFd >= 0)
            ::close(pidFd);
        return finish(report(1));
    }
    ::signal(SIGPIPE, SIG_IGN);
    // A socket nobody answers on is a leftover of a killed service.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), length) != 0 &&
        (errno == ECONNREFUSED || errno == ENOENT)) {
        if (errno == ECONNREFUSED)
            ::unlink(socketPath.c_str());
    }
    if (probe >= 0)
        ::close(probe);
    int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mode_t oldMask = ::umask(0177);
    int bound = listenFd < 0 ? -1 : ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), length);
    ::umask(oldMask);
    if (bound != 0 || ::chmod(socketPath.c_str(), 0600) != 0 || ::listen(listenFd, kBacklog) != 0) {
        std::fprintf(stderr, "cannot listen on %s: %s\n", socketPath.c_str(), std::strerror(errno));
        if (listenFd >= 0)
            ::close(listenFd);
        ::unlink(pidPath.c_str());
        ::close(pidFd);
        return finish(report(1));
    }
    platform::crashPoint("service.bound");
    std::string pidText = std::to_string(::getpid()) + "\n";
    if (::ftruncate(pidFd, 0) != 0 ||
        ::pwrite(pidFd, pidText.data(), pidText.size(), 0) != static_cast<ssize_t>(pidText.size()))
        debug(1, "cannot write pid file %s, errno %d", pidPath.c_str(), errno);
    debug(1, "listening on %s, pid %d", socketPath.c_str(), static_cast<int>(::getpid()));
    report(0);
    int rc = serveLoop(listenFd);
    ::close(listenFd);
    ::unlink(socketPath.c_str());
    // Removed while the lock is held: a new instance never sees a half-gone file.
    ::unlink(pidPath.c_str());
    ::close(pidFd);
    debug(1, "stopped");
    return finish(rc);
}

int CacheOpsService::serveLoop(int listenFd) {
    while (!stopRequested_) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            debug(1, "accept failed, errno %d", errno);
            return 1;
        }
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
            (peer.uid != ::getuid() && peer.uid != 0)) {
            debug(1, "refused a connection of uid %u", static_cast<unsigned>(peer.uid));
            ::close(fd);
            continue;
        }
        std::string body, error;
        std::unique_ptr<CNMessageBase> answer;
        if (platform::readFrame(fd, platform::kUploadFrameCap, kRequestReadMs, body) != 0) {
            debug(1, "no request read from pid %d, errno %d", static_cast<int>(peer.pid), errno);
            if (errno == EMSGSIZE)
                answer = ack(kErrBadMessage, "message too long", -1);
        } else {
            std::unique_ptr<CNMessageBase> request = CNMessageBase::fromXml(body, &error);
            if (!request) {
                debug(1, "bad message from pid %d: %s", static_cast<int>(peer.pid), error.c_str());
                answer = ack(kErrBadMessage, "bad message: " + error, -1);
            } else if (request->getTagId() == kStopClassKey) {
                debug(1, "stop requested by pid %d", static_cast<int>(peer.pid));
                stopRequested_ = true;
                answer = ack(0, "", 0);
            } else if (request->getTagId() == kUploadClassKey) {
                answer = serveUpload(*request);
            } else if (body.size() > platform::kCacheOpFrameCap) {
                answer = ack(kErrBadMessage, "message too long", -1);
            } else {
                answer = serve(*request);
            }
        }
        if (answer && platform::writeFrame(fd, answer->toXml()) != 0)
            debug(1, "answer not delivered to pid %d, errno %d", static_cast<int>(peer.pid), errno);
        ::close(fd);
    }
    return 0;
}
