// Timing statistics: counters of samples (timed operations) and bytes moved,
// with a summary line in the debug log at most once per print delay.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/CAverageCounter.h"
#include "platform/OxCriticalSection.h"

class EvEvent;

// A counter used by one thread.
class SAverageTimeNotThreadSafe : public CAverageCounter {
public:
    // printDelay: seconds between summary lines; 0 or less takes the process
    // default on the first print.
    explicit SAverageTimeNotThreadSafe(const char* name = nullptr, bool resetAfterPrint = false,
                                       int printDelay = 0, uint64_t jobId = 0, int debugLevel = 1);

    void Start() { start(); }
    // Ends the sample and keeps the longest one seen.
    void Stop();
    void Reset() override;
    void addBytes(uint64_t n) { bytes_ += n; }
    SAverageTimeNotThreadSafe& operator+=(const SAverageTimeNotThreadSafe& other);

    // Writes the summary line through ev's debug log when the print delay has
    // passed since the last print (or force is set). jobId 0 prints the
    // counter's own job id.
    void print_if_time_to_print(EvEvent* ev, bool force, uint64_t jobId);

    const std::string& getName() const { return name_; }
    uint64_t getBytes() const { return bytes_; }
    double getMaxTime() const { return maxTime_; }
    int getPrintDelay() const { return printDelay_; }
    time_t getLastPrintTime() const { return lastPrintTime_; }

    // The process default print delay: "~Depot"/"nTRANLOGCATALOGSERVERPERFPERIOD"
    // when the platform has a focus (absent: 1800, below 60: 60), else 1800.
    static int defaultPrintDelay();

private:
    time_t lastPrintTime_;
    std::string name_;
    int printDelay_;
    uint64_t bytes_ = 0;
    bool resetAfterPrint_;
    uint64_t jobId_;
    int debugLevel_;
    double maxTime_ = 0;
};

// A total that many threads merge into. Every operation that reads or changes
// the counter holds the critical section, including the ones the one-thread
// counter has: they are redeclared here so that none runs unlocked.
class SAverageTime : public SAverageTimeNotThreadSafe {
public:
    explicit SAverageTime(const char* name = nullptr, bool resetAfterPrint = false,
                          int printDelay = 0, uint64_t jobId = 0, int debugLevel = 1);
    SAverageTime(const SAverageTime&) = delete;
    SAverageTime& operator=(const SAverageTime&) = delete;

    OxCriticalSection& getCriticalSection() { return cs_; }

    void Init() override;
    void Reset() override;
    void Cancel() override;
    void Print(EvEvent* ev, int level) const override;
    void Start();
    void Stop();
    void addBytes(uint64_t n);
    SAverageTime& operator+=(const SAverageTimeNotThreadSafe& other);
    // Another shared total is read under its own lock first, so two totals
    // merged into each other never wait for each other.
    SAverageTime& operator+=(const SAverageTime& other);
    void print_if_time_to_print(EvEvent* ev, bool force, uint64_t jobId);
    void add_and_print_if_time_to_print(EvEvent* ev, const SAverageTimeNotThreadSafe& other,
                                        bool force);
    // A consistent copy of the counts.
    SAverageTimeNotThreadSafe snapshot() const;

private:
    mutable OxCriticalSection cs_;
};

// Times one operation from construction to destruction and merges it into a
// shared total. Not copyable: a copy would merge the same sample twice.
class SAverageTimeHelper {
public:
    SAverageTimeHelper(SAverageTime& total, EvEvent* ev);
    ~SAverageTimeHelper();
    SAverageTimeHelper(const SAverageTimeHelper&) = delete;
    SAverageTimeHelper& operator=(const SAverageTimeHelper&) = delete;

    void addBytes(uint64_t n) { own_.addBytes(n); }

private:
    SAverageTime& total_;
    EvEvent* ev_;
    SAverageTimeNotThreadSafe own_;
};
