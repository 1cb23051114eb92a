// idxcache soak: many job processes on one cache root of a small simulated
// disk for minutes, killed at random and stopped at crash points, while the
// supervisor checks that nothing in use is removed and every file still parses.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Shared.h"
#include "cachedir/JobResultsCacheDir.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/ApplicationId.h"
#include "platform/CrashPoint.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

constexpr unsigned long kRealm = 2;
constexpr OXAppType kAppType = 1;
constexpr const char* kClient = "soak-node";

// The crash points the workers' operations pass.
const char* const kCrashPoints[] = {"reserve.rewrite", "create.made",      "create.stated",
                                    "update.renamed",  "update.copying",   "discard.truncated",
                                    "discard.emptied", "discard.unlinked", "results.line",
                                    "jobid.written",   "jobstatus.written"};

enum Op { kBackup, kUpdate, kBrowse, kCleanup, kReserve, kResults, kPaging, kOps };
const char* const kOpNames[kOps] = {"backup (create)", "backup (update)", "browse",      "clean-up",
                                    "reserve/release", "results write",   "results page"};

// Counters every process adds to, in memory shared across fork.
struct Tally {
    std::atomic<bool> stop;
    std::atomic<long> done[kOps];
    std::atomic<long> refused[kOps];
    std::atomic<long> indexesVerified;
    std::atomic<long> pagesCompared;
    std::atomic<long> violations;
};

struct Soak {
    std::string home, root;
    unsigned apps = 2;
    Tally* tally = nullptr;
};

