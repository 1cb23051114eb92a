// Copies a tree of 20 files (1 GiB in all by default) with CXDirectory::copyFiles
// and with `cp -r`, alternating, and reports the best time of each and the
// ratio cp / ours (above 1: the library is faster).
//
//   IDXCACHE_BENCH_BYTES  total size of the tree (default 1073741824)
//   IDXCACHE_BENCH_DIR    where the tree is made (default $TMPDIR or /tmp)
//   IDXCACHE_BENCH_ROUNDS alternating rounds (default 4)
// The size shrinks to a quarter of the free space when the disk is short.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "port/CXDirectory.h"

namespace {

constexpr int kFiles = 20;
constexpr unsigned long long kDefaultBytes = 1ULL << 30;
constexpr unsigned long long kMinimumBytes = 20ULL << 20;

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

// Non-repeating bytes, so no layer can shortcut them.
void writeData(const std::string& path, unsigned long long size, unsigned long long seed) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot create " + path);
    std::vector<unsigned long long> chunk((1 << 20) / sizeof(unsigned long long));
    unsigned long long x = seed * 0x9E3779B97F4A7C15ULL + 1;
    while (size > 0) {
        for (auto& w : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const size_t n = static_cast<size_t>(std::min<unsigned long long>(size, 1 << 20));
        if (std::fwrite(chunk.data(), 1, n, f) != n)
            throw std::runtime_error("cannot write " + path);
        size -= n;
    }
    std::fclose(f);
}

double seconds(const std::function<void()>& fn) {
    // Dirty pages of the previous copy must not slow down this one.
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void copyWithLibrary(const std::string& src, const std::string& dst) {
    CXDirectory dir;
    dir.setRecursion(true);
    if (dir.open(src.c_str()) != 0 || dir.copyFiles(dst.c_str(), nullptr) != 0)
        throw std::runtime_error("copyFiles failed");
}

void copyWithCp(const std::string& src, const std::string& dst) {
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const std::string from = src + "/.";
        ::execlp("cp", "cp", "-r", from.c_str(), dst.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("cp -r failed");
}

void copyTree(benchmark::State& state) {
    namespace fs = std::filesystem;
    std::string templ = benchBase() + "/idxcache-bench-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        state.SkipWithError("cannot make the bench directory");
        return;
    }
    const std::string base = templ;

    unsigned long long bytes = envNumber("IDXCACHE_BENCH_BYTES", kDefaultBytes);
    {
        CXDirectory probe;
        unsigned long long freeBlocks = 0, totalBlocks = 0;
        unsigned long blockSize = 0;
        if (probe.getFreeSpace(base.c_str(), &freeBlocks, &totalBlocks, &blockSize) == 0) {
            // The source and one copy live at a time; keep half the disk spare.
            const unsigned long long room = freeBlocks * blockSize / 4;
            if (bytes > room) {
                std::printf("copy_tree: only %llu MiB free, tree shrunk to %llu MiB\n",
                            freeBlocks * blockSize >> 20, room >> 20);
                bytes = room;
            }
        }
    }
    if (bytes < kMinimumBytes) {
        fs::remove_all(base);
        state.SkipWithError("not enough free space for a meaningful tree");
        return;
    }

    const std::string src = base + "/src";
    for (int i = 0; i < kFiles; ++i) {
        // Two levels, so the copy recurses as it does for an index tree.
        const std::string sub = src + (i % 2 ? "/tables" : "/tables/idx");
        fs::create_directories(sub);
        writeData(sub + "/file" + std::to_string(i), bytes / kFiles, static_cast<unsigned>(i));
    }

    const int rounds = static_cast<int>(envNumber("IDXCACHE_BENCH_ROUNDS", 4));
    double bestOurs = 1e30;
    double bestCp = 1e30;
    bool failed = false;
    for (auto _ : state) {
        for (int r = 0; r < rounds && !failed; ++r) {
            // Each side goes first every other round, so neither gains from
            // the order.
            for (int side = 0; side < 2; ++side) {
                const bool ours = (r + side) % 2 == 0;
                const std::string dst = base + "/dst";
                fs::create_directory(dst);
                if (ours) {
                    bestOurs = std::min(bestOurs, seconds([&] { copyWithLibrary(src, dst); }));
                    CXDirectory check;
                    check.setRecursion(true);
                    if (check.open(dst.c_str()) != 0 ||
                        check.sumSizes() != static_cast<long long>(bytes / kFiles * kFiles))
                        failed = true;
                } else {
                    bestCp = std::min(bestCp, seconds([&] { copyWithCp(src, dst); }));
                }
                fs::remove_all(dst);
            }
        }
        if (failed) {
            state.SkipWithError("the library's copy is incomplete");
            break;
        }
        state.SetIterationTime(bestOurs);
    }
    fs::remove_all(base);

    const double mib = static_cast<double>(bytes) / (1 << 20);
    state.counters["MiB"] = mib;
    state.counters["ours_s"] = bestOurs;
    state.counters["cp_s"] = bestCp;
    state.counters["ratio_cp_over_ours"] = bestCp / bestOurs;
    std::printf("copy_tree: %d files, %.0f MiB: copyFiles %.3f s (%.0f MiB/s), cp -r %.3f s "
                "(%.0f MiB/s), ratio cp/ours %.2f\n",
                kFiles, mib, bestOurs, mib / bestOurs, bestCp, mib / bestCp, bestCp / bestOurs);
}

void BM_CopyTree(benchmark::State& state) {
    try {
        copyTree(state);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(BM_CopyTree)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
