#include "common/TDebuggable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/ApplicationId.h"
#include "platform/OXPlatformInfo.h"

namespace {
constexpr unsigned int kDiagnosticModuleId = 147449609;
constexpr int kRegistryBufferSize = 1026;

// Opens a log file in the shared /tmp for appending: never through a link,
// never anything but a plain file of this user, never readable by others
// (the lines name clients, paths and jobs).
FILE* openPrivateLog(const char* name) {
    const int fd =
        ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)) {
        ::close(fd);
        errno = EPERM;
        return nullptr;
    }
    FILE* f = ::fdopen(fd, "a");
    if (!f)
        ::close(fd);
    return f;
}

} // namespace

std::atomic<int> TDebuggable::usageCount{0};
std::atomic<int> TDebuggable::logEventsFlag{1};
std::mutex TDebuggable::logMutex;
FILE* TDebuggable::debugLog = nullptr;
long long TDebuggable::debugPid = 0;
std::atomic<bool> TDebuggable::multiJobFlag{false};
std::atomic<bool> TDebuggable::multiThreadedFlag{true};
bool TDebuggable::symlinkTableFlag = true;

TDebuggable::TDebuggable() : prefix_("NoPrefix") {
    // Every object gets a usable event log of its own so that the events it
    // raises are not silently skipped; the /tmp file is the first object's.
    if (logEventsFlag && !event_.getReady())
        event_.initialize(2, kDiagnosticModuleId, 0, nullptr, "");
    std::lock_guard<std::mutex> guard(logMutex);
    if (++usageCount == 1)
        openChannel();
}

TDebuggable::TDebuggable(const TDebuggable& other)
    : jobId_(other.jobId_), prefix_(other.prefix_), event_(other.event_),
      useStdout_(other.useStdout_) {
    std::lock_guard<std::mutex> guard(logMutex);
    ++usageCount;
}

TDebuggable& TDebuggable::operator=(const TDebuggable& other) {
    jobId_ = other.jobId_;
    prefix_ = other.prefix_;
    event_ = other.event_;
    useStdout_ = other.useStdout_;
    return *this;
}

TDebuggable::~TDebuggable() {
    std::lock_guard<std::mutex> guard(logMutex);
    if (--usageCount == 0 && debugLog) {
        std::fclose(debugLog);
        debugLog = nullptr;
    }
}

void TDebuggable::openChannel() {
    struct stat st;
    if (debugLog || !(logEventsFlag == 0 || ::stat("/tmp/CXIndexLogging", &st) == 0))
        return;
    const char* name = "/tmp/log.out";
    debugLog = openPrivateLog(name);
    char second[64];
    if (!debugLog) {
        std::snprintf(second, sizeof second, "%slog%d.out", "/tmp/", static_cast<int>(::getpid()));
        name = second;
        debugLog = openPrivateLog(second);
    }
    debugPid = ::getpid();
    if (!debugLog) {
        if (errno != ENOENT)
            std::printf("Cannot open %s file, errno %d\n", name, errno);
        return;
    }
    std::fprintf(debugLog, "\nHello from pid %ld\n", static_cast<long>(debugPid));
    std::fflush(debugLog);
}

std::string TDebuggable::formatLine(const char* format, va_list args) {
    char buf[kMaxLogLine + 1];
    int n = std::vsnprintf(buf, sizeof buf, format ? format : "", args);
    if (n < 0)
        return std::string();
    return std::string(buf, std::min(static_cast<size_t>(n), kMaxLogLine));
}

void TDebuggable::writeToFile(std::string line) {
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::lock_guard<std::mutex> guard(logMutex);
    writeLocked(line, !useStdout_);
}

void TDebuggable::writeLocked(const std::string& line, bool echo) {
    if (!debugLog)
        return;
    if (echo && ::isatty(STDOUT_FILENO))
        std::fputs(line.c_str(), stdout);
    std::fputs(line.c_str(), debugLog);
    std::fflush(debugLog);
}

// prefix + ": " + text, cut to the longest line the log keeps.
static std::string joinPrefix(const std::string& prefix, const std::string& text) {
    std::string line = prefix + ": " + text;
    if (line.size() > kMaxLogLine)
        line.resize(kMaxLogLine);
    return line;
}

