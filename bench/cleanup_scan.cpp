// Clean-up that scans and removes old cache directories, against
// `find ... -mindepth 3 -maxdepth 3 -exec rm -rf {} +` of the same
// directories, for each size of a list.
// Each directory holds a closed State file and one index file.
//
// The disk is synced before each tree is written, so that neither side pays
// for the write-back of what the other side did; the tree is then timed as
// written, not synced itself: on a disk with online discard, syncing it would
// make every freed block a synchronous discard on both sides and hide the
// per-directory cost of the clean-up behind the device's. Each round times
// both sides, and rounds alternate which side goes first; the medians are
// compared, and the spread and the load average are shown.
//
// Usage: bench_cleanup_scan [--rounds N] [directories ...]
//        (default: 3 rounds of 10000 and 100000)
// Prints, per size, both times, the ratio (find time / clean-up time) and the
// growth of each side against the previous size of the list.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cachefs/JobResultsCacheFs.h"
#include "platform/OXPlatformInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

void populate(const std::string& root, int count) {
    ::sync();
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One side's time over a fresh tree of count directories; -1 on failure.
double timeFind(const std::string& root, int count) {
    populate(root, count);
    auto t0 = Clock::now();
    std::string cmd = "find " + root + " -mindepth 3 -maxdepth 3 -exec rm -rf {} +";
    if (std::system(cmd.c_str()) != 0)
        return -1;
    return seconds(t0, Clock::now());
}

double timeCleanUp(const std::string& root, int count) {
    populate(root, count);
    double t;
    {
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.initialize("bench");
        fs.setNumDays(0); // every directory is old
        auto t0 = Clock::now();
        int rc = fs.cleanUp(0, true, false, false, 0, nullptr, 0, 0, nullptr, 0);
        t = seconds(t0, Clock::now());
        if (rc < 0)
            return -1;
    }
    int left = leftOver(root);
    if (left != 0) {
        std::fprintf(stderr, "%d directories left after clean-up of %d\n", left, count);
        return -1;
    }
    return t;
}

struct Row {
    int count;
    std::vector<double> find;
    std::vector<double> ours;
    double loadBefore;
    double loadAfter;
};

std::string spread(const std::vector<double>& v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f-%.2f", *std::min_element(v.begin(), v.end()),
                  *std::max_element(v.begin(), v.end()));
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty())
        sizes = {10000, 100000};
    if (rounds < 1)
        rounds = 1;

    // Per process: two runs at once must not share (or remove) one tree.
    std::string home = std::filesystem::temp_directory_path() /
                       ("idxcache-bench-cleanup-" + std::to_string(::getpid()));
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
        Row row{count, {}, {}, loadAverage(), 0};
        for (int r = 0; r < rounds; ++r) {
            const bool findFirst = r % 2 == 0;
            double a = findFirst ? timeFind(root, count) : timeCleanUp(root, count);
            double b = findFirst ? timeCleanUp(root, count) : timeFind(root, count);
            if (a < 0 || b < 0)
                return 1;
            row.find.push_back(findFirst ? a : b);
            row.ours.push_back(findFirst ? b : a);
            std::fprintf(stderr, "%d directories, round %d: find %.3f s, cleanUp %.3f s\n", count,
                         r + 1, row.find.back(), row.ours.back());
        }
        row.loadAfter = loadAverage();
        rows.push_back(row);
    }

    std::printf("%d rounds; medians, with the spread (min-max) of each side\n", rounds);
    std::printf("%11s %9s %12s %9s %12s %6s %8s %8s %11s\n", "directories", "find (s)", "spread",
                "cleanUp", "spread", "ratio", "find gr.", "clean gr.", "load 1 min");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const double f = median(r.find), o = median(r.ours);
        char findGrowth[32] = "-", ourGrowth[32] = "-";
        if (i > 0) {
            std::snprintf(findGrowth, sizeof findGrowth, "%.1fx", f / median(rows[i - 1].find));
            std::snprintf(ourGrowth, sizeof ourGrowth, "%.1fx", o / median(rows[i - 1].ours));
        }
        std::printf("%11d %9.3f %12s %9.3f %12s %6.2f %8s %8s %5.2f-%5.2f\n", r.count, f,
                    spread(r.find).c_str(), o, spread(r.ours).c_str(), f / o, findGrowth, ourGrowth,
                    r.loadBefore, r.loadAfter);
    }
    std::filesystem::remove_all(home);
    return 0;
}
