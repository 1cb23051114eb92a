// Stand-in for the platform event log and debug log.
//
// Debug lines go to <home>/logs/<program>.log (lines of the clean-up event
// logs, modules 1679234300 and 1482150626, to IndexCacheCleanup.log and
// JobResultsCleanup.log) as
//   "<YYYY-MM-DD HH:MM:SS> <pid> <level> <job id> <text>"
// and are filtered by the debug level read from the key store
// (section "idxcache.platform", key "DebugLevel", default 1).
// Events go to <home>/logs/events.log, one line per raise:
//   "<YYYY-MM-DD HH:MM:SS> <pid> <SEVERITY> 0x0E0000nn job=<id> module=<id> [<code>:<value>]..."
// A TestSink installed in the process also receives both, in memory.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class EvEvent {
public:
    enum ArgType { ArgInt = 5, ArgLong = 9, ArgULong = 10, ArgText = 11 };
    struct Argument {
        int type;
        std::string value;
    };

    EvEvent() = default;

    int initialize(int kind, unsigned int moduleId, long long jobId, void* callback,
                   const char* programName);
    bool getReady() const { return ready_; }
    void setJobId(long long jobId) { jobId_ = jobId; }
    long long getJobId() const { return jobId_; }
    unsigned int getModuleId() const { return moduleId_; }
    const std::string& getProgramName() const { return programName_; }

    void addArgument(const void* value, int type);
    EvEvent& operator<<(const char* text);
    EvEvent& operator<<(const std::string& text);
    EvEvent& operator<<(int v);
    EvEvent& operator<<(unsigned long v);
    EvEvent& operator<<(long v);
    EvEvent& operator<<(long long v);
    const std::vector<Argument>& pendingArguments() const { return args_; }

    // The catalogue text of an event number into buffer; its length, or 0
    // when the catalogue has no text for it.
    static int evPrintf(unsigned int number, char* buffer, int size);

    // Raise: the accumulated arguments go with the event and are cleared.
    int MajorEvent(unsigned int number, int a = 0, int b = 0);
    int CriticalEvent(unsigned int number, int a = 0, int b = 0);
    int InfoEvent(unsigned int number, int a = 0, int b = 0);

private:
    int raise(const char* severity, unsigned int number);

    bool ready_ = false;
    int kind_ = 0;
    unsigned int moduleId_ = 0;
    long long jobId_ = 0;
    std::string programName_;
    std::vector<Argument> args_;
};

class EvDebug {
public:
    // The process's debug level for this event log (key store, default 1).
    static int getDebugLevel(EvEvent* ev);
    static int getDebugLevel(EvEvent& ev) { return getDebugLevel(&ev); }
    // Full form used by TDebuggable::debug: the platform composes "prefix: text".
    static void handleMsgEventDebug_NEW(EvEvent* ev, int level, long long jobId, const char* prefix,
                                        const char* component, int extra, const char* format,
                                        va_list args);
    static void DebugJob(EvEvent* ev, int level, const char* component, long long jobId,
                         const char* format, ...) __attribute__((format(printf, 5, 6)));
    static void debugLvl(EvEvent* ev, int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static void DebugLvl(EvEvent* ev, int level, const char* component, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    static void debug(EvEvent* ev, int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A stable 64-bit id for a program name.
    static unsigned long long getLogId(const char* name);
    // The program name of this process (its executable's short name unless set).
    static const char* getApplicationName();
    static void setApplicationName(const char* name);
};

namespace platform {

struct CapturedLine {
    int level;
    long long jobId;
    std::string text; // "PREFIX: text" without the trailing LF
};

struct CapturedEvent {
    std::string severity; // "MAJOR", "CRITICAL", "INFO"
    unsigned int number;
    long long jobId;
    unsigned int moduleId;
    std::vector<EvEvent::Argument> args;
};

// A pending cause set on a job through the platform's job client.
struct CapturedPendingCause {
    long long jobId;
    unsigned int messageId;
    int messageType;
    std::vector<std::string> args;
};

// Captures debug lines and events of this process in memory while alive.
// Lines are captured whatever the debug level, with their level, so that
// tests can assert on the exact texts the library produced.
class TestSink {
public:
    TestSink();
    ~TestSink();
    TestSink(const TestSink&) = delete;
    TestSink& operator=(const TestSink&) = delete;

    std::vector<CapturedLine> lines() const;
    std::vector<CapturedEvent> events() const;
    std::vector<CapturedPendingCause> pendingCauses() const;
    // True when some captured line contains the fragment.
    bool hasLine(const std::string& fragment) const;
    // Number of captured events with this number.
    int countEvents(unsigned int number) const;
    void clear();

    void addLine(const CapturedLine& l);
    void addEvent(const CapturedEvent& e);
    void addPendingCause(const CapturedPendingCause& c);

private:
    mutable std::mutex mu_;
    std::vector<CapturedLine> lines_;
    std::vector<CapturedEvent> events_;
    std::vector<CapturedPendingCause> pendingCauses_;
    TestSink* previous_;
};

// While a batch lives (in any thread of the process), debug and event lines
// are kept in memory and written, whole lines and one write per file, when
// the outermost batch ends or whenever 32 KiB have gathered: an operation
// that logs a few lines for each of thousands of directories costs a few
// writes instead of one per line. An installed TestSink still receives every
// line at once. Lines not yet written are lost when the process dies. A batch
// belongs to the process that opened it: a forked child writes its own lines
// at once and never writes the lines its parent gathered.
class LogBatch {
public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;

private:
    long owner_;
};

// Writes one debug line through the platform log (used by the log stand-in
// itself and by free functions that have no event object).
void writeDebugLine(int level, long long jobId, const std::string& text);
// Hands a pending cause to the installed TestSink, if any.
void capturePendingCause(const CapturedPendingCause& c);

} // namespace platform
