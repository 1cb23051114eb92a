// Clean-up that scans and removes old cache directories, against
// `find ... -mindepth 3 -maxdepth 3 -exec rm -rf {} +` of the same
// directories, measured in the same run for each size of the list.
// Each directory holds a closed State file and one index file.
//
// The tree is written to disk (sync) before each side is timed: clean-up
// removes directories that are days old, and neither side should pay for the
// write-back of the tree it was just given, nor of the other side's.
//
// Usage: bench_cleanup_scan [directories ...]   (default: 10000 100000)
// Prints, per size, both times, the ratio (find time / clean-up time) and the
// growth of each side against the previous size of the list.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
    ::sync();
}

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double loadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = -1;
    in >> one;
    return one;
}

int leftOver(const std::string& root) {
    int left = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (e.path().filename() == "State")
            ++left;
    }
    return left;
}

struct Row {
    int count;
    double find;
    double ours;
    double loadBefore;
    double loadAfter;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {10000, 100000};

    std::string home = std::filesystem::temp_directory_path() / "idxcache-bench-cleanup";
    std::filesystem::remove_all(home);
    ::setenv("IDXCACHE_HOME", home.c_str(), 1);
    std::string idx = home + "/idx";
    std::filesystem::create_directories(idx);
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "bench");
    const std::string root = idx + "/OX_Index";

    std::vector<Row> rows;
    for (int count : sizes) {
        if (count < 100) {
            std::fprintf(stderr, "a size is at least 100 directories\n");
            return 2;
        }
        Row row{count, 0, 0, loadAverage(), 0};

        populate(root, count);
        auto t0 = Clock::now();
        std::string cmd = "find " + root + " -mindepth 3 -maxdepth 3 -exec rm -rf {} +";
        if (std::system(cmd.c_str()) != 0)
            return 1;
        row.find = seconds(t0, Clock::now());

        populate(root, count);
        {
            JobResultsCacheFs fs(1, TCacheTypeTape, false);
            fs.initialize("bench");
            fs.setNumDays(0); // every directory is old
            auto t1 = Clock::now();
            int rc = fs.cleanUp(0, true, false, false, 0, nullptr, 0, 0, nullptr, 0);
            row.ours = seconds(t1, Clock::now());
            if (rc < 0)
                return 1;
        }
        row.loadAfter = loadAverage();
        int left = leftOver(root);
        if (left != 0) {
            std::fprintf(stderr, "%d directories left after clean-up of %d\n", left, count);
            return 1;
        }
        rows.push_back(row);
        std::fflush(stdout);
    }

    std::printf("%12s %10s %10s %7s %12s %12s %11s\n", "directories", "find (s)", "cleanUp (s)",
                "ratio", "find growth", "cleanUp gr.", "load 1 min");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        char findGrowth[32] = "-", ourGrowth[32] = "-";
        if (i > 0) {
            std::snprintf(findGrowth, sizeof findGrowth, "%.1fx", r.find / rows[i - 1].find);
            std::snprintf(ourGrowth, sizeof ourGrowth, "%.1fx", r.ours / rows[i - 1].ours);
        }
        std::printf("%12d %10.3f %10.3f %7.2f %12s %12s %5.2f-%5.2f\n", r.count, r.find, r.ours,
                    r.find / r.ours, findGrowth, ourGrowth, r.loadBefore, r.loadAfter);
    }
    std::filesystem::remove_all(home);
    return 0;
}
