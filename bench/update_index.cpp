// Update of a 1 GB index (20 files): by copy against `cp -r` of the same tree,
// measured in the same run, and by rename (its time must not grow with the
// index, so it is also measured for an index a tenth of the size).
//
// Usage: bench_update_index [total MiB, default 1024]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXFile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 20;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::unique_ptr<JobResultsCacheDir> makeDir(unsigned long app, BackupType type) {
    auto d = std::make_unique<JobResultsCacheDir>(1, 2, app, 1, type, 0, TCacheTypeTape, false);
    d->initialize("bench");
    return d;
}

// Runs fn in a child (process-wide settings stay there) and reads back a time.
double inChild(const std::function<double()>& fn) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        double t = fn();
        ssize_t w = ::write(fds[1], &t, sizeof t);
        ::_exit(w == sizeof t ? 0 : 1);
    }
    ::close(fds[1]);
    double t = -1;
    if (::read(fds[0], &t, sizeof t) != sizeof t)
        t = -1;
    ::close(fds[0]);
    int status;
    ::waitpid(pid, &status, 0);
    return t;
}

// One update of app's latest index, by copy (backup type 8 forces it) or by
// rename (the space saver setting turns copying off); answers its seconds.
double timeUpdate(unsigned long app, bool copy) {
    // Each update needs a later time stamp than the index it starts from.
    static long step = 0;
    step += 1000;
    return inChild([=] {
        if (!copy)
            platform::KeyStore::set("Depot", "sSPACESAVER", "y");
        platform::VirtualClock clock(::time(nullptr) + step);
        auto d = makeDir(app, copy ? static_cast<BackupType>(8) : BackupTypeIncremental);
        auto t = Clock::now();
        const char* p = d->update(false, 0, false);
        ::sync(); // as the baseline's cp -r && sync: the data is on disk
        double s = secondsSince(t);
        if (!p) {
            std::fprintf(stderr, "update failed: error %d\n", d->getErrno());
            return -1.0;
        }
        d->close(false);
        ::sync();
        platform::KeyStore::remove("Depot", "sSPACESAVER");
        return s;
    });
}

// A closed index of kFiles files totalling mib MiB, made in a child so that
// this process never reads the once-per-process settings; answers its path.
std::string makeIndex(const std::string& root, unsigned long app, unsigned long long mib) {
    inChild([=] {
        auto d = makeDir(app, BackupTypeFull);
        const char* made = d->create(0);
        if (!made)
            return -1.0;
        std::string path = made;
        std::vector<char> block(1 << 20, 'i');
        for (int i = 0; i < kFiles; ++i) {
            CXFile f;
            f.open((path + "/file" + std::to_string(i)).c_str(), sfOpenCreate, 0, 0644);
            for (unsigned long long m = 0; m < mib / kFiles; ++m)
                f.write(block.data(), block.size());
            f.close();
        }
        d->close(false);
        ::sync();
        return 0.0;
    });
    std::string appDir = root + "/2/" + std::to_string(app);
    std::string newest;
    for (auto& e : std::filesystem::directory_iterator(appDir))
        newest = std::max(newest, e.path().string());
    return newest;
}

} // namespace

int main(int argc, char** argv) {
    unsigned long long mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    std::string home = std::filesystem::temp_directory_path() / "idxcache-bench-update";
    std::filesystem::remove_all(home);
    ::setenv("IDXCACHE_HOME", home.c_str(), 1);
    std::string idx = home + "/idx";
    std::filesystem::create_directories(idx);
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "bench");

    const std::string root = idx + "/OX_Index";
    std::string big = makeIndex(root, 17, mib);
    // Baseline and copy alternate, best of two each.
    double cpBest = 1e9, copyBest = 1e9;
    for (int round = 0; round < 2; ++round) {
        auto t = Clock::now();
        std::string cmd = "cp -r " + big + " " + home + "/cp-copy && sync";
        if (std::system(cmd.c_str()) != 0)
            return 1;
        cpBest = std::min(cpBest, secondsSince(t));
        std::filesystem::remove_all(home + "/cp-copy");
        double c = timeUpdate(17, true);
        if (c < 0)
            return 1;
        copyBest = std::min(copyBest, c);
    }
    double renameBig = timeUpdate(17, false);
    makeIndex(root, 18, mib / 10);
    double renameSmall = timeUpdate(18, false);

    std::printf("index: %d files, %llu MiB\n", kFiles, mib);
    std::printf("cp -r:            %.3f s\n", cpBest);
    std::printf("update by copy:   %.3f s\n", copyBest);
    std::printf("ratio (cp time / update-by-copy time): %.2f\n", cpBest / copyBest);
    std::printf("update by rename: %.4f s for %llu MiB, %.4f s for %llu MiB\n", renameBig, mib,
                renameSmall, mib / 10);
    std::filesystem::remove_all(home);
    return 0;
}
