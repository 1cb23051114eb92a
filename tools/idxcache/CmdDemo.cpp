// idxcache demo: the library doing its job on a small simulated disk in a
// scratch home, with several processes sharing one cache root.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Shared.h"
#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheOpsService.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"

namespace cli {

pid_t spawn(const std::function<int()>& body) {
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = body();
        std::fflush(stdout);
        ::_exit(rc);
    }
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every cache directory below the root, as realm/app/timestamp.
std::set<std::string> cacheDirs(const std::string& root) {
    std::set<std::string> dirs;
    std::error_code ec;
    for (auto& realm : std::filesystem::directory_iterator(root, ec)) {
        for (auto& app : std::filesystem::directory_iterator(realm.path(), ec)) {
            for (auto& ts : std::filesystem::directory_iterator(app.path(), ec)) {
                if (ts.is_directory())
                    dirs.insert(realm.path().filename().string() + "/" +
                                app.path().filename().string() + "/" +
                                ts.path().filename().string());
            }
        }
    }
    return dirs;
}

namespace {

constexpr unsigned long kRealm = 2;
constexpr unsigned long long kMiB = 1024 * 1024;
constexpr const char* kClient = "demo-node";
constexpr time_t kStart = 1767229200; // 2026-01-01 01:00 UTC
constexpr long kDay = 86400;

std::string clockText() {
    time_t t = platform::now();
    struct tm tmv;
    char buf[32];
    ::gmtime_r(&t, &tmv);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tmv);
    return buf;
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    std::printf("[%s pid %5d] %s\n", clockText().c_str(), static_cast<int>(::getpid()), buf);
    std::fflush(stdout);
}

// The demo's clock: days pass at the demo's command, while every wait (a
// record lock held by another process) still takes its real time.
class DemoClock : public platform::Env {
public:
    explicit DemoClock(time_t start)
        : offset_(start - ::time(nullptr)), previous_(platform::setEnv(this)) {}
    ~DemoClock() override { platform::setEnv(previous_); }
    DemoClock(const DemoClock&) = delete;
    DemoClock& operator=(const DemoClock&) = delete;
    time_t now() override { return ::time(nullptr) + offset_; }
    int statvfs(const char* path, struct statvfs64* out) override {
        return previous_ ? previous_->statvfs(path, out) : Env::statvfs(path, out);
    }
    void advance(long seconds) { offset_ += seconds; }

private:
    long offset_;
    platform::Env* previous_;
};

// A backup job's index: update (create for the first or a full backup),
// index files with a reservation before each, then close (or crash).
int backupJob(unsigned long app, long long job, bool full, int files, unsigned long long size,
              bool crash) {
    auto make = [&](BackupType type) {
        auto d = std::make_unique<JobResultsCacheDir>(1, kRealm, app, job, type, 0, TCacheTypeTape,
                                                      false);
        d->initialize(kClient);
        return d;
    };
    auto dir = make(full ? BackupTypeFull : BackupTypeIncremental);
    const char* path = full ? nullptr : dir->update(false, 0, false);
    const char* how = "update";
    if (!path) {
        // A first or full backup starts a new index in a fresh object.
        dir = make(BackupTypeFull);
        path = dir->create(0);
        how = "create";
    }
    if (!path) {
        say("app %lu job %lld: no cache directory (error %d)", app, job, dir->getErrno());
        return 1;
    }
    std::string where = path;
    say("app %lu job %lld: %s -> %s", app, job, how, where.c_str());
    std::vector<char> block(kMiB, 'x');
    for (int i = 0; i < files; ++i) {
        int rc = dir->reserve(size, static_cast<unsigned>(kRealm), dir->getAppIdName().c_str(),
                              static_cast<unsigned>(dir->getTimeStamp()));
        if (rc != 1) {
            say("app %lu job %lld: reservation of %llu MiB refused", app, job, size / kMiB);
            dir->close(false);
            return 1;
        }
        CXFile f;
        std::string file = where + "/index" + std::to_string(i);
        f.open(file.c_str(), sfOpenCreate, 0, 0644);
        for (unsigned long long done = 0; done < size; done += block.size())
            f.write(block.data(), block.size());
        f.close();
    }
    if (crash) {
        say("app %lu job %lld: wrote %d files, then the process dies (no close)", app, job, files);
        ::_exit(0);
    }
    int rc = dir->close(false);
    say("app %lu job %lld: wrote %d files of %llu MiB, close: %s", app, job, files, size / kMiB,
        rc == 0 ? "closed" : "failed");
    return rc == 0 ? 0 : 1;
}

// Lines of a file that contain text, each once, without the line end.
std::vector<std::string> fileLinesWith(const std::string& path, const std::string& text) {
    std::vector<std::string> found;
    std::set<std::string> seen;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return found;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.find(text) != std::string::npos && seen.insert(s).second)
            found.push_back(s);
    }
    std::fclose(f);
    return found;
}

