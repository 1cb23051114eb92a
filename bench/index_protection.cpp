// Index protection costs against the plain copies they stand for:
//   checkpoint: a checkpoint copy of an index (1 GiB in 16 files by default)
//               against `cp -r && sync`; ratio cp / ours (>= 0.9 wanted);
//   chunk:      a transaction-log chunk of an index of 10 000 files of which
//               1 % changed, against copying those changed files alone;
//               ratio plain / ours (>= 0.5 wanted: the walk must not dominate).
//
//   IDXCACHE_BENCH_BYTES  size of the checkpointed index (default 1073741824)
//   IDXCACHE_BENCH_DIR    where the cp target is made (default $TMPDIR or /tmp)
// Run it with IDXCACHE_HOME naming a scratch home: the index is made there.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/TCtreeTable.h"

namespace {

namespace fs = std::filesystem;

std::string scratch() {
    const char* d = std::getenv("IDXCACHE_BENCH_DIR");
    if (!d || !*d)
        d = std::getenv("TMPDIR");
    std::string templ = std::string(d && *d ? d : "/tmp") + "/idxcache-bench-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("cannot make the bench directory");
    return templ;
}

void writeFile(const std::string& path, size_t size, unsigned seed) {
    std::vector<char> data(std::min<size_t>(size, 1 << 20));
    unsigned x = seed * 2654435761u + 1;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot create " + path);
    for (size_t done = 0; done < size; done += data.size())
        std::fwrite(data.data(), 1, std::min(data.size(), size - done), f);
    std::fclose(f);
}

double seconds(const std::function<void()>& fn) {
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::unique_ptr<JobResultsCacheDir> newIndex() {
    auto dir =
        std::make_unique<JobResultsCacheDir>(1, 2, 17, 5, BackupTypeFull, 0, TCacheTypeTape, false);
    dir->initialize(nullptr);
    if (!dir->create(0))
        throw std::runtime_error("cannot create the index");
    return dir;
}

void checkpoint(benchmark::State& state) {
    const std::string home = scratch();
    const char* b = std::getenv("IDXCACHE_BENCH_BYTES");
    const unsigned long long bytes = b && *b ? std::strtoull(b, nullptr, 0) : 1ULL << 30;
    auto dir = newIndex();
    const std::string path = dir->getCacheDir();
    for (int i = 0; i < 16; ++i)
        writeFile(path + "/table" + std::to_string(i) + ".dat", bytes / 16, i);
    double ours = 1e30, cp = 1e30;
    for (auto _ : state) {
        for (int round = 0; round < 2; ++round) {
            ours = std::min(ours, seconds([&] {
                                if (dir->createCopy_checkPoint(nullptr) != 0)
                                    throw std::runtime_error("checkpoint copy failed");
                            }));
            dir->removeCopy_checkPoint(nullptr);
            const std::string dst = home + "/cp";
            cp = std::min(cp, seconds([&] {
                              const std::string cmd = "cp -r '" + path + "' '" + dst + "' && sync";
                              if (std::system(cmd.c_str()) != 0)
                                  throw std::runtime_error("cp -r failed");
                          }));
            fs::remove_all(dst);
        }
        state.SetIterationTime(ours);
    }
    dir->close(false);
    fs::remove_all(home);
    state.counters["ratio_cp_over_ours"] = cp / ours;
    std::printf("checkpoint: %llu MiB: ours %.3f s, cp -r && sync %.3f s, ratio %.2f\n",
                bytes >> 20, ours, cp, cp / ours);
}

void chunk(benchmark::State& state) {
    const std::string home = scratch();
    auto dir = newIndex();
    dir->setIndexCheckpointFlag(false);
    dir->setIndexUseTranLogFlag(true);
    dir->setIndexUseCatalogServerIfAvailFlag(false);
    const std::string path = dir->getCacheDir();
    constexpr int kFiles = 10000, kChanged = 100;
    const time_t old = std::time(nullptr) - 1000;
    for (int i = 0; i < kFiles; ++i) {
        const std::string f = path + "/f" + std::to_string(i) + ".log";
        writeFile(f, 16384, i);
        struct utimbuf t = {old, old};
        ::utime(f.c_str(), &t);
    }
    if (dir->createCopy("first", 5, 0) != 0) // every file, and the time mark
        throw std::runtime_error("first chunk failed");
    const std::string plainDir = home + "/plain";
    fs::create_directories(plainDir);
    double ours = 1e30, plain = 1e30;
    int round = 0;
    for (auto _ : state) {
        for (int r = 0; r < 4; ++r, ++round) {
            // The files changed since the time mark; new names, so the
            // "already listed" rule does not skip them. The mark has a
            // resolution of a second and a file changed in the same second
            // as the last chunk is copied again, so a second passes first.
            ::sleep(1);
            std::vector<std::string> changed;
            for (int i = 0; i < kChanged; ++i) {
                changed.push_back(path + "/n" + std::to_string(round) + "_" + std::to_string(i) +
                                  ".log");
                writeFile(changed.back(), 16384, i + 7);
            }
            auto runOurs = [&] {
                ours = std::min(ours, seconds([&] {
                                    if (dir->createCopy("next", 5, 0) != 0)
                                        throw std::runtime_error("chunk failed");
                                }));
            };
            // The plain copies go beside the index, not into it: inside it
            // they would be changed files of the next chunk.
            auto runPlain = [&] {
                plain = std::min(plain, seconds([&] {
                                     for (const std::string& f : changed) {
                                         const std::string to = plainDir + f.substr(f.rfind('/'));
                                         TCtreeTable::TranLog_copyFile(f.c_str(), to.c_str());
                                     }
                                 }));
            };
            // Each side goes first every other round: the first to create
            // files after the sync pays for reading the inode tables.
            if (round % 2) {
                runPlain();
                runOurs();
            } else {
                runOurs();
                runPlain();
            }
        }
        state.SetIterationTime(ours);
    }
    dir->close(false);
    fs::remove_all(home);
    state.counters["ratio_plain_over_ours"] = plain / ours;
    std::printf("chunk: %d files, %d changed: ours %.4f s, plain copy %.4f s, ratio %.2f\n", kFiles,
                kChanged, ours, plain, plain / ours);
}

void BM_Checkpoint(benchmark::State& state) {
    try {
        checkpoint(state);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void BM_Chunk(benchmark::State& state) {
    try {
        chunk(state);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(BM_Checkpoint)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chunk)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
