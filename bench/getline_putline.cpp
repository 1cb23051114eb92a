// Line I/O of CXFile against stdio on the same data in the same run.
//
// A 100 MB file of 80-byte lines (79 characters and LF) is read with
// CXFile::getLine and with fgets, and written with CXFile::putLine and with
// fputs. To compare like with like both sides use 64 KiB buffers
// (CXFile::setBufSize and setvbuf with _IOFBF), the same 4 KiB line buffer,
// and the write side hands over the text without its LF as putLine does, so
// stdio writes it with fputs followed by putc('\n'). The timed writes include
// the final close, which flushes. A second stdio writer, with the LF joined to
// the text beforehand so each line is one fputs, is printed for reference.
// Rates are per CPU second of the benchmark thread (user and system time), so
// other load on the machine disturbs them less than wall-clock rates.
//
// Each benchmark runs several repetitions; the summary at the end uses the
// best lines/s of each, which is the figure least disturbed by other load on
// the machine. Usage: bench_getline_putline [benchmark flags]; the scratch
// files go to $TMPDIR (default /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "port/CXFile.h"

namespace {

constexpr size_t kLineBytes = 80; // including the LF
constexpr size_t kFileBytes = 100u * 1024 * 1024;
constexpr size_t kLineCount = kFileBytes / kLineBytes;
constexpr unsigned int kIoBuffer = 65536;
constexpr size_t kLineBuffer = 4096;
constexpr int kRepetitions = 5;

std::string scratchDir;
std::string readPath;
std::string writePath;
std::vector<std::string> lineTexts; // distinct line texts, without LF

void prepare() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-getline-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    scratchDir = templ;
    readPath = scratchDir + "/lines.txt";
    writePath = scratchDir + "/out.txt";

    for (size_t i = 0; i < 1024; ++i) {
        std::string text(kLineBytes - 1, ' ');
        for (size_t j = 0; j < text.size(); ++j)
            text[j] = static_cast<char>('!' + (i * 7 + j * 13) % 94);
        lineTexts.push_back(text);
    }
    FILE* f = std::fopen(readPath.c_str(), "w");
    if (!f) {
        std::perror("fopen");
        std::exit(1);
    }
    for (size_t i = 0; i < kLineCount; ++i) {
        const std::string& t = lineTexts[i % lineTexts.size()];
        std::fwrite(t.data(), 1, t.size(), f);
        std::fputc('\n', f);
    }
    std::fclose(f);
}

void cleanup() {
    ::unlink(readPath.c_str());
    ::unlink(writePath.c_str());
    ::rmdir(scratchDir.c_str());
}

void setLineCounters(benchmark::State& state, size_t lines) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations() * lines),
                                                   benchmark::Counter::kIsRate);
}