// Lines of the scratch home's debug log that contain text, each once,
// from the text on.
std::vector<std::string> logLinesWith(const std::string& home, const char* text) {
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const std::string& line : fileLinesWith(home + "/logs/idxcache.log", text)) {
        std::string s = line.substr(line.find(text));
        if (seen.insert(s).second)
            found.push_back(s);
    }
    return found;
}

// Runs this program's own `ls` on the scratch home.
void listRoot() {
    std::fflush(stdout);
    pid_t ls = spawn([] {
        ::execl("/proc/self/exe", "idxcache", "ls", static_cast<char*>(nullptr));
        return 127;
    });
    reap(ls);
}

int runAll(const std::vector<std::function<int()>>& jobs) {
    std::vector<pid_t> pids;
    for (const auto& j : jobs)
        pids.push_back(spawn(j));
    int failures = 0;
    for (pid_t p : pids)
        failures += reap(p) != 0;
    return failures;
}

// A backup that takes a checkpoint copy of its index and dies before it
// closes; the next run's resume restores the copy and carries on.
int checkpointedBackupThenResume(unsigned long app, long long job) {
    int rc = runAll({[=] {
        JobResultsCacheDir dir(1, kRealm, app, job, BackupTypeFull, 0, TCacheTypeTape, false);
        dir.initialize(kClient);
        const char* path = dir.create(0);
        if (!path)
            return 1;
        CXFile f;
        const std::string file = std::string(path) + "/index0.dat";
        f.open(file.c_str(), sfOpenCreate, 0, 0644);
        f.write("rows", 4);
        f.close();
        dir.setIndexCheckpointFlag(true);
        say("app %lu job %lld: checkpoint copy of %s: %s", app, job, path,
            dir.createCopy(nullptr) == 0 ? "taken" : "failed");
        ::unlink(file.c_str()); // the index is damaged, then the process dies
        say("app %lu job %lld: index file lost, then the process dies (no close)", app, job);
        ::_exit(0);
    }});
    rc += runAll({[=] {
        JobResultsCacheDir dir(1, kRealm, app, 0, BackupTypeIncremental, 0, TCacheTypeTape, false);
        dir.initialize(kClient);
        dir.setIndexCheckpointFlag(true);
        const char* path = dir.resume(0, true);
        if (!path) {
            say("app %lu: resume failed (error %d)", app, dir.getErrno());
            return 1;
        }
        const bool back = ::access((std::string(path) + "/index0.dat").c_str(), F_OK) == 0;
        say("app %lu: resumed %s from its checkpoint copy, index file %s", app, path,
            back ? "restored" : "still missing");
        return dir.suspend() == 0 && back ? 0 : 1;
    }});
    return rc;
}

