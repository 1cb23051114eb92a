// Sorts a file of 100-byte lines (1 GiB by default) with the sort engine and
// with `LC_ALL=C sort -S 64M --parallel=1 -T DIR`, both bound to 64 MiB, in
// processes of their own, and reports the best time of each, the ratio
// sort / ours (at least 0.5 wanted) and each side's peak resident memory.
// Then cuts the sorted file to its top 1000 lines with sortAndReplaceEx and
// reports that process's peak memory, which must not grow with the file.
//
//   IDXCACHE_BENCH_BYTES  input size (default 1073741824)
//   IDXCACHE_BENCH_DIR    where the files are made (default $TMPDIR or /tmp)
//   IDXCACHE_BENCH_ROUNDS alternating rounds (default 1)
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/SortAndReplace.h"
#include "platform/BatchSort.h"

namespace {

constexpr unsigned long long kDefaultBytes = 1ULL << 30;
constexpr unsigned long long kBound = 64ULL << 20;
constexpr size_t kLine = 100;

unsigned long long envNumber(const char* name, unsigned long long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

std::string benchBase() {
    if (const char* d = std::getenv("IDXCACHE_BENCH_DIR"); d && *d)
        return d;
    if (const char* t = std::getenv("TMPDIR"); t && *t)
        return t;
    return "/tmp";
}

// Lines of 99 random letters and an LF.
void writeLines(const std::string& path, unsigned long long size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot create " + path);
    std::vector<char> chunk(kLine * 10000);
    unsigned long long x = 0x9E3779B97F4A7C15ULL;
    while (size >= kLine) {
        for (size_t i = 0; i < chunk.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            chunk[i] = i % kLine == kLine - 1 ? '\n' : static_cast<char>('a' + x % 26);
        }
        size_t n =
            static_cast<size_t>(std::min<unsigned long long>(size / kLine * kLine, chunk.size()));
        if (std::fwrite(chunk.data(), 1, n, f) != n)
            throw std::runtime_error("cannot write " + path);
        size -= n;
    }
    std::fclose(f);
}

struct Outcome {
    double seconds;
    double peakMiB;
};

// Runs fn in a child process: its wall time and peak resident memory.
Outcome inChild(const std::function<int()>& fn) {
    ::sync();
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        ::_exit(fn());
    int status = 0;
    struct rusage ru;
    while (::wait4(pid, &status, 0, &ru) < 0) {
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("a child failed");
    return {s, static_cast<double>(ru.ru_maxrss) / 1024};
}

void externalSort(benchmark::State& state) {
    namespace fs = std::filesystem;
    std::string templ = benchBase() + "/idxcache-bench-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("cannot make the bench directory");
    const std::string base = templ, input = base + "/input", work = base + "/work";
    fs::create_directories(work);
    ::setenv("IDXCACHE_HOME", (base + "/home").c_str(), 1);
    const unsigned long long bytes = envNumber("IDXCACHE_BENCH_BYTES", kDefaultBytes);
    writeLines(input, bytes);

    const int rounds = static_cast<int>(envNumber("IDXCACHE_BENCH_ROUNDS", 1));
    Outcome ours{1e30, 0}, gnu{1e30, 0};
    for (auto _ : state) {
        for (int r = 0; r < rounds; ++r) {
            for (int side = 0; side < 2; ++side) {
                if ((r + side) % 2 == 0) {
                    Outcome o = inChild([&] {
                        BatchSort sorter;
                        std::string out = base + "/ours";
                        if (sorter.init(input.c_str(), out.c_str(), work.c_str(), true, false,
                                        false, kBound) != 0 ||
                            sorter.sort() != 0)
                            return 1;
                        return 0;
                    });
                    ours = {std::min(ours.seconds, o.seconds), std::max(ours.peakMiB, o.peakMiB)};
                } else {
                    Outcome o = inChild([&] {
                        ::setenv("LC_ALL", "C", 1);
                        std::string dir = "-T" + work, out = "-o" + base + "/gnu";
                        ::execlp("sort", "sort", "-S", "64M", "--parallel=1", dir.c_str(),
                                 out.c_str(), input.c_str(), static_cast<char*>(nullptr));
                        return 127;
                    });
                    gnu = {std::min(gnu.seconds, o.seconds), std::max(gnu.peakMiB, o.peakMiB)};
                }
            }
        }
        state.SetIterationTime(ours.seconds);
    }
    std::string same = "cmp -s '" + base + "/ours' '" + base + "/gnu'";
    if (std::system(same.c_str()) != 0)
        throw std::runtime_error("the two sorted files differ");

    // The top-N cut of the sorted file: read through once to see it is in
    // order, copied, then cut in place.
    const std::string sorted = base + "/ours";
    Outcome top = inChild([&] {
        return sortAndReplaceEx(sorted.c_str(), kSortWholeLinePlain, 1000, true, true, 0, "", 0,
                                0) == 0
                   ? 0
                   : 1;
    });
    Outcome idle = inChild([] { return 0; });
    fs::remove_all(base);

    const double mib = static_cast<double>(bytes) / (1 << 20);
    state.counters["MiB"] = mib;
    state.counters["ours_s"] = ours.seconds;
    state.counters["gnu_sort_s"] = gnu.seconds;
    state.counters["ratio_gnu_over_ours"] = gnu.seconds / ours.seconds;
    state.counters["ours_peak_MiB"] = ours.peakMiB;
    state.counters["topn_peak_MiB"] = top.peakMiB;
    std::printf("external_sort: %.0f MiB of %zu-byte lines, bound 64 MiB: engine %.2f s, "
                "sort -S 64M %.2f s, ratio sort/ours %.2f\n",
                mib, kLine, ours.seconds, gnu.seconds, gnu.seconds / ours.seconds);
    std::printf("external_sort: peak resident memory: engine %.1f MiB, sort %.1f MiB, an idle "
                "child %.1f MiB; top 1000 of the sorted file %.2f s, peak %.1f MiB\n",
                ours.peakMiB, gnu.peakMiB, idle.peakMiB, top.seconds, top.peakMiB);
}

void BM_ExternalSort(benchmark::State& state) {
    try {
        externalSort(state);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(BM_ExternalSort)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
