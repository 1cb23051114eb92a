// A 50-line page at the end of a 10M-line file against the same page at line
// 1 (a page costs the same wherever it lies) and against `sed -n` printing
// the lines at the end (which reads everything before them).
//
// The file is paged by RetrieveResults in paging mode over a socket pair,
// its map made before timing. Ratios: far page over first page (target at
// most 1.2), sed over far page (target at least 100).
// Usage: bench_results_page [lines] [repetitions].
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jobresults/RetrieveResults.h"
#include "platform/OXPlatformInfo.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const long long lines = argc > 1 ? std::atoll(argv[1]) : 10000000;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 200;
    char home[] = "/tmp/idxcache-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    ::setenv("IDXCACHE_HOME", home, 1);
    platform::KeyStore::set(platform::kPlatformSection, "PlatformType", "4");
    const std::string data = std::string(home) + "/results.txt";
    {
        FILE* f = std::fopen(data.c_str(), "we");
        for (long long i = 1; i <= lines; ++i)
            std::fprintf(f, "/data/folder%lld/file_%lld 1\n", i % 977, i);
        std::fclose(f);
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 1;
    CQiSocket socket(fds[0]);
    RetrieveResults reader(RF_GIVEN, data.c_str(), "client1", 0);
    auto timePage = [&](long long line) {
        auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) {
            if (reader.getPage(r, line, 50, &socket, nullptr, 0) != 0)
                std::exit(1);
            EvReturnData::Stream s;
            if (!EvReturnData::readStream(fds[1], s) || s.records.size() != 55)
                std::exit(1);
        }
        return seconds(start) / reps;
    };
    timePage(1); // makes the map
    const double first = timePage(1);
    const double far = timePage(lines - 49);
    const std::string sed = "sed -n '" + std::to_string(lines - 49) + "," + std::to_string(lines) +
                            "p' " + data + " > /dev/null";
    auto start = std::chrono::steady_clock::now();
    if (std::system(sed.c_str()) != 0)
        return 1;
    const double sedTime = seconds(start);
    std::printf("page at line 1: %.6f s, page at line %lld: %.6f s, sed -n: %.4f s\n", first,
                lines - 49, far, sedTime);
    std::printf("far/first %.3f (target <= 1.2), sed/far %.0f (target >= 100)\n", far / first,
                sedTime / far);
    std::system(("rm -rf " + std::string(home)).c_str());
    return 0;
}