// Starts the service (a fork of the demo, so it sees the same simulated
// disk and clock), has a process reserve and release through it, stops it.
int reserveThroughService() {
    CacheOpsService service;
    std::fflush(stdout);
    if (service.start(false) != 0) {
        say("the service did not start");
        return 1;
    }
    say("service started, pid %d", static_cast<int>(CacheOpsService::runningPid()));
    int failed = runAll({[] {
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.initialize(kClient);
        int rc = fs.remoteReserveOnDisk(static_cast<long>(kMiB / 4096), 0, nullptr, 0, false);
        say("reserve of 1 MiB through the service: %s", rc == 1 ? "reserved" : "refused");
        // The service wrote the line, under this process's id.
        const std::string mine = ":" + std::to_string(::getpid()) + " ";
        for (const std::string& line : fileLinesWith(fs.getReserveFilePath(), mine))
            say("reserve-file line written by the service for pid %d: %s",
                static_cast<int>(::getpid()), line.c_str());
        int released = fs.remoteReserveOnDisk(0, 0, nullptr, 0, true);
        say("release through the service: %s", released >= 0 ? "done" : "failed");
        return rc == 1 && released >= 0 ? 0 : 1;
    }});
    std::string message;
    int stopped = CacheOpsService::stop(message);
    say("service: %s", message.c_str());
    return failed + (stopped != 0);
}

} // namespace

