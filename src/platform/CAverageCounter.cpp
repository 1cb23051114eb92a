#include "platform/CAverageCounter.h"

#include "platform/Env.h"
#include "platform/EvEvent.h"

void CStopWatch::Start() {
    startNs_ = platform::monotonicNs();
    running_ = true;
}

void CStopWatch::Stop() {
    if (!running_)
        return;
    long long elapsed = platform::monotonicNs() - startNs_;
    lastSeconds_ = elapsed > 0 ? static_cast<double>(elapsed) / 1e9 : 0.0;
    running_ = false;
}

void CAverageCounter::Reset() {
    samples_ = 0;
    totalSeconds_ = 0;
    watch_ = CStopWatch();
}

void CAverageCounter::Cancel() {
    watch_ = CStopWatch();
}

void CAverageCounter::Print(EvEvent* ev, int level) const {
    EvDebug::debugLvl(ev, level, "Samples = %llu,Time = %f Sec(s),Average = %f Sec/Sample",
                      static_cast<unsigned long long>(samples_), totalSeconds_, getAverage());
}

bool CAverageCounter::stop() {
    if (!watch_.isRunning())
        return false;
    watch_.Stop();
    ++samples_;
    totalSeconds_ += watch_.Time();
    return true;
}

void CAverageCounter::add(const CAverageCounter& other) {
    samples_ += other.samples_;
    totalSeconds_ += other.totalSeconds_;
}

double CAverageCounter::getAverage() const {
    return samples_ ? totalSeconds_ / static_cast<double>(samples_) : 0.0;
}
