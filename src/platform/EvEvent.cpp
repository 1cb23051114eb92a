#include "platform/EvEvent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

namespace platform {

namespace {

std::mutex sinkMu;
TestSink* activeSink = nullptr;

std::mutex nameMu;
std::string programName;

std::string stamp() {
    time_t t = now();
    struct tm tmv;
    char buf[32];
    if (!::localtime_r(&t, &tmv) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv))
        return "0000-00-00 00:00:00";
    return buf;
}

// The log files a process appends to: descriptors kept open, and the lines
// the process's batch has gathered for each.
struct LogFiles {
    std::mutex mu;
    std::map<std::string, int> open;
    std::map<std::string, std::string> pending;
    size_t pendingBytes = 0;
    int batchDepth = 0;
    long batchOwner = 0; // the process whose batch is open (a forked child's is its parent's)
};

constexpr size_t kBatchFlushBytes = 32 * 1024;

LogFiles& logFiles() {
    static LogFiles* files = new LogFiles; // never destroyed: usable from static destructors
    return *files;
}

// Appends whole lines with a single write, so lines of several processes
// never interleave. The caller holds the lock.
void writeLines(LogFiles& files, const std::string& file, const std::string& lines) {
    // The log files stay open: a write costs one call. A file removed since
    // (st_nlink 0) is opened afresh.
    auto it = files.open.find(file);
    int fd = it == files.open.end() ? -1 : it->second;
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_nlink == 0)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        fd = openCreating(file, O_WRONLY | O_APPEND, 0644);
        if (fd < 0) {
            files.open.erase(file);
            return;
        }
        files.open[file] = fd;
    }
    ssize_t rc;
    do {
        rc = ::write(fd, lines.data(), lines.size());
    } while (rc < 0 && errno == EINTR);
}

// Writes what the batch gathered; a forked child drops its parent's lines.
void flushPending(LogFiles& files) {
    if (files.batchOwner == processId()) {
        for (const auto& entry : files.pending)
            writeLines(files, entry.first, entry.second);
    }
    files.pending.clear();
    files.pendingBytes = 0;
}

void appendLine(const std::string& file, const std::string& line) {
    std::string l = line;
    if (l.empty() || l.back() != '\n')
        l += '\n';
    LogFiles& files = logFiles();
    std::lock_guard<std::mutex> g(files.mu);
    if (files.batchDepth == 0 || files.batchOwner != processId()) {
        if (!files.pending.empty())
            flushPending(files);
        writeLines(files, file, l);
        return;
    }
    files.pending[file] += l;
    files.pendingBytes += l.size();
    if (files.pendingBytes >= kBatchFlushBytes)
        flushPending(files);
}

std::string vformat(const char* format, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

std::string stripEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

int cachedLevel = 1;
unsigned long cachedGeneration = ~0UL;
struct timespec cachedAt = {0, 0};
std::mutex levelMu;

// The debug file of an event log: the clean-up logs have their own files, so
// a line logged "two places" lands once in each; everything else goes to the
// program's file.
std::string logFileOf(const EvEvent* ev) {
    std::string dir = homePath("logs", true) + "/";
    if (ev && ev->getModuleId() == 1679234300u)
        return dir + "IndexCacheCleanup.log";
    if (ev && ev->getModuleId() == 1482150626u)
        return dir + "JobResultsCleanup.log";
    return dir + EvDebug::getApplicationName() + ".log";
}

void emit(int level, long long jobId, const std::string& text, const EvEvent* ev = nullptr) {
    std::string body = stripEnd(text);
    {
        std::lock_guard<std::mutex> g(sinkMu);
        if (activeSink)
            activeSink->addLine({level, jobId, body});
    }
    if (level > EvDebug::getDebugLevel(nullptr))
        return;
    char head[96];
    std::snprintf(head, sizeof head, " %ld %d %lld ", static_cast<long>(processId()), level, jobId);
    appendLine(logFileOf(ev), stamp() + head + body);
}

} // namespace

LogBatch::LogBatch() : owner_(processId()) {
    LogFiles& files = logFiles();
    std::lock_guard<std::mutex> g(files.mu);
    if (files.batchOwner != owner_) {
        // A batch inherited from a parent process is not this process's.
        flushPending(files);
        files.batchDepth = 0;
        files.batchOwner = owner_;
    }
    ++files.batchDepth;
}

