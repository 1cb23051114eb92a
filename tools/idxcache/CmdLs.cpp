// idxcache ls: every cache directory under a cache root (root/realm/app/time
// stamp) with its state, access time, job, size and whether a process holds it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Json.h"
#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "port/CXDirectory.h"

namespace cli {

namespace {

// A cache directory the listing only looks at: nothing is restored, backed
// up or cleaned through it.
class ListedCacheDir : public JobResultsCacheDir {
public:
    ListedCacheDir(unsigned long realm, const std::string& app, unsigned long timeStamp,
                   TCacheTypeEnum type)
        : CacheFsBase(kAppType, type, false),
          JobResultsCacheDir(kAppType, realm, 0, 0, BackupTypeFull, timeStamp, type, false) {
        setDebugPrefix("IDXCACHE_LS");
        // The directory's own name, "scp_" names included.
        setAppIdName(app);
        preInitResult = isAppIdName(app) ? 0 : -1;
    }

    // Points the object at a directory found on disk (a time stamp of 0 gets
    // no path from initialisation); false when the path does not fit.
    bool pointAt(const std::string& path, unsigned long timeStamp) {
        try {
            timeStamp_ = timeStamp;
            setCacheDirPath(path.c_str());
            return true;
        } catch (const char*) {
            return false;
        }
    }

    int preInitResult = 0;

private:
    static constexpr OXAppType kAppType = 1;
};

// The access time is read with the library's retries, which wait for a writer
// that is still creating its directory; a listing takes the State file as it
// finds it, so the waits are skipped.
class NoWaitEnv : public platform::Env {
public:
    NoWaitEnv() : previous_(platform::setEnv(this)) {}
    ~NoWaitEnv() override { platform::setEnv(previous_); }
    NoWaitEnv(const NoWaitEnv&) = delete;
    NoWaitEnv& operator=(const NoWaitEnv&) = delete;
    void sleepMs(unsigned long) override {}

private:
    platform::Env* previous_;
};

struct LsArgs {
    int cacheType = 0;
    std::string client;
    std::string realm;
    std::string app;
    bool json = false;
};

struct Entry {
    unsigned long realm = 0;
    std::string app;
    unsigned long timeStamp = 0;
    std::string path;
    int state = -1;
    unsigned long atime = 0;
    bool haveJob = false;
    std::string jobToken;
    std::string host;
    long long size = -1;
    std::string held;
};

const char* stateWord(int state) {
    switch (state) {
    case 0:
        return "closed";
    case 1:
        return "suspended";
    case 2:
        return "reading";
    case 3:
        return "writing";
    case -1:
        return "unreadable";
    default:
        return "invalid";
    }
}

std::string timeText(unsigned long t) {
    if (t == 0)
        return "-";
    time_t value = static_cast<time_t>(t);
    struct tm parts;
    char text[32];
    if (!::gmtime_r(&value, &parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &parts) == 0)
        return std::to_string(t);
    return text;
}

// Entry names of a directory that pass keep, in directory order.
template <typename Keep> std::vector<std::string> listNames(const std::string& path, Keep keep) {
    std::vector<std::string> names;
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0)
        return names;
    while (const char* name = dir.read()) {
        std::string n = name;
        if (n != "." && n != ".." && keep(n))
            names.push_back(n);
    }
    dir.close();
    return names;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether another process holds the directory: a write lock keeps out the
// read probe, a read lock only the write probe. Both probes let go at once.
std::string heldBy(ListedCacheDir& dir) {
    int read = dir.readLock(0);
    if (read == 1)
        dir.unLock();
    if (read == 0)
        return "writer";
    if (read < 0)
        return "error";
    int write = dir.writeLock(0);
    if (write == 1) {
        dir.unLock();
        return "no";
    }
    return write == 0 ? "readers" : "error";
}

// A realm number or time stamp directory name: decimal digits within 32 bits,
// as the path scheme writes them.
bool isNumberName(const std::string& name) {
    return CacheFsBase::isDecimal(name.c_str()) && name.size() <= 10 &&
           std::strtoull(name.c_str(), nullptr, 10) <= 0xFFFFFFFFull;
}

Entry describe(const std::string& client, TCacheTypeEnum type, const std::string& root,
               unsigned long realm, const std::string& app, unsigned long timeStamp) {
    Entry e;
    e.realm = realm;
    e.app = app;
    e.timeStamp = timeStamp;
    e.path = root + "/" + std::to_string(realm) + "/" + app + "/" + std::to_string(timeStamp);
    ListedCacheDir dir(realm, app, timeStamp, type);
    if (dir.preInitResult != 0)
        return e;
    dir.initialize(client.empty() ? nullptr : client.c_str());
    if (!dir.pointAt(e.path, timeStamp))
        return e;
    const char* path = e.path.c_str();
    // Opening the State file for its state or a lock would create a missing one.
    const bool haveState = ::access((e.path + "/State").c_str(), F_OK) == 0;
    if (haveState) {
        e.state = dir.getCacheState();
        NoWaitEnv noWait;
        e.atime = dir.getAtime();
        e.held = heldBy(dir);
    } else {
        e.held = "-";
    }
    long long jobId = 0;
    std::string host;
    unsigned int phase = 0, attempt = 0, counter = 0;
    if (::access((e.path + "/JobId").c_str(), F_OK) == 0 &&
        dir.readJobIdFile(&jobId, &host, &phase, &attempt, &counter) == 1) {
        char token[96];
        std::snprintf(token, sizeof token, "%llu:%u:%u:%u", static_cast<unsigned long long>(jobId),
                      phase, attempt, counter);
        e.haveJob = true;
        e.jobToken = token;
        e.host = host;
    }
    CXDirectory sizer;
    if (sizer.open(path) == 0) {
        sizer.setRecursion(true);
        e.size = sizer.sumSizes();
        sizer.close();
    }
    return e;
}

void printTable(const std::string& root, const std::vector<Entry>& entries) {
    std::printf("cache root: %s\n", root.c_str());
    std::printf("%-6s %-16s %-11s %-10s %-21s %-24s %-16s %12s %-7s\n", "REALM", "APP", "TIMESTAMP",
                "STATE", "ACCESSED", "JOB TOKEN", "HOST", "BYTES", "HELD");
    for (const Entry& e : entries) {
        std::printf("%-6lu %-16s %-11lu %-10s %-21s %-24s %-16s %12s %-7s\n", e.realm,
                    e.app.c_str(), e.timeStamp, stateWord(e.state), timeText(e.atime).c_str(),
                    e.haveJob ? e.jobToken.c_str() : "-", e.haveJob ? e.host.c_str() : "-",
                    e.size < 0 ? "-" : std::to_string(e.size).c_str(), e.held.c_str());
    }
    std::printf("%zu cache director%s\n", entries.size(), entries.size() == 1 ? "y" : "ies");
}

void printJson(const std::string& root, const std::vector<Entry>& entries) {
    nlohmann::ordered_json dirs = nlohmann::ordered_json::array();
    for (const Entry& e : entries) {
        nlohmann::ordered_json d;
        d["realm"] = e.realm;
        d["app"] = e.app;
        d["timeStamp"] = e.timeStamp;
        d["path"] = e.path;
        d["state"] = e.state;
        d["stateName"] = stateWord(e.state);
        d["accessTime"] = e.atime;
        d["jobToken"] = e.haveJob ? nlohmann::ordered_json(e.jobToken) : nullptr;
        d["host"] = e.haveJob ? nlohmann::ordered_json(e.host) : nullptr;
        d["bytes"] = e.size < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.size);
        d["held"] = e.held;
        dirs.push_back(std::move(d));
    }
    nlohmann::ordered_json out;
    out["cacheRoot"] = root;
    out["directories"] = std::move(dirs);
    printJsonDocument(out);
}

} // namespace

