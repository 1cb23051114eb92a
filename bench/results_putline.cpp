// The results writer against plain stdio on the same lines in the same run.
//
// StoreResults::putLine writes each line with its 5-byte map entry and a
// reservation per line, in single mode (small reservations come from the
// process's reserve buffer; reservations are switched on through
// Depot/sDISABLERESERVE = no in a scratch platform home). The baseline is
// fwrite of the same lines and their LF through a 64 KiB stdio buffer. Both
// sides end with the close that flushes. The best of several rounds of each
// is compared, in CPU seconds of the process (user and system), so that other
// load on the machine disturbs the figures less; the ratio is writer lines/s
// over fwrite lines/s (target: at least 0.5).
// Usage: bench_results_putline [lines] [rounds].
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cachefs/CacheFsBase.h"
#include "jobresults/StoreResults.h"
#include "platform/OXPlatformInfo.h"

namespace {

double cpuNow() {
    struct timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    const long lines = argc > 1 ? std::atol(argv[1]) : 2000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char home[] = "/tmp/idxcache-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    ::setenv("IDXCACHE_HOME", home, 1);
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
    CacheFsBase::setMultiThreaded(false);

    std::vector<std::string> text(1000);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = "/data/client/volume" + std::to_string(i % 7) + "/folder" + std::to_string(i) +
                  "/file_" + std::string(20 + i % 40, 'a' + i % 26) + ".dat 1";

    double bestStore = 1e9, bestStdio = 1e9;
    for (int r = 0; r < rounds; ++r) {
        {
            StoreResults store(2, 1000 + r, false, "client1");
            if (store.openFile(RF_BACKUP, true, true) != 0)
                return 1;
            const double start = cpuNow();
            for (long i = 0; i < lines; ++i)
                if (store.putLine(text[i % text.size()].c_str(), false) != 0)
                    return 1;
            store.closeFile();
            bestStore = std::min(bestStore, cpuNow() - start);
        }
        {
            const std::string path = std::string(home) + "/stdio.out";
            const double start = cpuNow();
            FILE* f = std::fopen(path.c_str(), "we");
            std::vector<char> buffer(64 * 1024);
            std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
            for (long i = 0; i < lines; ++i) {
                const std::string& t = text[i % text.size()];
                std::fwrite(t.data(), 1, t.size(), f);
                std::fputc('\n', f);
            }
            std::fclose(f);
            bestStdio = std::min(bestStdio, cpuNow() - start);
            ::unlink(path.c_str());
        }
    }
    std::printf("putLine with map and reservation: %.0f lines/s\n", lines / bestStore);
    std::printf("fwrite, 64 KiB buffer:             %.0f lines/s\n", lines / bestStdio);
    std::printf("ratio putLine / fwrite: %.2f (target >= 0.5)\n", bestStdio / bestStore);
    return std::system((std::string("rm -rf ") + home).c_str()) == 0 ? 0 : 1;
}