void addDemoCommand(CLI::App& app, Context& ctx) {
    auto capacityMiB = std::make_shared<unsigned>(96);
    CLI::App* demo = app.add_subcommand(
        "demo", "Show the library at work on a small simulated disk in a scratch home");
    demo->add_option("--capacity", *capacityMiB, "Size of the simulated disk in MiB")
        ->capture_default_str();
    auto debugLevel = std::make_shared<unsigned>(1);
    demo->add_option("--debug-level", *debugLevel, "Debug level of the scratch home's logs")
        ->capture_default_str();
    demo->callback([capacityMiB, debugLevel, &ctx] {
        char templ[] = "/tmp/idxcache-demo-XXXXXX";
        if (!::mkdtemp(templ)) {
            std::perror("mkdtemp");
            ctx.exitCode = 1;
            return;
        }
        const std::string home = templ;
        ::setenv("IDXCACHE_HOME", home.c_str(), 1);
        const std::string idx = home + "/idx";
        std::filesystem::create_directories(idx);
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
        platform::KeyStore::set(platform::kPlatformSection, "FocusClient", kClient);
        platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
        platform::KeyStore::set(platform::kPlatformSection, "DebugLevel",
                                std::to_string(*debugLevel));
        const std::string root = idx + "/OX_Index";

        platform::SimulatedVolume volume(idx, *capacityMiB * kMiB, 4096);
        DemoClock clock(kStart);
        std::printf("idxcache demo: scratch home %s\n", home.c_str());
        std::printf("The index cache root %s lies on a simulated disk of %u MiB; the clock "
                    "jumps one day between backup rounds.\n\n",
                    root.c_str(), *capacityMiB);

        int failures = 0;
        const unsigned long apps[] = {101, 102, 103};
        long long job = 1000;
        std::printf("== Day 1: full backups of three subclients, three processes at once\n");
        std::vector<std::function<int()>> round;
        for (unsigned long a : apps) {
            long long j = ++job;
            round.push_back([=] { return backupJob(a, j, true, 3, 2 * kMiB, false); });
        }
        failures += runAll(round);
        clock.advance(kDay / 2);
        std::printf("\n== A restore browses the day-1 index of app 101 and keeps it open\n");
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            ctx.exitCode = 1;
            return;
        }
        const unsigned long day1 = static_cast<unsigned long>(kStart + 600);
        pid_t browser = spawn([&] {
            JobResultsCacheDir dir(1, kRealm, 101, 0, BackupTypeFull, 0, TCacheTypeTape, false);
            dir.initialize(kClient);
            const char* path = dir.open(day1, false);
            say("browse app 101 up to day 1: %s", path ? path : "nothing to open");
            char c = 1;
            (void)!::write(fromChild[1], &c, 1);
            (void)!::read(toChild[0], &c, 1);
            dir.close(false);
            say("browse app 101: closed");
            return path ? 0 : 1;
        });
        char c;
        (void)!::read(fromChild[0], &c, 1);

        for (int day = 2; day <= 3; ++day) {
            clock.advance(day == 2 ? kDay / 2 : kDay);
            std::printf("\n== Day %d: incremental backups (each copies the previous index)\n", day);
            round.clear();
            for (unsigned long a : apps) {
                long long j = ++job;
                round.push_back([=] { return backupJob(a, j, false, 3, 2 * kMiB, false); });
            }
            failures += runAll(round);
        }

        clock.advance(kDay);
        std::printf("\n== Day 4: a larger backup of app 102; the disk runs short\n");
        std::printf("   (used %llu of %u MiB before it starts)\n", volume.usedBytes() / kMiB,
                    *capacityMiB);
        std::set<std::string> before = cacheDirs(root);
        long long bigJob = ++job;
        failures += runAll({[=] { return backupJob(102, bigJob, false, 6, 10 * kMiB, false); }});
        std::set<std::string> after = cacheDirs(root);
        std::printf("   clean-up ran inside the reservations and removed, oldest access first:\n");
        for (const std::string& d : before) {
            if (!after.count(d))
                std::printf("     removed  %s\n", d.c_str());
        }

        std::printf("\n== Routine clean-up: every index not accessed since day 3 began goes\n");
        before = cacheDirs(root);
        int cleaned = runAll({[=] {
            JobResultsCacheFs fs(1, TCacheTypeTape, false);
            fs.initialize(kClient);
            fs.setCutoffTime(static_cast<unsigned long long>(kStart + 2 * kDay - 3600));
            int rc = fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0);
            say("clean-up of %s: %s", fs.getCacheFs(), rc == 1 ? "done" : "space still short");
            return rc < 0 ? 1 : 0;
        }});
        failures += cleaned;
        after = cacheDirs(root);
        for (const std::string& d : before) {
            if (!after.count(d))
                std::printf("     removed  %s\n", d.c_str());
        }
        for (std::string line : logLinesWith(home, "cannot discard directory ")) {
            std::string::size_type at = line.find(root + "/");
            if (at != std::string::npos)
                line = line.substr(at + root.size() + 1);
            std::printf("     kept     %s (in use by another process)\n", line.c_str());
        }
        std::printf("\n   the cache root while the browse still holds its index:\n");
        listRoot();

        clock.advance(kDay);
        std::printf("\n== Day 5: the backup of app 103 crashes half-way\n");
        long long crashJob = ++job;
        runAll({[=] { return backupJob(103, crashJob, false, 2, 1 * kMiB, true); }});
        std::set<std::string> withCrash = cacheDirs(root);
        std::printf("\n== A browse of app 103 finds the crashed writer's directory\n");
        failures += runAll({[=] {
            JobResultsCacheDir dir(1, kRealm, 103, 0, BackupTypeFull, 0, TCacheTypeTape, false);
            dir.initialize(kClient);
            const char* path = dir.open(0, false);
            say("browse app 103: %s", path ? path : "nothing to open");
            dir.close(false);
            return path ? 0 : 1;
        }});

        std::set<std::string> afterBrowse = cacheDirs(root);
        for (const std::string& d : withCrash) {
            if (!afterBrowse.count(d))
                std::printf("   %s (left in the writing state by a dead process) was discarded\n",
                            d.c_str());
        }

        char go = 1;
        (void)!::write(toChild[1], &go, 1);
        failures += reap(browser) != 0;
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
            ::close(fd);

        std::printf("\n== The backup of app 104 crashes after a checkpoint copy and resumes\n");
        failures += checkpointedBackupThenResume(104, ++job);

        std::printf("\n== A process reserves through the storage-node service\n");
        failures += reserveThroughService();

        std::printf("\n== Final state of the cache root (idxcache ls)\n");
        listRoot();
        std::printf("\nUsed %llu of %u MiB. Inspect it with: IDXCACHE_HOME=%s idxcache ls\n",
                    volume.usedBytes() / kMiB, *capacityMiB, home.c_str());
        if (failures)
            ctx.exitCode = 1;
    });
}

} // namespace cli
