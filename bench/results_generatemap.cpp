// Map generation against `wc -l` over the same file in the same run.
//
// A file of lines of varied length (default 1 GiB) is mapped by
// ResultsBase::generateMap (paging mode: the map goes to the temp directory,
// no reservation) and counted by `wc -l`; both read it from the page cache
// after a first warming pass. The best of several rounds of each is compared;
// the ratio is wc time over generateMap time (target: at least 0.5).
// Usage: bench_results_generatemap [bytes] [rounds].
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jobresults/ResultsBase.h"
#include "platform/OXPlatformInfo.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long long bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1ull << 30;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char home[] = "/tmp/idxcache-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    ::setenv("IDXCACHE_HOME", home, 1);
    platform::KeyStore::set(platform::kPlatformSection, "PlatformType", "4");
    const std::string data = std::string(home) + "/results.txt";
    {
        FILE* f = std::fopen(data.c_str(), "we");
        unsigned long long written = 0;
        for (unsigned i = 0; written < bytes; ++i) {
            std::string line = "/data/folder" + std::to_string(i % 977) + "/file_" +
                               std::string(10 + i % 90, 'a' + i % 26) + " 1\n";
            std::fwrite(line.data(), 1, line.size(), f);
            written += line.size();
        }
        std::fclose(f);
    }
    const std::string wc = "wc -l < " + data + " > /dev/null";
    if (std::system(wc.c_str()) != 0)
        return 1;
    double bestMap = 1e9, bestWc = 1e9;
    for (int r = 0; r < rounds; ++r) {
        {
            ResultsBase reader(1, "client1");
            if (!reader.setFileName(RF_GIVEN, 0, data.c_str(), "client1"))
                return 1;
            auto start = std::chrono::steady_clock::now();
            if (reader.generateMap() != 0)
                return 1;
            bestMap = std::min(bestMap, seconds(start));
        }
        auto start = std::chrono::steady_clock::now();
        if (std::system(wc.c_str()) != 0)
            return 1;
        bestWc = std::min(bestWc, seconds(start));
    }
    const double mb = static_cast<double>(bytes) / (1 << 20);
    std::printf("generateMap: %.0f MiB/s\n", mb / bestMap);
    std::printf("wc -l:       %.0f MiB/s\n", mb / bestWc);
    std::printf("ratio generateMap / wc -l: %.2f (target >= 0.5)\n", bestWc / bestMap);
    return std::system((std::string("rm -rf ") + home).c_str()) == 0 ? 0 : 1;
}
