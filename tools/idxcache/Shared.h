// What several subcommands share: child processes, the cache directories of a
// root, reserve-file lines and result pages as a requester reads them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

class RetrieveResults;

namespace cli {

// Runs body in a forked child that exits with its result.
pid_t spawn(const std::function<int()>& body);
// Waits for a child: its exit code, or 128 + the signal that ended it.
int reap(pid_t pid);

// Every cache directory below a cache root, as realm/app/timestamp.
std::set<std::string> cacheDirs(const std::string& root);

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
