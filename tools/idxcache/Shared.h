// What several subcommands share: child processes, a clock of their own,
// reserve-file lines and result pages as a requester reads them.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/Env.h"

class RetrieveResults;

namespace cli {

// Runs body in a forked child that exits with its result.
pid_t spawn(const std::function<int()>& body);
// Waits for a child: its exit code, or 128 + the signal that ended it.
int reap(pid_t pid);

// Every cache directory below a cache root, as realm/app/timestamp.
std::set<std::string> cacheDirs(const std::string& root);

// A clock that starts at start and runs rate times faster than the real one,
// while every wait (a lock held by another process) takes its real time.
// Forked children keep the same reading. Free space goes to the Env below.
class ShiftedClock : public platform::Env {
public:
    explicit ShiftedClock(time_t start, unsigned rate = 1)
        : start_(start), rate_(rate), origin_(realMs()), previous_(platform::setEnv(this)) {}
    ~ShiftedClock() override { platform::setEnv(previous_); }
    ShiftedClock(const ShiftedClock&) = delete;
    ShiftedClock& operator=(const ShiftedClock&) = delete;
    time_t now() override {
        return start_ + offset_ + static_cast<time_t>((realMs() - origin_) * rate_ / 1000);
    }
    int statvfs(const char* path, struct statvfs64* out) override {
        return previous_ ? previous_->statvfs(path, out) : Env::statvfs(path, out);
    }
    void advance(long seconds) { offset_ += seconds; }

private:
    static long long realMs() {
        struct timespec ts;
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
    }
    time_t start_;
    long long rate_;
    long long origin_;
    long offset_ = 0;
    platform::Env* previous_;
};

// One reserve-file line as a reader judges it.
struct LineView {
    bool malformed = false;
    std::string owner, state, raw;
    unsigned long blocks = 0;
    long long age = -1; // -1: no time on the line
};

LineView describeLine(const char* line, const std::string& myHost, long long now);

// The lines of a reserve file read under a shared lock (blank padding left
// out): 0, 1 when there is no file, -1 when it cannot be locked or read.
int readReserveFile(const std::string& path, const std::string& myHost,
                    std::vector<LineView>& lines);

// One page as a requester receives it over its socket.
struct Page {
    bool decoded = false;
    std::vector<std::string> lines;
    long long total = 0, last = 0;
    int status = -1;
    int rc = -1; // getPage's answer
};

Page fetchPage(RetrieveResults& reader, long long line, long long count);

} // namespace cli