void addLsCommand(CLI::App& app, Context& ctx) {
    auto args = std::make_shared<LsArgs>();
    CLI::App* ls = app.add_subcommand(
        "ls", "List the cache directories of a cache root with their state, access time, job, "
              "size and holder");
    ls->add_option("--cache-type", args->cacheType, "0 index, 1 content index, 2 snap, 3 page")
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    ls->add_option("--client", args->client, "Client name (default: the focus client)");
    ls->add_option("--realm", args->realm, "Only this realm number");
    ls->add_option("--app", args->app, "Only this application id name (\"17\", \"scp_17_4\")");
    ls->add_flag("--json", args->json, "Print JSON instead of a table");
    ls->callback([args, &ctx] {
        const auto type = static_cast<TCacheTypeEnum>(args->cacheType);
        if (!args->realm.empty() && !isNumberName(args->realm)) {
            std::fprintf(stderr, "--realm takes a realm number, not '%s'\n", args->realm.c_str());
            ctx.exitCode = 2;
            return;
        }
        ListedCacheDir locator(0, "0", 0, type);
        locator.initialize(args->client.empty() ? nullptr : args->client.c_str());
        const char* rootPath = locator.isInitialized() ? locator.getCacheFs() : nullptr;
        if (!rootPath) {
            std::fprintf(stderr, "cannot initialise the cache filesystem (reason %d): %s\n",
                         static_cast<int>(locator.getInitializationFailureReason()),
                         locator.jobPendingMessage().c_str());
            ctx.exitCode = 1;
            return;
        }
        const std::string root = rootPath;
        const std::string client = locator.getClientName();

        std::vector<Entry> entries;
        auto realms = listNames(root, [&](const std::string& n) {
            return isNumberName(n) && isDirectory(root + "/" + n) &&
                   (args->realm.empty() || std::strtoul(n.c_str(), nullptr, 10) ==
                                               std::strtoul(args->realm.c_str(), nullptr, 10));
        });
        for (const std::string& realm : realms) {
            const std::string realmDir = root + "/" + realm;
            auto apps = listNames(realmDir, [&](const std::string& n) {
                return CacheFsBase::isAppIdName(n) && isDirectory(realmDir + "/" + n) &&
                       (args->app.empty() || n == args->app);
            });
            for (const std::string& appName : apps) {
                const std::string appDir = realmDir + "/" + appName;
                auto stamps = listNames(appDir, [&](const std::string& n) {
                    return isNumberName(n) && isDirectory(appDir + "/" + n);
                });
                for (const std::string& stamp : stamps)
                    entries.push_back(describe(client, type, root,
                                               std::strtoul(realm.c_str(), nullptr, 10), appName,
                                               std::strtoul(stamp.c_str(), nullptr, 10)));
            }
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.realm != b.realm)
                return a.realm < b.realm;
            if (a.app != b.app)
                return a.app < b.app;
            return a.timeStamp < b.timeStamp;
        });
        if (args->json)
            printJson(root, entries);
        else
            printTable(root, entries);
    });
}

} // namespace cli
