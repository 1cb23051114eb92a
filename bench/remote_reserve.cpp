// Reservation round trips (reserve 10 MiB of blocks, then release all)
// through the local storage-node service, against the same round trips done
// on disk by the requesting processes themselves, measured in the same run
// with 1 and 4 requesting processes. The difference is the cost of the
// socket, the XML and the service's fresh cache-fs object per request: both
// sides rewrite the same reserve file under the same lock.
//
// Usage: bench_remote_reserve [seconds per measurement, default 3]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cachefs/CacheOpsService.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/OXPlatformInfo.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kBlocks = 2560;

// Runs body in n processes until the deadline; answers the total round trips.
template <typename Body> long runProcesses(int n, double seconds, Body body) {
    std::vector<std::pair<pid_t, int>> kids;
    Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(seconds));
    for (int i = 0; i < n; ++i) {
        int fds[2];
        if (::pipe(fds) != 0)
            std::exit(1);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            long count = body(deadline);
            ssize_t w = ::write(fds[1], &count, sizeof count);
            ::_exit(w == sizeof count ? 0 : 1);
        }
        ::close(fds[1]);
        kids.push_back({pid, fds[0]});
    }
    long total = 0;
    for (auto& k : kids) {
        long count = 0;
        if (::read(k.second, &count, sizeof count) == sizeof count)
            total += count;
        ::close(k.second);
        int status;
        ::waitpid(k.first, &status, 0);
    }
    return total;
}

long roundTrips(Clock::time_point deadline, bool remote) {
    CacheFsBase::setMultiThreaded(false);
    JobResultsCacheFs fs(1, TCacheTypeTape, false);
    fs.initialize("bench");
    long count = 0;
    while (Clock::now() < deadline) {
        CacheFsBase::setReserveBuffer(0); // every reservation goes to the file
        int reserved = remote ? fs.remoteReserveOnDisk(kBlocks, 2, "17", 100, false)
                              : fs.reserveOnDisk(kBlocks, 2, "17", 100, false);
        int released = remote ? fs.remoteReserveOnDisk(0, 2, "17", 100, true)
                              : fs.reserveOnDisk(0, 2, "17", 100, true);
        if (reserved != 1 || released < 0) {
            std::fprintf(stderr, "%s round trip failed: %d, %d\n", remote ? "remote" : "local",
                         reserved, released);
            break;
        }
        ++count;
    }
    return count;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::string home = std::filesystem::temp_directory_path() / "idxcache-bench-remote";
    std::filesystem::remove_all(home);
    ::setenv("IDXCACHE_HOME", home.c_str(), 1);
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "bench");
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
    CacheOpsService service;
    if (service.start(false) != 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    std::printf("%-10s %16s %16s %8s\n", "processes", "remote rt/s", "local rt/s", "ratio");
    int status = 0;
    for (int n : {1, 4}) {
        // Alternate the two measurements and keep the best of each, so a slow
        // moment of the disk does not decide the ratio.
        long remote = 0, local = 0;
        for (int rep = 0; rep < 2; ++rep) {
            remote = std::max(remote, runProcesses(n, seconds, [](Clock::time_point d) {
                                  return roundTrips(d, true);
                              }));
            local = std::max(local, runProcesses(n, seconds, [](Clock::time_point d) {
                                 return roundTrips(d, false);
                             }));
        }
        double ratio = local > 0 ? static_cast<double>(remote) / local : 0.0;
        std::printf("%-10d %16.0f %16.0f %8.2f\n", n, remote / seconds, local / seconds, ratio);
        if (remote == 0)
            status = 1;
    }
    std::string message;
    CacheOpsService::stop(message);
    std::filesystem::remove_all(home);
    return status;
}
