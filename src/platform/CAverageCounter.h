// Stand-ins for the platform's performance counters: a stop watch on the
// monotonic clock of platform::Env (so a wall clock set back never yields a
// negative interval, and tests drive it with a VirtualClock) and a counter of
// samples with their total time.
#pragma once

#include <cstdint>

class EvEvent;

// Measures one interval at a time.
class CStopWatch {
public:
    void Start();
    // Ends the interval; its length is then Time ().
    void Stop();
    // Seconds of the last completed interval (never negative).
    double Time() const { return lastSeconds_; }
    bool isRunning() const { return running_; }

private:
    long long startNs_ = 0;
    double lastSeconds_ = 0;
    bool running_ = false;
};

class CCounterBase {
public:
    virtual ~CCounterBase() = default;
    // Clears everything the counter holds.
    virtual void Init() = 0;
    virtual void Reset() = 0;
};

// Sample count, accumulated time and the stop watch of the running sample.
class CAverageCounter : public CCounterBase {
public:
    CAverageCounter() = default;
    void Init() override { Reset(); }
    void Reset() override;
    // Drops the running sample without counting it.
    virtual void Cancel();
    // Writes "Samples = %llu,Time = %f Sec(s),Average = %f Sec/Sample" to the
    // event object's debug log at the level.
    virtual void Print(EvEvent* ev, int level) const;

    void start() { watch_.Start(); }
    // Ends the running sample and counts it; false when none was running.
    bool stop();
    // Adds the other counter's samples and time.
    void add(const CAverageCounter& other);

    uint64_t getSamples() const { return samples_; }
    double getTotalTime() const { return totalSeconds_; }
    // Total time / samples (0 without samples).
    double getAverage() const;
    const CStopWatch& getStopWatch() const { return watch_; }

private:
    uint64_t samples_ = 0;
    double totalSeconds_ = 0;
    CStopWatch watch_;
};
