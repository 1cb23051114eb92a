// The merge of 8 raw files into a job's results file against `cat` of the
// same files into one. Ratio: cat time over merge time (target at least 0.5).
// Usage: bench_results_merge [bytes per raw file] [rounds].
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/OXPlatformInfo.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long long bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 32ull << 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char home[] = "/tmp/idxcache-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    ::setenv("IDXCACHE_HOME", home, 1);
    const std::string h = home;
    platform::KeyStore::set(platform::kPlatformSection, "PlatformType", "4");
    platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", h + "/jr");
    const std::string source = h + "/raws";
    std::system(("mkdir -p " + source + " " + h + "/jr").c_str());
    for (int k = 0; k < 8; ++k) {
        FILE* f = std::fopen(
            (source + "/backup_" + std::to_string(k) + "_" + std::to_string(1000 + k)).c_str(),
            "we");
        for (unsigned long long w = 0, i = 0; w < bytes; ++i)
            w += static_cast<unsigned long long>(
                std::fprintf(f, "/data/folder%llu/file_%llu_%d 1\n", i % 977, i, k));
        std::fclose(f);
    }
    std::string dir;
    {
        StoreResults store(2, 1, false, "client1");
        std::string raw;
        if (store.openRaw(RF_BACKUP, raw) != 0)
            return 1;
        ::unlink(raw.c_str());
        dir = store.getDirectory();
    }
    double bestMerge = 1e9, bestCat = 1e9;
    for (int r = 0; r < rounds; ++r) {
        std::system(
            ("rm -f " + dir + "/backup* " + dir + "/raw.log && cp " + source + "/* " + dir + "/")
                .c_str());
        auto start = std::chrono::steady_clock::now();
        {
            RetrieveResults reader(2, 1, RF_BACKUP, "client1", 0);
            if (reader.generateFile(nullptr) != 0)
                return 1;
        }
        bestMerge = std::min(bestMerge, seconds(start));
        std::system(("rm -f " + h + "/cat.out").c_str());
        start = std::chrono::steady_clock::now();
        if (std::system(("cat " + source + "/* > " + h + "/cat.out").c_str()) != 0)
            return 1;
        bestCat = std::min(bestCat, seconds(start));
    }
    std::printf("merge of 8 x %llu bytes: %.3f s, cat: %.3f s, cat/merge %.2f (target >= 0.5)\n",
                bytes, bestMerge, bestCat, bestCat / bestMerge);
    std::system(("rm -rf " + h).c_str());
    return 0;
}