void BM_CXFileGetLine(benchmark::State& state) {
    std::vector<char> buf(kLineBuffer);
    size_t lines = 0;
    for (auto _ : state) {
        CXFile f;
        if (f.open(readPath.c_str(), sfOpenRead) != 0 || f.setBufSize(kIoBuffer) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        lines = 0;
        while (f.getLine(buf.data(), buf.size()) == 1)
            ++lines;
        benchmark::DoNotOptimize(buf.data());
    }
    if (lines != kLineCount)
        state.SkipWithError("wrong line count");
    setLineCounters(state, lines);
}

void BM_Fgets(benchmark::State& state) {
    std::vector<char> buf(kLineBuffer);
    size_t lines = 0;
    for (auto _ : state) {
        FILE* f = std::fopen(readPath.c_str(), "r");
        if (!f || std::setvbuf(f, nullptr, _IOFBF, kIoBuffer) != 0) {
            state.SkipWithError("fopen failed");
            return;
        }
        lines = 0;
        while (std::fgets(buf.data(), static_cast<int>(buf.size()), f))
            ++lines;
        benchmark::DoNotOptimize(buf.data());
        std::fclose(f);
    }
    if (lines != kLineCount)
        state.SkipWithError("wrong line count");
    setLineCounters(state, lines);
}

void BM_CXFilePutLine(benchmark::State& state) {
    for (auto _ : state) {
        CXFile f;
        if (f.open(writePath.c_str(), sfOpenCreate) != 0 || f.truncate() != 0 ||
            f.setBufSize(kIoBuffer) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        for (size_t i = 0; i < kLineCount; ++i) {
            if (f.putLine(lineTexts[i % lineTexts.size()].c_str()) != 0) {
                state.SkipWithError("putLine failed");
                return;
            }
        }
        if (f.close() != 0) {
            state.SkipWithError("close failed");
            return;
        }
    }
    setLineCounters(state, kLineCount);
}

void BM_Fputs(benchmark::State& state) {
    for (auto _ : state) {
        FILE* f = std::fopen(writePath.c_str(), "w");
        if (!f || std::setvbuf(f, nullptr, _IOFBF, kIoBuffer) != 0) {
            state.SkipWithError("fopen failed");
            return;
        }
        for (size_t i = 0; i < kLineCount; ++i) {
            if (std::fputs(lineTexts[i % lineTexts.size()].c_str(), f) < 0 ||
                std::putc('\n', f) == EOF) {
                state.SkipWithError("fputs failed");
                return;
            }
        }
        if (std::fclose(f) != 0) {
            state.SkipWithError("fclose failed");
            return;
        }
    }
    setLineCounters(state, kLineCount);
}

// Reference only: stdio with the LF already joined to the text, one call a line.
void BM_FputsJoined(benchmark::State& state) {
    std::vector<std::string> joined;
    for (const std::string& t : lineTexts)
        joined.push_back(t + "\n");
    for (auto _ : state) {
        FILE* f = std::fopen(writePath.c_str(), "w");
        if (!f || std::setvbuf(f, nullptr, _IOFBF, kIoBuffer) != 0) {
            state.SkipWithError("fopen failed");
            return;
        }
        for (size_t i = 0; i < kLineCount; ++i) {
            if (std::fputs(joined[i % joined.size()].c_str(), f) < 0) {
                state.SkipWithError("fputs failed");
                return;
            }
        }
        if (std::fclose(f) != 0) {
            state.SkipWithError("fclose failed");
            return;
        }
    }
    setLineCounters(state, kLineCount);
}

BENCHMARK(BM_CXFileGetLine)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Fgets)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_CXFilePutLine)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Fputs)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_FputsJoined)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

// Prints as usual and keeps the best lines/s of every benchmark.
class BestRateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            auto it = r.counters.find("lines/s");
            if (it == r.counters.end())
                continue;
            double& best = best_[r.run_name.function_name];
            best = std::max(best, it->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double best(const std::string& name) const {
        auto it = best_.find(name);
        return it == best_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> best_;
};

void printRatio(const BestRateReporter& r, const char* label, const char* mine,
                const char* baseline) {
    const double a = r.best(mine);
    const double b = r.best(baseline);
    std::cout << mine << ": " << static_cast<long long>(a) << " lines/s, " << baseline << ": "
              << static_cast<long long>(b) << " lines/s\n";
    if (b > 0)
        std::cout << label << " ratio: " << a / b << "\n";
    else
        std::cout << label << " ratio: n/a\n";
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    prepare();
    BestRateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    cleanup();

    std::cout << "\nSummary (best of " << kRepetitions << " repetitions, " << kLineCount
              << " lines of " << kLineBytes << " bytes, " << kIoBuffer << "-byte buffers)\n";
    printRatio(reporter, "getLine/fgets", "BM_CXFileGetLine", "BM_Fgets");
    printRatio(reporter, "putLine/fputs", "BM_CXFilePutLine", "BM_Fputs");
    printRatio(reporter, "putLine/fputs(joined LF, reference)", "BM_CXFilePutLine",
               "BM_FputsJoined");
    return 0;
}
