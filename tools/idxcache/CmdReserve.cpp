// idxcache where | reservations | reserve: the cache root and its reserve file.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "Commands.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"
#include "port/CXFile.h"
#include "port/CXProcessId.h"

namespace cli {

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

// One reserve-file line as the reservations listing shows it.
void describeLine(const char* line, const std::string& myHost, unsigned long long blockSize,
                  long long now) {
    // Blanks pad the file while a rewrite is cut short; they hold nothing.
    if (line[0] == ' ' && line[std::strspn(line, " ")] == '\0')
        return;
    const char* space = std::strchr(line, ' ');
    unsigned long blocks = 0;
    long long t = 0;
    int fields = space ? std::sscanf(space + 1, "%lu %lld", &blocks, &t) : 0;
    if (fields < 1) {
        std::printf("%-24s %10s %14s %10s  malformed line '%s'\n", "-", "-", "-", "-", line);
        return;
    }
    std::string owner(line, static_cast<size_t>(space - line));
    std::string host, pid = owner;
    std::string::size_type colon = owner.find(':');
    if (colon == std::string::npos) {
        t = 0;
    } else {
        host = owner.substr(0, colon);
        pid = owner.substr(colon + 1);
    }
    if (fields < 2)
        t = 0;
    std::string state = "live";
    if (CacheFsBase::sameHost(host.c_str(), myHost.c_str())) {
        CXProcessId p;
        if (p.setIdString(&pid[0]) != 0)
            state = "stale (bad process id)";
        else if (p.isRunning() == 0)
            state = "stale (process gone)";
    } else {
        state = "remote";
    }
    if (t != 0 && now - t > CacheFsBase::kStaleLineAge)
        state = "stale (older than a day)";
    char age[32] = "-";
    if (t != 0)
        std::snprintf(age, sizeof age, "%llds", now - t);
    std::printf("%-24s %10lu %14llu %10s  %s\n", owner.c_str(), blocks, blocks * blockSize, age,
                state.c_str());
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
    r->callback([where, &ctx] {
        auto fs = open(*where, ctx);
        if (!fs)
            return;
        std::string path = fs->getReserveFilePath();
        CXFile f;
        if (f.open(path.c_str(), sfOpenRead, 0, 0) != 0) {
            std::printf("no reserve file at %s\n", path.c_str());
            return;
        }
        // A shared lock: every reservation rewrites the file under an exclusive one.
        if (f.lock(sfLockShared, 30) != 1) {
            std::fprintf(stderr, "cannot lock %s (code %d)\n", path.c_str(), f.getLastError());
            ctx.exitCode = 1;
            return;
        }
        std::string myHost = std::to_string(static_cast<long>(fs->getClientId()));
        long long now = static_cast<long long>(platform::now());
        std::printf("%s (this host: %s, block size %llu)\n", path.c_str(), myHost.c_str(),
                    fs->getBlockSize());
        std::printf("%-24s %10s %14s %10s  %s\n", "OWNER", "BLOCKS", "BYTES", "AGE", "STATE");
        char line[CacheFsBase::kReserveLineSize];
        int rc;
        while ((rc = f.getLine(line, sizeof line)) != 0) {
            if (rc < 0 && f.getLastError() != -2)
                break;
            describeLine(line, myHost, fs->getBlockSize(), now);
        }
    });

    struct ReserveArgs {
        unsigned long long bytes = 0;
        unsigned hold = 0;
    };
    auto args = std::make_shared<ReserveArgs>();
    CLI::App* res = app.add_subcommand("reserve", "Reserve BYTES, hold them, then release");
    res->add_option("bytes", args->bytes, "Bytes to reserve")->required();
    res->add_option("--hold", args->hold, "Seconds to hold the reservation")->capture_default_str();
    addWhereOptions(res, *where);
    res->callback([where, args, &ctx] {
        auto fs = open(*where, ctx);
        if (!fs)
            return;
        int rc = fs->reserve(args->bytes, 0, nullptr, 0);
        std::printf("reserve %llu bytes: %s\n", args->bytes,
                    rc == 1   ? "reserved"
                    : rc == 0 ? "not enough space"
                              : "failed");
        if (rc != 1) {
            ctx.exitCode = 1;
            return;
        }
        if (fs->getLastReservedBlocks() == 0)
            std::printf("(space reservation is switched off: set Depot/sDISABLERESERVE to \"no\" "
                        "to use the reserve file)\n");
        else
            std::printf("line: %s:%d %ld blocks in %s\n", std::to_string(fs->getClientId()).c_str(),
                        static_cast<int>(::getpid()), fs->getLastReservedBlocks(),
                        fs->getReserveFilePath().c_str());
        if (args->hold)
            platform::sleepMs(args->hold * 1000UL);
        fs->release(0, true);
        std::printf("released\n");
    });
}

} // namespace cli
