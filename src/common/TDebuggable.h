// The diagnostic log every object of the library carries.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/EvEvent.h"

class TDebuggable {
public:
    TDebuggable();
    TDebuggable(const TDebuggable& other);
    TDebuggable& operator=(const TDebuggable& other);
    virtual ~TDebuggable();

    virtual void debug(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void setDebugPrefix(const char* prefix);
    const char* getDebugPrefix() const { return prefix_.c_str(); }
    void useStdout(int on) { useStdout_ = on ? 1 : 0; }
    int usesStdout() const { return useStdout_; }

    static void logEvents(int on);
    static int getLogEventsFlag();
    static void setMultiJob(bool on);
    static bool isMultiJob();
    // Process-wide: whether reservations of this process are shared between
    // threads (true, the default) or kept in a per-process buffer (false).
    static void setMultiThreaded(bool on);
    static bool isMultiThreaded();
    static bool isSymLinkTableFlagSet();
    static int getUsageCount();

    virtual void setJobId(long long id);
    long long getJobId() const { return jobId_; }
    virtual void setProgramName(const char* name);

    virtual EvEvent& ev() { return event_; }

    const char* appToString(unsigned int realmNumber, unsigned int applicationId);
    void appEvent(unsigned int realmNumber, unsigned int applicationId);
    const char* dateToString(unsigned int time);
    void dateEvent(unsigned int time);

    int getRegistryNumber(const char* key, unsigned long* value, const char* section);
    const char* getRegistryString(const char* key, const char* section);

protected:
    // Formats at most the 4104 bytes a log line may hold.
    static std::string formatLine(const char* format, va_list args);
    // Writes a line to the /tmp log file (LF ensured), echoing it to a terminal.
    void writeToFile(std::string line);

    long long jobId_ = 0;
    std::string prefix_;
    std::string appText_;
    std::string dateText_;
    std::string registryText_;
    EvEvent event_;
    int useStdout_ = 0;

private:
    // Both with logMutex held.
    static void openChannel();
    static void writeLocked(const std::string& line, bool echo);

    // Threads of a host process create and destroy objects at once: the
    // count, the flags and the /tmp file are shared by all of them.
    static std::atomic<int> usageCount;
    static std::atomic<int> logEventsFlag;
    static std::mutex logMutex; // guards usageCount's transitions and debugLog
    static FILE* debugLog;
    static long long debugPid;
    static std::atomic<bool> multiJobFlag;
    static std::atomic<bool> multiThreadedFlag;
    static bool symlinkTableFlag;
};

class TDebuggableAnyLog : public TDebuggable {
public:
    void debug(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

    void setEvent(EvEvent* ev);
    EvEvent* getEvent() const { return externalEvent_; }
    void setJobId(long long id) override;
    void setProgramName(const char* name) override;
    void setLogTwoPlaces(bool on) { logTwoPlaces_ = on; }
    bool getLogTwoPlaces() const { return logTwoPlaces_; }

    EvEvent& ev() override { return externalEvent_ ? *externalEvent_ : event_; }

protected:
    EvEvent* externalEvent_ = nullptr;
    bool logTwoPlaces_ = false;
};

// Restores an object's external event log and two-places flag at the end of a scope.
class TAnyLogGuardian : public TDebuggable {
public:
    explicit TAnyLogGuardian(TDebuggableAnyLog* object);
    ~TAnyLogGuardian() override;
    TAnyLogGuardian(const TAnyLogGuardian&) = delete;
    TAnyLogGuardian& operator=(const TAnyLogGuardian&) = delete;

private:
    TDebuggableAnyLog* object_;
    EvEvent* savedEvent_ = nullptr;
    bool savedTwoPlaces_ = false;
};

// The maximum length of a log line's text before its line end.
constexpr size_t kMaxLogLine = 4104;

extern "C" {
// Directory of the shell tool's SHELL.LOG; empty means no log file.
extern char m_shellIndexCache[1026];
int idxIsprint(int c);
void shellprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* shellgets(char* buffer, int size);
void shellputString(const char* text);
void __shellPutString(const char* text);
}
