// idxcache where | reservations | reserve: the cache root and its reserve file.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Json.h"
#include "Shared.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"
#include "port/CXFile.h"
#include "port/CXProcessId.h"

namespace cli {

LineView describeLine(const char* line, const std::string& myHost, long long now) {
    LineView v;
    v.raw = line;
    const char* space = std::strchr(line, ' ');
    long long t = 0;
    int fields = space ? std::sscanf(space + 1, "%lu %lld", &v.blocks, &t) : 0;
    if (fields < 1) {
        v.malformed = true;
        v.state = "malformed";
        return v;
    }
    v.owner.assign(line, static_cast<size_t>(space - line));
    std::string host, pid = v.owner;
    std::string::size_type colon = v.owner.find(':');
    if (colon == std::string::npos) {
        t = 0;
    } else {
        host = v.owner.substr(0, colon);
        pid = v.owner.substr(colon + 1);
    }
    if (fields < 2)
        t = 0;
    v.state = "live";
    if (CacheFsBase::sameHost(host.c_str(), myHost.c_str())) {
        CXProcessId p;
        if (p.setIdString(&pid[0]) != 0)
            v.state = "stale (bad process id)";
        else if (p.isRunning() == 0)
            v.state = "stale (process gone)";
    } else {
        v.state = "remote";
    }
    // A time before 1970 is older than any day (and has no age to show).
    if (t != 0 && (t < 0 || now - t > CacheFsBase::kStaleLineAge))
        v.state = "stale (older than a day)";
    if (t > 0)
        v.age = now - t;
    return v;
}

int readReserveFile(const std::string& path, const std::string& myHost,
                    std::vector<LineView>& lines) {
    CXFile f;
    if (f.open(path.c_str(), sfOpenRead, 0, 0) != 0)
        return 1;
    // A shared lock: every reservation rewrites the file under an exclusive one.
    if (f.lock(sfLockShared, 30) != 1)
        return -1;
    const long long now = static_cast<long long>(platform::now());
    char line[CacheFsBase::kReserveLineSize];
    int rc;
    while ((rc = f.getLine(line, sizeof line)) != 0) {
        if (rc < 0 && f.getLastError() != -2)
            return -1;
        // Blanks pad the file while a rewrite is cut short; they hold nothing.
        if (line[0] == ' ' && line[std::strspn(line, " ")] == '\0')
            continue;
        lines.push_back(describeLine(line, myHost, now));
    }
    return 0;
}

namespace {

struct Where {
    int cacheType = 0;
    unsigned appType = 5;
    std::string client;
};

std::unique_ptr<JobResultsCacheFs> open(const Where& w, Context& ctx) {
    auto fs = std::make_unique<JobResultsCacheFs>(w.appType,
                                                  static_cast<TCacheTypeEnum>(w.cacheType), false);
    fs->initialize(w.client.empty() ? nullptr : w.client.c_str());
    if (!fs->isInitialized()) {
        std::fprintf(stderr, "cannot initialise the cache filesystem (reason %d): %s\n",
                     static_cast<int>(fs->getInitializationFailureReason()),
                     fs->jobPendingMessage().c_str());
        ctx.exitCode = 1;
        return nullptr;
    }
    return fs;
}

void addWhereOptions(CLI::App* cmd, Where& w) {
    cmd->add_option("--cache-type", w.cacheType, "0 index, 1 content index, 2 snap, 3 page")
        ->capture_default_str();
    cmd->add_option("--app-type", w.appType, "Application type (1001: job results)")
        ->capture_default_str();
    cmd->add_option("--client", w.client, "Client name (default: the focus client)");
}

void printLine(const LineView& v, unsigned long long blockSize) {
    if (v.malformed) {
        std::printf("%-24s %10s %14s %10s  malformed line '%s'\n", "-", "-", "-", "-",
                    v.raw.c_str());
        return;
    }
    char age[32] = "-";
    if (v.age >= 0)
        std::snprintf(age, sizeof age, "%llds", v.age);
    std::printf("%-24s %10lu %14llu %10s  %s\n", v.owner.c_str(), v.blocks, v.blocks * blockSize,
                age, v.state.c_str());
}

nlohmann::ordered_json lineJson(const LineView& v, unsigned long long blockSize) {
    nlohmann::ordered_json j;
    if (v.malformed) {
        j["line"] = v.raw;
        j["state"] = v.state;
        return j;
    }
    j["owner"] = v.owner;
    j["blocks"] = v.blocks;
    j["bytes"] = static_cast<unsigned long long>(v.blocks) * blockSize;
    j["ageSeconds"] = v.age < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(v.age);
    j["state"] = v.state;
    return j;
}

} // namespace

void addReserveCommands(CLI::App& app, Context& ctx) {
    auto where = std::make_shared<Where>();

    CLI::App* w = app.add_subcommand("where", "Print the cache root and the reserve file path");
    addWhereOptions(w, *where);
    w->callback([where, &ctx] {
        auto fs = open(*where, ctx);
        if (!fs)
            return;
        std::printf("client:       %s\n", fs->getClientName().c_str());
        std::printf("cache type:   %s\n", fs->getPrintableCacheType(false));
        std::printf("cache root:   %s\n", fs->getCacheFs());
        std::printf("reserve file: %s\n", fs->getReserveFilePath().c_str());
        if (!fs->getRemoteCacheFs().empty())
            std::printf("remote root:  %s\n", fs->getRemoteCacheFs().c_str());
        std::printf("free space:   %llu of %llu blocks of %llu bytes\n", fs->getFreeBlocks(),
                    fs->getTotalBlocks(), fs->getBlockSize());
    });

    CLI::App* r = app.add_subcommand("reservations",
                                     "List the reserve file's lines without changing the file");
    addWhereOptions(r, *where);
    auto json = std::make_shared<bool>(false);
    r->add_flag("--json", *json, "Print JSON instead of a table");
    r->callback([where, json, &ctx] {
        auto fs = open(*where, ctx);
        if (!fs)
            return;
        std::string path = fs->getReserveFilePath();
        std::string myHost = std::to_string(static_cast<long>(fs->getClientId()));
        std::vector<LineView> lines;
        const int rc = readReserveFile(path, myHost, lines);
        if (rc == 1) {
            std::printf("no reserve file at %s\n", path.c_str());
            return;
        }
        if (rc != 0) {
            std::fprintf(stderr, "cannot read %s under its lock\n", path.c_str());
            ctx.exitCode = 1;
            return;
        }
        if (*json) {
            nlohmann::ordered_json out;
            out["reserveFile"] = path;
            out["host"] = myHost;
            out["blockSize"] = fs->getBlockSize();
            out["lines"] = nlohmann::ordered_json::array();
            for (const LineView& v : lines)
                out["lines"].push_back(lineJson(v, fs->getBlockSize()));
            printJsonDocument(out);
            return;
        }
        std::printf("%s (this host: %s, block size %llu)\n", path.c_str(), myHost.c_str(),
                    fs->getBlockSize());
        std::printf("%-24s %10s %14s %10s  %s\n", "OWNER", "BLOCKS", "BYTES", "AGE", "STATE");
        for (const LineView& v : lines)
            printLine(v, fs->getBlockSize());
    });

    struct ReserveArgs {
        unsigned long long bytes = 0;
        unsigned hold = 0;
        bool remote = false;
    };
    auto args = std::make_shared<ReserveArgs>();
    CLI::App* res = app.add_subcommand("reserve", "Reserve BYTES, hold them, then release");
    res->add_option("bytes", args->bytes, "Bytes to reserve")->required();
    res->add_option("--hold", args->hold, "Seconds to hold the reservation")->capture_default_str();
    res->add_flag("--remote", args->remote, "Have the local storage-node service reserve");
    addWhereOptions(res, *where);
    res->callback([where, args, &ctx] {
        auto fs = open(*where, ctx);
        if (!fs)
            return;
        int rc = args->remote ? fs->remoteReserveOnDisk(
                                    static_cast<long>((args->bytes + CacheFsBase::kReservePad) /
                                                      fs->getBlockSize()),
                                    0, nullptr, 0, false)
                              : fs->reserve(args->bytes, 0, nullptr, 0);
        std::printf("reserve %llu bytes: %s\n", args->bytes,
                    rc == 1   ? "reserved"
                    : rc == 0 ? "not enough space"
                              : "failed");
        if (rc != 1) {
            ctx.exitCode = 1;
            return;
        }
        // Remotely the last reserved blocks are the service's answer: it
        // decides from its own settings whether a line is kept.
        if (fs->getLastReservedBlocks() == 0 && args->remote)
            std::printf("(the service keeps no reserve-file line for this process: space "
                        "reservation is switched off for it)\n");
        else if (fs->getLastReservedBlocks() == 0)
            std::printf("(space reservation is switched off: set Depot/sDISABLERESERVE to \"no\" "
                        "to use the reserve file)\n");
        else
            std::printf("line: %s:%d %ld blocks in %s%s\n",
                        std::to_string(fs->getClientId()).c_str(), static_cast<int>(::getpid()),
                        fs->getLastReservedBlocks(), fs->getReserveFilePath().c_str(),
                        args->remote ? " (written by the service)" : "");
        if (args->hold)
            platform::sleepMs(args->hold * 1000UL);
        if (args->remote ? fs->remoteReserveOnDisk(0, 0, nullptr, 0, true) < 0
                         : fs->release(0, true) != 0) {
            std::printf("release failed\n");
            ctx.exitCode = 1;
            return;
        }
        std::printf("released\n");
    });
}

} // namespace cli
