#include "common/SAverageTime.h"

#include <atomic>

#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"

namespace {

constexpr int kDefaultPrintDelay = 1800;
constexpr int kMinPrintDelay = 60;

// Written without a lock by whoever needs it first: every writer computes the
// same value, and the atomic keeps the unlocked read and write well defined.
std::atomic<int> processPrintDelay{0};

// Holds a critical section for a scope.
class Enter {
public:
    explicit Enter(OxCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~Enter() { cs_.leave(); }
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;

private:
    OxCriticalSection& cs_;
};

} // namespace

SAverageTimeNotThreadSafe::SAverageTimeNotThreadSafe(const char* name, bool resetAfterPrint,
                                                     int printDelay, uint64_t jobId, int debugLevel)
    : lastPrintTime_(platform::now()), name_(name ? name : ""), printDelay_(printDelay),
      resetAfterPrint_(resetAfterPrint), jobId_(jobId), debugLevel_(debugLevel) {}

void SAverageTimeNotThreadSafe::Stop() {
    if (stop() && getStopWatch().Time() > maxTime_)
        maxTime_ = getStopWatch().Time();
}

void SAverageTimeNotThreadSafe::Reset() {
    maxTime_ = 0;
    bytes_ = 0;
    CAverageCounter::Reset();
}

SAverageTimeNotThreadSafe&
SAverageTimeNotThreadSafe::operator+=(const SAverageTimeNotThreadSafe& other) {
    bytes_ += other.bytes_;
    add(other);
    if (other.maxTime_ > maxTime_)
        maxTime_ = other.maxTime_;
    return *this;
}

int SAverageTimeNotThreadSafe::defaultPrintDelay() {
    int delay = processPrintDelay.load(std::memory_order_relaxed);
    if (delay != 0)
        return delay;
    delay = kDefaultPrintDelay;
    if (!OXPI_Focus::getFocus().empty()) {
        int value = 0;
        OXPlatformInfo info;
        if (info.getRegInt("~Depot", "nTRANLOGCATALOGSERVERPERFPERIOD", &value) == 1)
            delay = value < kMinPrintDelay ? kMinPrintDelay : value;
    }
    processPrintDelay.store(delay, std::memory_order_relaxed);
    return delay;
}

void SAverageTimeNotThreadSafe::print_if_time_to_print(EvEvent* ev, bool force, uint64_t jobId) {
    if (ev == nullptr)
        return;
    // A negative delay is as meaningless as 0: both take the process default.
    if (printDelay_ <= 0)
        printDelay_ = defaultPrintDelay();
    time_t now = platform::now();
    if (now - lastPrintTime_ <= printDelay_ && !force)
        return;
    lastPrintTime_ = now;
    if (getSamples() == 0)
        return;
    unsigned long long id = jobId ? jobId : jobId_;
    unsigned long long samples = getSamples();
    if (bytes_ > 0) {
        double megabytes = static_cast<double>(bytes_) / 1024 / 1024;
        double speed = getTotalTime() > 0 ? megabytes / getTotalTime() : 0.0;
        EvDebug::debugLvl(ev, debugLevel_,
                          "ID = %s: Job Id = %llu,Samples = %llu,Time = %f Sec(s),MaxTime = %f "
                          "Sec(s),Average = %f Sec/Sample, Average Speed=%f MB/Sec",
                          name_.c_str(), id, samples, getTotalTime(), maxTime_, getAverage(),
                          speed);
    } else {
        EvDebug::debugLvl(ev, debugLevel_,
                          "ID = %s: Job Id = %llu,Samples = %llu,Time = %f Sec(s),MaxTime = %f "
                          "Sec(s),Average = %f Sec/Sample",
                          name_.c_str(), id, samples, getTotalTime(), maxTime_, getAverage());
    }
    if (resetAfterPrint_)
        Reset();
}

SAverageTime::SAverageTime(const char* name, bool resetAfterPrint, int printDelay, uint64_t jobId,
                           int debugLevel)
    : SAverageTimeNotThreadSafe(name, resetAfterPrint, printDelay, jobId, debugLevel) {}

void SAverageTime::Init() {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Init();
}

void SAverageTime::Reset() {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Reset();
}

void SAverageTime::Cancel() {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Cancel();
}

void SAverageTime::Print(EvEvent* ev, int level) const {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Print(ev, level);
}

void SAverageTime::Start() {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Start();
}

void SAverageTime::Stop() {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::Stop();
}

void SAverageTime::addBytes(uint64_t n) {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::addBytes(n);
}

SAverageTime& SAverageTime::operator+=(const SAverageTimeNotThreadSafe& other) {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::operator+=(other);
    return *this;
}

SAverageTime& SAverageTime::operator+=(const SAverageTime& other) {
    SAverageTimeNotThreadSafe copy = other.snapshot();
    return *this += copy;
}

void SAverageTime::print_if_time_to_print(EvEvent* ev, bool force, uint64_t jobId) {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::print_if_time_to_print(ev, force, jobId);
}

void SAverageTime::add_and_print_if_time_to_print(EvEvent* ev,
                                                  const SAverageTimeNotThreadSafe& other,
                                                  bool force) {
    Enter g(cs_);
    SAverageTimeNotThreadSafe::operator+=(other);
    SAverageTimeNotThreadSafe::print_if_time_to_print(ev, force, 0);
}

SAverageTimeNotThreadSafe SAverageTime::snapshot() const {
    Enter g(cs_);
    return SAverageTimeNotThreadSafe(*this);
}

SAverageTimeHelper::SAverageTimeHelper(SAverageTime& total, EvEvent* ev)
    : total_(total), ev_(ev), own_(nullptr, false, 0, 0, 1) {
    own_.Start();
}

SAverageTimeHelper::~SAverageTimeHelper() {
    own_.Stop();
    total_.add_and_print_if_time_to_print(ev_, own_, false);
}