LogBatch::~LogBatch() {
    LogFiles& files = logFiles();
    std::lock_guard<std::mutex> g(files.mu);
    if (owner_ != processId() || files.batchOwner != owner_)
        return; // the parent's batch, copied into a forked child
    if (--files.batchDepth == 0)
        flushPending(files);
}

void writeDebugLine(int level, long long jobId, const std::string& text) {
    emit(level, jobId, text);
}

TestSink::TestSink() {
    std::lock_guard<std::mutex> g(sinkMu);
    previous_ = activeSink;
    activeSink = this;
}

TestSink::~TestSink() {
    std::lock_guard<std::mutex> g(sinkMu);
    activeSink = previous_;
}

std::vector<CapturedLine> TestSink::lines() const {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
}

std::vector<CapturedEvent> TestSink::events() const {
    std::lock_guard<std::mutex> g(mu_);
    return events_;
}

std::vector<CapturedPendingCause> TestSink::pendingCauses() const {
    std::lock_guard<std::mutex> g(mu_);
    return pendingCauses_;
}

bool TestSink::hasLine(const std::string& fragment) const {
    std::lock_guard<std::mutex> g(mu_);
    for (const CapturedLine& l : lines_) {
        if (l.text.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

int TestSink::countEvents(unsigned int number) const {
    std::lock_guard<std::mutex> g(mu_);
    int n = 0;
    for (const CapturedEvent& e : events_)
        n += e.number == number;
    return n;
}

void TestSink::clear() {
    std::lock_guard<std::mutex> g(mu_);
    lines_.clear();
    events_.clear();
    pendingCauses_.clear();
}

void TestSink::addLine(const CapturedLine& l) {
    std::lock_guard<std::mutex> g(mu_);
    lines_.push_back(l);
}

void TestSink::addEvent(const CapturedEvent& e) {
    std::lock_guard<std::mutex> g(mu_);
    events_.push_back(e);
}

void TestSink::addPendingCause(const CapturedPendingCause& c) {
    std::lock_guard<std::mutex> g(mu_);
    pendingCauses_.push_back(c);
}

void capturePendingCause(const CapturedPendingCause& c) {
    std::lock_guard<std::mutex> g(sinkMu);
    if (activeSink)
        activeSink->addPendingCause(c);
}

} // namespace platform

int EvEvent::initialize(int kind, unsigned int moduleId, long long jobId, void* /*callback*/,
                        const char* programName) {
    kind_ = kind;
    moduleId_ = moduleId;
    jobId_ = jobId;
    programName_ = programName ? programName : "";
    ready_ = true;
    return 0;
}

void EvEvent::addArgument(const void* value, int type) {
    Argument a;
    a.type = type;
    char buf[32];
    switch (type) {
    case ArgText:
        a.value = value ? static_cast<const char*>(value) : "";
        break;
    case ArgInt:
        std::snprintf(buf, sizeof buf, "%d", *static_cast<const int*>(value));
        a.value = buf;
        break;
    case ArgULong:
        std::snprintf(buf, sizeof buf, "%lu", *static_cast<const unsigned long*>(value));
        a.value = buf;
        break;
    case ArgLong:
        std::snprintf(buf, sizeof buf, "%lld", *static_cast<const long long*>(value));
        a.value = buf;
        break;
    default:
        a.value = "?";
        break;
    }
    args_.push_back(std::move(a));
}

EvEvent& EvEvent::operator<<(const char* text) {
    addArgument(text, ArgText);
    return *this;
}

EvEvent& EvEvent::operator<<(const std::string& text) {
    addArgument(text.c_str(), ArgText);
    return *this;
}

EvEvent& EvEvent::operator<<(int v) {
    addArgument(&v, ArgInt);
    return *this;
}

EvEvent& EvEvent::operator<<(unsigned long v) {
    addArgument(&v, ArgULong);
    return *this;
}

EvEvent& EvEvent::operator<<(long v) {
    long long w = v;
    addArgument(&w, ArgLong);
    return *this;
}

EvEvent& EvEvent::operator<<(long long v) {
    addArgument(&v, ArgLong);
    return *this;
}

int EvEvent::evPrintf(unsigned int number, char* buffer, int size) {
    // The texts of the events the library writes to a clean-up log file.
    static const struct {
        unsigned int number;
        const char* text;
    } catalogue[] = {
        {0x0E0000FB, "Cache directory is in use by another process and was not removed"},
        {0x0E0000FC, "Cache directory could not be opened for removal"},
        {0x0E0000FD, "Cache directory could not be removed"},
    };
    if (!buffer || size <= 0)
        return 0;
    buffer[0] = '\0';
    for (const auto& entry : catalogue) {
        if (entry.number == number) {
            int n = std::snprintf(buffer, static_cast<size_t>(size), "%s", entry.text);
            return n < 0 ? 0 : std::min(n, size - 1);
        }
    }
    return 0;
}

int EvEvent::MajorEvent(unsigned int number, int, int) {
    return raise("MAJOR", number);
}
int EvEvent::CriticalEvent(unsigned int number, int, int) {
    return raise("CRITICAL", number);
}
int EvEvent::InfoEvent(unsigned int number, int, int) {
    return raise("INFO", number);
}

int EvEvent::raise(const char* severity, unsigned int number) {
    std::vector<Argument> args;
    args.swap(args_);
    if (!ready_)
        return -1;
    {
        std::lock_guard<std::mutex> g(platform::sinkMu);
        if (platform::activeSink)
            platform::activeSink->addEvent({severity, number, jobId_, moduleId_, args});
    }
    char head[128];
    std::snprintf(head, sizeof head, " %ld %s 0x%08X job=%lld module=%u",
                  static_cast<long>(platform::processId()), severity, number, jobId_, moduleId_);
    std::string line = platform::stamp() + head;
    for (const Argument& a : args) {
        std::string v;
        for (char c : a.value) {
            if (c == '\n')
                v += "\\n";
            else if (c == '"' || c == '\\')
                v += std::string("\\") + c;
            else
                v += c;
        }
        line += " [" + std::to_string(a.type) + ":\"" + v + "\"]";
    }
    platform::appendLine(platform::homePath("logs", true) + "/events.log", line);
    return 0;
}

int EvDebug::getDebugLevel(EvEvent*) {
    using namespace platform;
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    std::lock_guard<std::mutex> g(levelMu);
    unsigned long gen = KeyStore::generation();
    // Re-read at most once a second unless this process changed the store.
    if (gen != cachedGeneration || t.tv_sec != cachedAt.tv_sec) {
        cachedLevel = static_cast<int>(KeyStore::getNumberOr(kPlatformSection, "DebugLevel", 1));
        cachedGeneration = gen;
        cachedAt = t;
    }
    return cachedLevel;
}

void EvDebug::handleMsgEventDebug_NEW(EvEvent* ev, int level, long long jobId, const char* prefix,
                                      const char* /*component*/, int /*extra*/, const char* format,
                                      va_list args) {
    std::string text = std::string(prefix ? prefix : "") + ": " + platform::vformat(format, args);
    platform::emit(level, jobId, text, ev);
}

void EvDebug::DebugJob(EvEvent* ev, int level, const char* /*component*/, long long jobId,
                       const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = platform::vformat(format, ap);
    va_end(ap);
    platform::emit(level, jobId, text, ev);
}

void EvDebug::debugLvl(EvEvent* ev, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = platform::vformat(format, ap);
    va_end(ap);
    platform::emit(level, ev ? ev->getJobId() : 0, text, ev);
}

void EvDebug::DebugLvl(EvEvent* ev, int level, const char* component, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = platform::vformat(format, ap);
    va_end(ap);
    if (component && *component)
        text = std::string(component) + ": " + text;
    platform::emit(level, ev ? ev->getJobId() : 0, text, ev);
}

void EvDebug::debug(EvEvent* ev, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = platform::vformat(format, ap);
    va_end(ap);
    platform::emit(level, ev ? ev->getJobId() : 0, text, ev);
}

unsigned long long EvDebug::getLogId(const char* name) {
    // FNV-1a: stable across processes and runs.
    unsigned long long h = 1469598103934665603ULL;
    for (const char* p = name ? name : ""; *p; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 1099511628211ULL;
    }
    return h;
}

const char* EvDebug::getApplicationName() {
    std::lock_guard<std::mutex> g(platform::nameMu);
    if (platform::programName.empty()) {
        const char* n = program_invocation_short_name;
        platform::programName = n && *n ? n : "idxcache";
        for (char& c : platform::programName) {
            if (c == '/')
                c = '_';
        }
    }
    return platform::programName.c_str();
}

void EvDebug::setApplicationName(const char* name) {
    std::lock_guard<std::mutex> g(platform::nameMu);
    platform::programName = name ? name : "";
}
