// Clean-up that scans and removes 10 000 old cache directories, against
// `find ... -exec rm -rf` of the same directories, measured in the same run.
// Each directory holds a closed State file and one index file.
//
// Usage: bench_cleanup_scan [directories, default 10000]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cachefs/JobResultsCacheFs.h"
#include "platform/OXPlatformInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

void populate(const std::string& root, int count) {
    // 10 realms x 10 applications x count/100 time stamps.
    int perApp = count / 100;
    for (int r = 1; r <= 10; ++r) {
        for (int a = 1; a <= 10; ++a) {
            std::string app = root + "/" + std::to_string(r) + "/" + std::to_string(a);
            std::filesystem::create_directories(app);
            for (int t = 0; t < perApp; ++t) {
                std::string dir = app + "/" + std::to_string(1600000000 + t * 100);
                ::mkdir(dir.c_str(), 0755);
                std::FILE* f = std::fopen((dir + "/State").c_str(), "w");
                std::fprintf(f, "0\n%d    \n", 1600000000 + t * 100);
                std::fclose(f);
                f = std::fopen((dir + "/index.dat").c_str(), "w");
                std::fputs("index data\n", f);
                std::fclose(f);
            }
        }
    }
}

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::string home = std::filesystem::temp_directory_path() / "idxcache-bench-cleanup";
    std::filesystem::remove_all(home);
    ::setenv("IDXCACHE_HOME", home.c_str(), 1);
    std::string idx = home + "/idx";
    std::filesystem::create_directories(idx);
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "bench");
    const std::string root = idx + "/OX_Index";

    // Baseline: find ... -exec rm -rf over the cache directories.
    populate(root, count);
    auto t0 = Clock::now();
    std::string cmd = "find " + root + " -mindepth 3 -maxdepth 3 -exec rm -rf {} +";
    if (std::system(cmd.c_str()) != 0)
        return 1;
    double baseline = seconds(t0, Clock::now());

    populate(root, count);
    double ours;
    {
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.initialize("bench");
        fs.setNumDays(0); // every directory is old
        auto t1 = Clock::now();
        int rc = fs.cleanUp(0, true, false, false, 0, nullptr, 0, 0, nullptr, 0);
        ours = seconds(t1, Clock::now());
        if (rc < 0)
            return 1;
    }
    int left = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (e.path().filename() == "State")
            ++left;
    }
    std::printf("directories: %d (left after clean-up: %d)\n", count, left);
    std::printf("find -exec rm -rf: %.3f s\n", baseline);
    std::printf("cleanUp:           %.3f s\n", ours);
    std::printf("ratio (find time / cleanUp time): %.2f\n", baseline / ours);
    std::filesystem::remove_all(home);
    return 0;
}