void TDebuggable::debug(int level, const char* format, ...) {
    va_list ap;
    if (logEventsFlag && !useStdout_) {
        va_start(ap, format);
        EvDebug::handleMsgEventDebug_NEW(&event_, level, jobId_, prefix_.c_str(), nullptr, -1,
                                         format, ap);
        va_end(ap);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(logMutex);
        if (!debugLog)
            return;
    }
    va_start(ap, format);
    std::string text = formatLine(format, ap);
    va_end(ap);
    if (useStdout_)
        std::printf("%s(%d): %s", prefix_.c_str(), level, text.c_str());
    std::string line = joinPrefix(prefix_, text);
    // A line with an LF anywhere is written as it stands.
    if (line.find('\n') != std::string::npos) {
        std::lock_guard<std::mutex> guard(logMutex);
        writeLocked(line, !useStdout_);
        return;
    }
    writeToFile(line);
}

void TDebuggable::setDebugPrefix(const char* prefix) {
    prefix_ = prefix ? prefix : "";
}

void TDebuggable::logEvents(int on) {
    logEventsFlag = on;
}
int TDebuggable::getLogEventsFlag() {
    return logEventsFlag;
}
void TDebuggable::setMultiJob(bool on) {
    multiJobFlag = on;
}
bool TDebuggable::isMultiJob() {
    return multiJobFlag;
}
void TDebuggable::setMultiThreaded(bool on) {
    multiThreadedFlag = on;
}
bool TDebuggable::isMultiThreaded() {
    return multiThreadedFlag;
}
bool TDebuggable::isSymLinkTableFlagSet() {
    return symlinkTableFlag;
}
int TDebuggable::getUsageCount() {
    return usageCount;
}

void TDebuggable::setJobId(long long id) {
    jobId_ = id;
    if (id != 0 && !OXPI_Focus::AmIAService())
        event_.setJobId(id);
}

void TDebuggable::setProgramName(const char* name) {
    if (!event_.getReady())
        event_.initialize(2, static_cast<unsigned int>(EvDebug::getLogId(name) & 0xFFFFFFFFu),
                          jobId_, nullptr, name);
}

const char* TDebuggable::appToString(unsigned int realmNumber, unsigned int applicationId) {
    char num[64];
    std::snprintf(num, sizeof num, "%lu:%lu", static_cast<unsigned long>(realmNumber),
                  static_cast<unsigned long>(applicationId));
    unsigned long r = realmNumber, a = applicationId;
    ApplicationId app(realmNumber, applicationId);
    int rc = app.getApplicationId();
    auto fail = [&](const char* what, int code, bool withCode) -> const char* {
        if (withCode)
            debug(1, "appToString: %s failed for realm %lu app %lu, code %d\n", what, r, a, code);
        else
            debug(1, "appToString: %s failed for realm %lu app %lu\n", what, r, a);
        appText_ = num;
        return appText_.c_str();
    };
    if (rc != 0)
        return fail("getApplicationId", rc, true);
    // Each object first, then its name, in the order the name is built.
    std::string names[5];
    const std::string* client = app.getClient();
    if (!client)
        return fail("getClient", 0, false);
    if ((rc = ApplicationId::getName(client, names[0])) != 0)
        return fail("getClientName", rc, true);
    const std::string* type = app.getApplicationType();
    if (!type)
        return fail("getApplicationType", 0, false);
    if ((rc = ApplicationId::getName(type, names[1])) != 0)
        return fail("getAppTypeName", rc, true);
    bool hasInstance = false;
    if ((rc = app.isInstanceAvailable(hasInstance)) != 0)
        return fail("isInstanceAvailable", rc, true);
    if (hasInstance) {
        const std::string* inst = app.getInstance();
        if (!inst)
            return fail("getInstance", 0, false);
        if ((rc = ApplicationId::getName(inst, names[2])) != 0)
            return fail("getInstanceName", rc, true);
    }
    const std::string* set = app.getBackupSet();
    if (!set)
        return fail("getBackupSet", 0, false);
    if ((rc = ApplicationId::getName(set, names[3])) != 0)
        return fail("getBackupSetName", rc, true);
    const std::string* sub = app.getSubclient();
    if (!sub)
        return fail("getSubclient", 0, false);
    if ((rc = ApplicationId::getName(sub, names[4])) != 0)
        return fail("getSubclientName", rc, true);
    appText_ = names[0] + "\\" + names[1] + "\\";
    if (hasInstance)
        appText_ += names[2] + "\\";
    appText_ += names[3] + "\\" + names[4];
    return appText_.c_str();
}