void violation(const Soak& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void violation(const Soak& s, const char* format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    ++s.tally->violations;
    const std::string line = "pid " + std::to_string(::getpid()) + ": " + text + "\n";
    int fd = ::open((s.home + "/violations.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                    0644);
    if (fd >= 0) {
        (void)!::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

// An index file's content says whose it is: "f<app>_<job>_<n>_<size>.dat"
// holds its application, job and number repeated up to its size.
std::string indexPattern(unsigned long app, long long job, unsigned n) {
    return "app " + std::to_string(app) + " job " + std::to_string(job) + " file " +
           std::to_string(n) + "\n";
}

// Checks every index file of a directory against its name; why says what is wrong.
bool verifyIndex(const std::string& path, std::string& why) {
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) {
        why = path + ": cannot list (" + ec.message() + ")";
        return false;
    }
    for (const fs::directory_entry& e : it) {
        unsigned long app = 0, size = 0;
        long long job = 0;
        unsigned n = 0;
        const std::string name = e.path().filename().string();
        if (std::sscanf(name.c_str(), "f%lu_%lld_%u_%lu.dat", &app, &job, &n, &size) != 4)
            continue;
        const std::string pattern = indexPattern(app, job, n);
        std::ifstream in(e.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bool same = in.is_open() && content.size() == size;
        for (size_t i = 0; same && i < content.size(); ++i)
            same = content[i] == pattern[i % pattern.size()];
        if (!same || content.size() != size) {
            why = e.path().string() + ": " +
                  (in.is_open() ? std::to_string(content.size()) + " bytes, not its content"
                                : "gone while listed");
            return false;
        }
    }
    return true;
}

std::unique_ptr<JobResultsCacheDir> makeDir(unsigned long app, long long job, BackupType type) {
    auto d = std::make_unique<JobResultsCacheDir>(kAppType, kRealm, app, job, type, 0,
                                                  TCacheTypeTape, false);
    d->initialize(kClient);
    return d;
}

// A results line says which job and line it is.
std::string resultLine(long long job, long long n) {
    return "job " + std::to_string(job) + " line " + std::to_string(n) + " " +
           std::string(static_cast<size_t>(n * 7 % 53), 'r');
}

struct Results {
    long long job;
    long long lines;
    std::string file;
};

class Worker {
public:
    Worker(const Soak& s, unsigned seed) : s_(s), rng_(seed) {}

    int run() {
        while (!s_.tally->stop) {
            const unsigned pick = rand(0, 99);
            const unsigned long app = 101 + rand(0, s_.apps - 1);
            if (pick < 25)
                backup(app, pick < 7);
            else if (pick < 45)
                browse(app);
            else if (pick < 52)
                cleanUp();
            else if (pick < 62)
                reserve();
            else if (pick < 77)
                writeResults();
            else if (!written_.empty())
                page(written_[rand(0, static_cast<unsigned>(written_.size()) - 1)], false);
        }
        // Every page of what this process wrote reads back as written.
        for (const Results& r : written_)
            page(r, true);
        return 0;
    }

private:
    unsigned rand(unsigned lo, unsigned hi) {
        return std::uniform_int_distribution<unsigned>(lo, hi)(rng_);
    }
    void pause(unsigned maxMs) { ::usleep(rand(0, maxMs) * 1000); }
    long long nextJob() { return static_cast<long long>(::getpid()) * 10000 + ++jobs_; }

    void backup(unsigned long app, bool full) {
        // Jobs of one subclient run one after another, as the job manager starts them.
        const std::string lockPath = s_.home + "/applocks/" + std::to_string(app);
        int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
            violation(s_, "cannot lock %s", lockPath.c_str());
            if (lock >= 0)
                ::close(lock);
            return;
        }
        // A cache directory is named after its second: the subclient's next
        // job starts in a later one, as it would on a real node.
        const std::string prefix = std::to_string(kRealm) + "/" + std::to_string(app) + "/";
        unsigned long newest = 0;
        for (const std::string& d : cacheDirs(s_.root))
            if (d.compare(0, prefix.size(), prefix) == 0)
                newest = std::max(newest, std::stoul(d.substr(prefix.size())));
        while (static_cast<unsigned long>(platform::now()) <= newest)
            ::usleep(50 * 1000);
        const long long job = nextJob();
        auto dir = makeDir(app, job, full ? BackupTypeFull : BackupTypeIncremental);
        Op op = kUpdate;
        const char* path = full ? nullptr : dir->update(false, 0, false);
        if (!path && (full || dir->getErrno() == IndexCacheDirBase::ERR_NOT_FOUND)) {
            op = kBackup;
            dir = makeDir(app, job, BackupTypeFull);
            path = dir->create(0);
        }
        if (!path) {
            ++s_.tally->refused[op];
            ::close(lock);
            return;
        }
        const std::string where = path;
        const std::string appName = dir->getAppIdName();
        const unsigned files = rand(1, 3);
        for (unsigned n = 0; n < files; ++n) {
            const unsigned long size = rand(1, 96) * 8192 + rand(0, 99);
            if (dir->reserve(size, kRealm, appName.c_str(),
                             static_cast<unsigned>(dir->getTimeStamp())) != 1) {
                ++s_.tally->refused[op];
                break;
            }
            const std::string pattern = indexPattern(app, job, n);
            std::string content;
            while (content.size() < size)
                content += pattern;
            content.resize(size);
            CXFile f;
            const std::string file = where + "/f" + std::to_string(app) + "_" +
                                     std::to_string(job) + "_" + std::to_string(n) + "_" +
                                     std::to_string(size) + ".dat";
            if (f.open(file.c_str(), sfOpenCreate, 0, 0644) != 0 ||
                f.write(content.data(), static_cast<unsigned long>(size)) !=
                    static_cast<int>(size) ||
                f.close() != 0)
                violation(s_, "cannot write %s (code %d)", file.c_str(), f.getLastError());
        }
        // The writer held its directory all along: nothing of it may be gone.
        std::string why;
        if (!verifyIndex(where, why))
            violation(s_, "writer of %s: %s", where.c_str(), why.c_str());
        ++s_.tally->indexesVerified;
        if (dir->close(false) != 0)
            violation(s_, "close of %s failed (error %d)", where.c_str(), dir->getErrno());
        ++s_.tally->done[op];
        ::close(lock);
    }

    void browse(unsigned long app) {
        auto dir = makeDir(app, 0, BackupTypeFull);
        const char* path = dir->open(0, false);
        if (!path) {
            ++s_.tally->refused[kBrowse];
            return;
        }
        const std::string where = path;
        // Opened for reading: the directory stays whole until it is closed.
        for (int pass = 0; pass < 2; ++pass) {
            std::string why;
            if (!verifyIndex(where, why))
                violation(s_, "browse of %s (pass %d): %s", where.c_str(), pass + 1, why.c_str());
            ++s_.tally->indexesVerified;
            if (pass == 0)
                pause(200);
        }
        dir->close(false);
        ++s_.tally->done[kBrowse];
    }

    void cleanUp() {
        JobResultsCacheFs cache(kAppType, TCacheTypeTape, false);
        cache.initialize(kClient);
        cache.setCutoffTime(static_cast<unsigned long long>(platform::now() - rand(10, 120)));
        const int rc = cache.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0);
        ++(rc < 0 ? s_.tally->refused : s_.tally->done)[kCleanup];
    }

    void reserve() {
        JobResultsCacheFs cache(kAppType, TCacheTypeTape, false);
        cache.initialize(kClient);
        const unsigned long long bytes = rand(1, 64) * 65536ULL;
        if (cache.reserve(bytes, 0, nullptr, 0) != 1) {
            ++s_.tally->refused[kReserve];
            return;
        }
        pause(100);
        cache.release(bytes, rand(0, 1) == 1);
        ++s_.tally->done[kReserve];
    }

    void writeResults() {
        Results r{nextJob(), rand(1, 120), ""};
        StoreResults store(kRealm, r.job, false, nullptr);
        if (store.openFile(RF_BACKUP, true, false) != 0) {
            ++s_.tally->refused[kResults];
            return;
        }
        for (long long n = 1; n <= r.lines; ++n) {
            if (store.putLine(resultLine(r.job, n).c_str(), rand(0, 9) == 0) != 0) {
                ++s_.tally->refused[kResults];
                store.closeFile();
                return;
            }
        }
        r.file = store.getFile() ? store.getFile() : "";
        if (store.closeFile() != 0) {
            ++s_.tally->refused[kResults];
            return;
        }
        written_.push_back(r);
        ++s_.tally->done[kResults];
    }

    // A page (or, at the end, the whole file) must read back as written.
    void page(const Results& r, bool whole) {
        const long long first = whole ? 1 : rand(1, static_cast<unsigned>(r.lines));
        const long long count = whole ? r.lines : rand(1, 40);
        RetrieveResults reader(kRealm, r.job, RF_BACKUP, nullptr, 0);
        const Page p = fetchPage(reader, first, count);
        if (p.rc != 0 || !p.decoded) {
            // Low-space clean-up of the results root may take a finished job's results.
            if (::access(r.file.c_str(), F_OK) == 0)
                violation(s_, "page %lld+%lld of %s failed (%d) while the file is there", first,
                          count, r.file.c_str(), p.rc);
            ++s_.tally->refused[kPaging];
            return;
        }
        const long long last = std::min(r.lines, first + count - 1);
        bool same = static_cast<long long>(p.lines.size()) == last - first + 1;
        for (size_t i = 0; same && i < p.lines.size(); ++i)
            same = p.lines[i] == resultLine(r.job, first + static_cast<long long>(i));
        if (!same)
            violation(s_, "page %lld+%lld of %s: %zu lines, not as written", first, count,
                      r.file.c_str(), p.lines.size());
        ++s_.tally->pagesCompared;
        ++s_.tally->done[kPaging];
    }

    const Soak& s_;
    std::mt19937 rng_;
    long long jobs_ = 0;
    std::vector<Results> written_;
};

// A State file as a reader may find it: missing or empty (a directory being
// made or discarded), the state digit alone (made, access time not yet
// written), or the state digit and the access time.
bool stateParses(const std::string& t) {
    size_t i = 0;
    auto lineEnd = [&] {
        if (i < t.size() && t[i] == '\r')
            ++i;
        return i < t.size() && t[i++] == '\n';
    };
    if (t.empty())
        return true;
    if (t[i] < '0' || t[i] > '3' || (++i, !lineEnd()))
        return false;
    if (i == t.size())
        return true;
    const size_t digits = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
        ++i;
    if (i == digits)
        return false;
    while (i < t.size() && t[i] == ' ')
        ++i;
    return lineEnd();
}

struct Checks {
    long rounds = 0, stateFiles = 0, reserveLines = 0, deadLineChecks = 0, indexesOpened = 0;
};

class Supervisor {
public:
    Supervisor(const Soak& s, unsigned procs, unsigned seed) : s_(s), slots_(procs), rng_(seed) {}

    int run(double minutes) {
        for (size_t i = 0; i < slots_.size(); ++i)
            start(i);
        const time_t end = ::time(nullptr) + static_cast<time_t>(minutes * 60);
        while (::time(nullptr) < end) {
            for (unsigned waited = 0, pauseMs = rand(200, 2500); waited < pauseMs; waited += 50) {
                ::usleep(50 * 1000);
                reapExited();
            }
            const size_t victim = rand(0, static_cast<unsigned>(slots_.size()) - 1);
            ::kill(slots_[victim], SIGKILL);
            ++kills_;
            ended(victim, reap(slots_[victim]));
        }
        s_.tally->stop = true;
        // Each worker ends its operation and reads back its results; one that
        // hangs meanwhile is a finding of its own.
        const time_t giveUp = ::time(nullptr) + 120;
        for (pid_t& pid : slots_) {
            int status = 0;
            pid_t got;
            while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 && ::time(nullptr) < giveUp)
                ::usleep(100 * 1000);
            if (got == 0) {
                violation(s_, "worker %d still busy 120 s after the end", static_cast<int>(pid));
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (got != 0 && rc != 0 && rc != platform::IDXCACHE_CRASH_EXIT)
                violation(s_, "worker %d ended with %d", static_cast<int>(pid), rc);
            crashExits_ += rc == platform::IDXCACHE_CRASH_EXIT;
            dead_.insert(pid);
            pid = 0;
        }
        check(true);
        return report();
    }

private:
    unsigned rand(unsigned lo, unsigned hi) {
        return std::uniform_int_distribution<unsigned>(lo, hi)(rng_);
    }

    void start(size_t i) {
        std::string crashAt;
        if (rand(0, 3) == 0) {
            crashAt = kCrashPoints[rand(0, std::size(kCrashPoints) - 1)];
            crashAt += ":" + std::to_string(rand(1, 3));
            ++crashRuns_;
        }
        const unsigned seed = rand(0, ~0u);
        slots_[i] = spawn([&] {
            if (!crashAt.empty())
                ::setenv("IDXCACHE_CRASH_AT", crashAt.c_str(), 1);
            return Worker(s_, seed).run();
        });
        ++started_;
    }

    void reapExited() {
        for (size_t i = 0; i < slots_.size(); ++i) {
            int status = 0;
            if (::waitpid(slots_[i], &status, WNOHANG) == slots_[i])
                ended(i, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
    }

    // A worker has gone: its files are checked before it is started again.
    void ended(size_t i, int rc) {
        if (rc == platform::IDXCACHE_CRASH_EXIT)
            ++crashExits_;
        else if (rc != 128 + SIGKILL)
            violation(s_, "worker %d ended with %d", static_cast<int>(slots_[i]), rc);
        dead_.insert(slots_[i]);
        slots_[i] = 0;
        check(false);
        start(i);
    }

    std::vector<std::string> live() const {
        std::vector<std::string> pids;
        for (pid_t p : slots_)
            if (p > 0)
                pids.push_back(std::to_string(p));
        return pids;
    }

    void check(bool final) {
        ++checks_.rounds;
        // Every State file, with the workers stopped wherever they were.
        for (pid_t p : slots_)
            if (p > 0)
                ::kill(p, SIGSTOP);
        for (pid_t p : slots_) {
            siginfo_t info;
            if (p > 0)
                ::waitid(P_PID, static_cast<id_t>(p), &info, WSTOPPED | WEXITED | WNOWAIT);
        }
        std::vector<std::string> closed;
        for (const std::string& d : cacheDirs(s_.root)) {
            std::ifstream in(s_.root + "/" + d + "/State", std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (!in.is_open())
                continue;
            ++checks_.stateFiles;
            if (!stateParses(text))
                violation(s_, "State of %s does not parse: '%s'", d.c_str(), text.c_str());
            else if (!text.empty() && text[0] == '0')
                closed.push_back(d);
        }
        for (pid_t p : slots_)
            if (p > 0)
                ::kill(p, SIGCONT);
        checkReserveFile();
        // Complete indexes open and hold what their writers wrote: all of them
        // at the end, a few while the workers run (which may remove them meanwhile).
        std::shuffle(closed.begin(), closed.end(), rng_);
        if (!final && closed.size() > 2)
            closed.resize(2);
        for (const std::string& d : closed) {
            unsigned long realm = 0, app = 0, ts = 0;
            if (std::sscanf(d.c_str(), "%lu/%lu/%lu", &realm, &app, &ts) != 3)
                continue;
            auto dir = makeDir(app, 0, BackupTypeFull);
            const char* path = dir->open(ts, false);
            if (!path) {
                if (final)
                    violation(s_, "complete index %s does not open (error %d)", d.c_str(),
                              dir->getErrno());
                continue;
            }
            ++checks_.indexesOpened;
            std::string why;
            if (final && path != s_.root + "/" + d)
                violation(s_, "open of %s gave %s", d.c_str(), path);
            else if (!verifyIndex(path, why))
                violation(s_, "complete index %s: %s", d.c_str(), why.c_str());
            dir->close(false);
        }
    }

    // A reservation drops the line of every dead process; every line parses.
    void checkReserveFile() {
        JobResultsCacheFs cache(kAppType, TCacheTypeTape, false);
        cache.initialize(kClient);
        int rc = 0;
        try {
            rc = cache.reserveOnDisk(0, 0, nullptr, 0, false);
        } catch (const char* what) {
            violation(s_, "reservation failed: %s", what);
        }
        std::vector<LineView> lines;
        const std::string host = std::to_string(static_cast<long>(cache.getClientId()));
        if (readReserveFile(cache.getReserveFilePath(), host, lines) < 0)
            violation(s_, "cannot read %s", cache.getReserveFilePath().c_str());
        const std::vector<std::string> running = live();
        for (const LineView& v : lines) {
            ++checks_.reserveLines;
            const std::string pid = v.owner.substr(v.owner.find(':') + 1);
            if (v.malformed)
                violation(s_, "reserve line '%s' does not parse", v.raw.c_str());
            else if (rc == 1 && dead_.count(std::atoi(pid.c_str())) &&
                     std::find(running.begin(), running.end(), pid) == running.end())
                violation(s_, "reserve line '%s' of a dead process survived a reservation",
                          v.raw.c_str());
        }
        checks_.deadLineChecks += rc == 1;
    }

    int report() {
        std::printf("\n%-18s %10s %10s\n", "operation", "done", "refused");
        long ops = 0;
        for (int op = 0; op < kOps; ++op) {
            std::printf("%-18s %10ld %10ld\n", kOpNames[op], s_.tally->done[op].load(),
                        s_.tally->refused[op].load());
            ops += s_.tally->done[op];
        }
        std::printf("%-18s %10ld\n\n", "total", ops);
        std::printf("workers started          %8ld\n", started_);
        std::printf("SIGKILLs                 %8ld\n", kills_);
        std::printf("crash-point runs         %8ld\n", crashRuns_);
        std::printf("crash-point exits        %8ld\n", crashExits_);
        std::printf("invariant check rounds   %8ld\n", checks_.rounds);
        std::printf("  State files parsed     %8ld\n", checks_.stateFiles);
        std::printf("  reserve lines parsed   %8ld\n", checks_.reserveLines);
        std::printf("  dead-line checks       %8ld\n", checks_.deadLineChecks);
        std::printf("  indexes opened         %8ld\n", checks_.indexesOpened);
        std::printf("  indexes verified       %8ld\n", s_.tally->indexesVerified.load());
        std::printf("  pages compared         %8ld\n", s_.tally->pagesCompared.load());
        std::printf("violations               %8ld\n", s_.tally->violations.load());
        if (s_.tally->violations == 0)
            return 0;
        std::ifstream log(s_.home + "/violations.log");
        std::printf("\n%s", std::string((std::istreambuf_iterator<char>(log)),
                                        std::istreambuf_iterator<char>())
                                .c_str());
        return 1;
    }

    const Soak& s_;
    std::vector<pid_t> slots_;
    std::mt19937 rng_;
    std::set<pid_t> dead_;
    Checks checks_;
    long started_ = 0, kills_ = 0, crashRuns_ = 0, crashExits_ = 0;
};

} // namespace

void addSoakCommand(CLI::App& app, Context& ctx) {
    struct Args {
        double minutes = 2;
        unsigned procs = 4, capacityMiB = 0, seed = 0;
        bool keep = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* soak = app.add_subcommand(
        "soak", "Run job processes on one cache root with random kills and crash points, "
                "checking that nothing in use is removed");
    soak->add_option("--minutes", a->minutes, "How long")->capture_default_str();
    soak->add_option("--procs", a->procs, "Worker processes")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    soak->add_option("--capacity", a->capacityMiB,
                     "Simulated disk in MiB (default 3 MiB per worker + 8 MiB)");
    soak->add_option("--seed", a->seed, "Random seed (default: from the clock)");
    soak->add_flag("--keep", a->keep, "Keep the scratch home even without violations");
    soak->callback([a, &ctx] {
        char templ[] = "/tmp/idxcache-soak-XXXXXX";
        if (!::mkdtemp(templ)) {
            std::perror("mkdtemp");
            ctx.exitCode = 1;
            return;
        }
        Soak s;
        s.home = templ;
        s.apps = std::max(2u, a->procs / 2);
        ::setenv("IDXCACHE_HOME", s.home.c_str(), 1);
        ::unsetenv("IDXCACHE_CRASH_AT");
        const std::string disk = s.home + "/disk";
        fs::create_directories(disk + "/idx");
        fs::create_directories(disk + "/results");
        fs::create_directories(s.home + "/applocks");
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", disk + "/idx");
        platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", disk + "/results");
        platform::KeyStore::set(platform::kPlatformSection, "FocusClient", kClient);
        platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
        // Directories a killed process left without a State file go after a
        // minute instead of an hour, within the soak.
        platform::KeyStore::set("Depot", IndexCacheDirBase::kGraceKey, "60");
        for (unsigned app = 101; app < 101 + s.apps; ++app)
            platform::KeyStore::set(
                kAppsSection, std::to_string(kRealm) + ":" + std::to_string(app),
                std::string(kClient) + "\\soak\\\\default\\" + std::to_string(app));
        s.root = disk + "/idx/OX_Index";
        void* shared = ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) {
            std::perror("mmap");
            ctx.exitCode = 1;
            return;
        }
        s.tally = new (shared) Tally();
        const unsigned capacity = a->capacityMiB ? a->capacityMiB : 3 * a->procs + 8;
        const unsigned seed = a->seed ? a->seed : static_cast<unsigned>(::time(nullptr));
        platform::SimulatedVolume volume(disk, capacity * 1024ULL * 1024ULL, 4096);
        std::printf("idxcache soak: %u workers for %g minutes, disk of %u MiB, seed %u, home %s\n",
                    a->procs, a->minutes, capacity, seed, s.home.c_str());
        std::fflush(stdout);
        ctx.exitCode = Supervisor(s, a->procs, seed).run(a->minutes);
        std::printf("disk used at the end: %llu of %u MiB\n", volume.usedBytes() >> 20, capacity);
        if (ctx.exitCode == 0 && !a->keep) {
            std::error_code ec;
            fs::remove_all(s.home, ec);
        } else {
            std::printf("scratch home kept: %s\n", s.home.c_str());
        }
    });
}

} // namespace cli
