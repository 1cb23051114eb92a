// The job monitor: one call a job's work loop makes often to learn whether it
// should stop (interrupt flag, the job controller's quit flag) and to keep its
// peer connection alive with heartbeats.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/TDebuggable.h"

class COxNetworkServer;
class OXJobCtrlClient;

// Filled and owned by the caller; the monitor keeps a pointer to it.
struct TMonitorJobInput {
    // 1 XDR heartbeat, 2 XML heartbeat, 0 none; any other value acquires and
    // releases the session without sending.
    int32_t heartbeatType = 0;
    // Seconds; 0 asks the monitor to read them from configuration (written back).
    uint64_t heartBeatPeriod = 0;
    uint64_t quitCheckPeriod = 0;
    COxNetworkServer* networkServer = nullptr;
    int64_t sessionHandle = 0;
    // Set by the caller (possibly from a signal handler) to ask for a stop.
    const std::atomic<char>* interruptFlag = nullptr;
    OXJobCtrlClient* jobControl = nullptr;
    int64_t jobId = 0;
};

class TMonitorJob {
public:
    // XDR heartbeat message type and the time-out given to every heartbeat send.
    static constexpr unsigned int kXdrHeartbeatType = 0xE000902;
    static constexpr int kHeartbeatTimeout = 120;
    static constexpr uint64_t kDefaultHeartbeatPeriod = 300;
    static constexpr uint64_t kDefaultQuitCheckPeriod = 60;

    explicit TMonitorJob(TMonitorJobInput* input);
    TMonitorJob(const TMonitorJob&) = delete;
    TMonitorJob& operator=(const TMonitorJob&) = delete;

    // True when the job should stop; once true, always true.
    bool shouldQuit();

private:
    // Whether period seconds of the monotonic clock have passed since last
    // (always, before the first time).
    static bool due(long long lastNs, long long nowNs, uint64_t period);
    void heartbeat();

    TMonitorJobInput* input_;
    TDebuggable log_;
    // Monotonic-clock readings (ns) of the last heartbeat and quit check, so
    // that a wall clock set back neither fires them at once nor holds them off.
    long long lastHeartbeat_;
    long long lastQuitCheck_;
    bool quit_ = false;
};