void TDebuggable::appEvent(unsigned int realmNumber, unsigned int applicationId) {
    ev() << appToString(realmNumber, applicationId);
}

const char* TDebuggable::dateToString(unsigned int time) {
    if (time == 0) {
        dateText_ = "now";
        return dateText_.c_str();
    }
    char buf[1024];
    if (!OX_ctime(time, buf, sizeof buf)) {
        dateText_ = "error";
        return dateText_.c_str();
    }
    dateText_ = buf;
    for (int i = 0; i < 2 && !dateText_.empty(); ++i) {
        if (dateText_.back() != '\n' && dateText_.back() != '\r')
            break;
        dateText_.pop_back();
    }
    return dateText_.c_str();
}

void TDebuggable::dateEvent(unsigned int time) {
    ev() << dateToString(time);
}

int TDebuggable::getRegistryNumber(const char* key, unsigned long* value, const char* section) {
    OXPlatformInfo info;
    return info.getNumber(section ? section : "Depot", key, value) ? 0 : -1;
}

const char* TDebuggable::getRegistryString(const char* key, const char* section) {
    if (OXPI_Focus::getFocus().empty())
        return nullptr;
    char buf[kRegistryBufferSize];
    int length = kRegistryBufferSize;
    OXPlatformInfo info;
    if (!info.getString(section ? section : "Depot", key, buf, &length))
        return nullptr;
    registryText_.assign(buf, static_cast<size_t>(length));
    return registryText_.c_str();
}

void TDebuggableAnyLog::debug(int level, const char* format, ...) {
    if (level > EvDebug::getDebugLevel(ev()) && !(logTwoPlaces_ && !externalEvent_))
        return;
    va_list ap;
    va_start(ap, format);
    std::string text = formatLine(format, ap);
    va_end(ap);
    if (useStdout_)
        std::printf("%s(%d): %s", prefix_.c_str(), level, text.c_str());
    std::string line = joinPrefix(prefix_, text);
    if (getLogEventsFlag() && !useStdout_) {
        // The event logs take the line up to its last LF.
        std::string forLog = line;
        std::string::size_type lf = forLog.rfind('\n');
        if (lf != std::string::npos)
            forLog.resize(lf);
        auto send = [&](EvEvent* target) {
            if (jobId_)
                EvDebug::DebugJob(target, level, "", jobId_, "%s", forLog.c_str());
            else
                EvDebug::debugLvl(target, level, "%s", forLog.c_str());
        };
        send(&ev());
        if (externalEvent_ && logTwoPlaces_)
            send(&event_);
    }
    writeToFile(line);
}

void TDebuggableAnyLog::setEvent(EvEvent* ev) {
    externalEvent_ = ev;
    if (jobId_ && ev)
        ev->setJobId(jobId_);
}

void TDebuggableAnyLog::setJobId(long long id) {
    TDebuggable::setJobId(id);
    if (externalEvent_ && id != 0 && !OXPI_Focus::AmIAService())
        externalEvent_->setJobId(id);
}

void TDebuggableAnyLog::setProgramName(const char* name) {
    if (externalEvent_ && !externalEvent_->getReady())
        externalEvent_->initialize(2,
                                   static_cast<unsigned int>(EvDebug::getLogId(name) & 0xFFFFFFFFu),
                                   jobId_, nullptr, name);
    TDebuggable::setProgramName(name);
}

TAnyLogGuardian::TAnyLogGuardian(TDebuggableAnyLog* object) : object_(object) {
    if (object_) {
        savedEvent_ = object_->getEvent();
        savedTwoPlaces_ = object_->getLogTwoPlaces();
    }
}

TAnyLogGuardian::~TAnyLogGuardian() {
    if (object_) {
        object_->setEvent(savedEvent_);
        object_->setLogTwoPlaces(savedTwoPlaces_);
    }
}
