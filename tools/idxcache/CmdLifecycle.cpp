// idxcache backup | browse | cleanup | discard: the road of a job's index.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "port/CXDirectory.h"
#include "port/CXFile.h"

namespace cli {

namespace {

constexpr OXAppType kIndexAppType = 1;

std::unique_ptr<JobResultsCacheDir> makeDir(const Target& t, BackupType type,
                                            unsigned long timeStamp) {
    auto dir = std::make_unique<JobResultsCacheDir>(kIndexAppType, t.realm, t.app, t.job, type,
                                                    timeStamp, TCacheTypeTape, false);
    dir->initialize(t.client.empty() ? nullptr : t.client.c_str());
    return dir;
}

// Writes one index file of size bytes in 1 MiB pieces.
bool writeIndexFile(const std::string& path, unsigned long long size) {
    CXFile f;
    if (f.open(path.c_str(), sfOpenCreate, 0, 0644) != 0 || f.truncate() != 0)
        return false;
    std::vector<char> block(1 << 20, 'i');
    while (size > 0) {
        unsigned long n =
            static_cast<unsigned long>(std::min<unsigned long long>(size, block.size()));
        if (f.write(block.data(), n) != static_cast<int>(n))
            return false;
        size -= n;
    }
    return f.close() == 0;
}

} // namespace

void addLifecycleCommands(CLI::App& app, Context& ctx) {
    struct BackupArgs {
        Target target;
        bool full = false;
        unsigned files = 3;
        unsigned long long size = 1 << 20;
        bool suspend = false;
        bool crash = false;
        bool checkpoint = false;
        bool tranlog = false;
        std::string crashAt;
    };
    auto b = std::make_shared<BackupArgs>();
    CLI::App* backup = app.add_subcommand(
        "backup", "Run a backup job's index: update (or create), write index files, close");
    addTargetOptions(backup, b->target, JobOption::Required);
    backup->add_flag("--full", b->full, "Full backup: start a new index");
    backup->add_option("--files", b->files, "Index files to write")->capture_default_str();
    backup->add_option("--size", b->size, "Bytes per index file")->capture_default_str();
    auto* suspendFlag = backup->add_flag("--suspend", b->suspend, "Suspend instead of closing");
    backup->add_flag("--crash", b->crash, "Exit without closing (leaves a writing directory)")
        ->excludes(suspendFlag);
    auto* checkpointFlag = backup->add_flag("--checkpoint", b->checkpoint,
                                            "Take a checkpoint copy of the index after writing it");
    backup->add_flag("--tranlog", b->tranlog, "Queue a transaction-log chunk after writing")
        ->excludes(checkpointFlag);
    backup->add_option("--crash-at", b->crashAt,
                       "Stop the process the first time it passes this crash point");
    backup->callback([b, &ctx] {
        if (!b->crashAt.empty())
            ::setenv("IDXCACHE_CRASH_AT", (b->crashAt + ":1").c_str(), 1);
        auto dir = makeDir(b->target, b->full ? BackupTypeFull : BackupTypeIncremental, 0);
        if (!dir->isInitialized()) {
            std::fprintf(stderr, "cannot reach the index cache: %s\n",
                         dir->jobPendingMessage().c_str());
            ctx.exitCode = 1;
            return;
        }
        const char* path = nullptr;
        if (!b->full) {
            path = dir->update(false, 0, false);
            if (path) {
                std::printf("update: %s\n", path);
            } else if (dir->getErrno() == IndexCacheDirBase::ERR_NOT_FOUND) {
                std::printf("update: no previous index, creating one\n");
            } else {
                // A previous index exists: a new one would be a full backup
                // nobody asked for (the previous one may only be busy).
                std::fprintf(stderr, "backup: update failed (error %d)\n", dir->getErrno());
                ctx.exitCode = 1;
                return;
            }
        }
        if (!path) {
            // A fresh object: a failed update may leave a path behind.
            dir = makeDir(b->target, b->full ? BackupTypeFull : BackupTypeIncremental, 0);
            path = dir->create(0);
            if (path)
                std::printf("create: %s\n", path);
        }
        if (!path) {
            std::fprintf(stderr, "backup: no cache directory (error %d)\n", dir->getErrno());
            ctx.exitCode = 1;
            return;
        }
        const std::string where = path;
        const std::string appName = dir->getAppIdName();
        for (unsigned i = 0; i < b->files; ++i) {
            int rc = dir->reserve(b->size, static_cast<unsigned>(b->target.realm), appName.c_str(),
                                  static_cast<unsigned>(dir->getTimeStamp()));
            if (rc != 1) {
                std::fprintf(stderr, "backup: reservation of %llu bytes %s\n", b->size,
                             rc == 0 ? "refused: not enough space" : "failed");
                dir->close(false);
                ctx.exitCode = 1;
                return;
            }
            std::string file = where + "/index" + std::to_string(i) + ".dat";
            if (!writeIndexFile(file, b->size)) {
                std::fprintf(stderr, "backup: cannot write %s\n", file.c_str());
                dir->close(false);
                ctx.exitCode = 1;
                return;
            }
        }
        std::printf("wrote %u index files of %llu bytes\n", b->files, b->size);
        if (b->checkpoint || b->tranlog) {
            dir->setIndexCheckpointFlag(b->checkpoint);
            dir->setIndexUseTranLogFlag(b->tranlog);
            int rc = dir->createCopy("backup", static_cast<unsigned long long>(b->target.job), 0);
            std::printf("%s: %s\n", b->checkpoint ? "checkpoint copy" : "transaction-log chunk",
                        rc == 0 ? "done" : "failed");
            std::fflush(stdout);
            if (rc != 0)
                ctx.exitCode = 1;
        }
        if (b->crash) {
            std::printf("crash: exiting with %s still in the writing state\n", where.c_str());
            std::fflush(stdout);
            ::_exit(0);
        }
        int rc = b->suspend ? dir->suspend() : dir->close(false);
        std::printf("%s: %s\n", b->suspend ? "suspend" : "close", rc == 0 ? "done" : "failed");
        if (rc != 0)
            ctx.exitCode = 1;
    });

    struct BrowseArgs {
        Target target;
        unsigned long at = 0;
        unsigned hold = 0;
    };
    auto br = std::make_shared<BrowseArgs>();
    CLI::App* browse =
        app.add_subcommand("browse", "Open the newest complete index for reading, list it, close");
    addTargetOptions(browse, br->target, JobOption::None);
    browse->add_option("--at", br->at, "Newest time stamp to consider (default: now)");
    browse->add_option("--hold", br->hold, "Seconds to hold the index open")->capture_default_str();
    browse->callback([br, &ctx] {
        auto dir = makeDir(br->target, BackupTypeFull, 0);
        const char* path = dir->open(br->at, false);
        if (!path) {
            std::fprintf(stderr, "browse: no index to open (error %d)\n", dir->getErrno());
            ctx.exitCode = 1;
            return;
        }
        std::printf("opened %s for reading\n", path);
        CXFileList files;
        CXDirectory::listFiles(path, files);
        for (const auto& f : files)
            std::printf("  %12llu  %s\n", static_cast<unsigned long long>(f.second),
                        f.first.c_str());
        std::fflush(stdout);
        if (br->hold)
            platform::sleepMs(br->hold * 1000UL);
        if (dir->close(false) != 0)
            ctx.exitCode = 1;
        std::printf("closed\n");
    });

    struct CleanupArgs {
        std::string client;
        unsigned days = 0;
        unsigned freePercent = 0;
        unsigned long blocks = 0;
        bool remote = false;
    };
    auto c = std::make_shared<CleanupArgs>();
    CLI::App* cleanup = app.add_subcommand(
        "cleanup", "Remove old unused cache directories (all older than --days, or until "
                   "--blocks are free)");
    cleanup->add_option("--client", c->client, "Client name (default: the focus client)");
    cleanup->add_option("--days", c->days, "Age limit in days (0: every directory is old)")
        ->capture_default_str();
    cleanup->add_option("--free-percent", c->freePercent, "Minimum free share of the disk, 0-99")
        ->capture_default_str();
    cleanup->add_option("--blocks", c->blocks, "Blocks wanted free; 0 removes every old directory")
        ->capture_default_str();
    cleanup->add_flag("--remote", c->remote, "Have the local storage-node service clean up");
    cleanup->callback([c, &ctx] {
        JobResultsCacheFs fs(kIndexAppType, TCacheTypeTape, false);
        fs.initialize(c->client.empty() ? nullptr : c->client.c_str());
        if (!fs.isInitialized() || fs.setDiskFree(c->freePercent) != 0) {
            std::fprintf(stderr, "cleanup: cannot set up the cache root\n");
            ctx.exitCode = 1;
            return;
        }
        fs.setNumDays(c->days);
        int rc = c->remote ? fs.remoteCleanUp(c->blocks, c->blocks == 0, true, true, 0, nullptr, 0,
                                              0, nullptr, 0)
                           : fs.cleanUp(c->blocks, c->blocks == 0, true, true, 0, nullptr, 0, 0,
                                        nullptr, 0);
        std::printf("cleanup of %s: %s\n", fs.getCacheFs(),
                    rc == 1   ? "done"
                    : rc == 0 ? "space still short"
                              : "failed");
        if (rc < 0)
            ctx.exitCode = 1;
    });

    auto path = std::make_shared<std::string>();
    CLI::App* discard =
        app.add_subcommand("discard", "Remove one cache directory unless another process uses it");
    discard->add_option("path", *path, "Cache directory: <root>/<realm>/<app>/<timestamp>")
        ->required();
    discard->callback([path, &ctx] {
        std::string p = *path;
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        // <root>/<realm>/<app>/<timestamp>: the last three components name it.
        std::vector<std::string> parts;
        std::string::size_type end = p.size();
        for (int i = 0; i < 3; ++i) {
            std::string::size_type slash = p.rfind('/', end - 1);
            if (slash == std::string::npos || slash == 0)
                break;
            parts.insert(parts.begin(), p.substr(slash + 1, end - slash - 1));
            end = slash;
        }
        unsigned long realm = 0, app = 0, ts = 0;
        if (parts.size() != 3 || !CacheFsBase::isDecimal(parts[0].c_str()) ||
            !CacheFsBase::isDecimal(parts[1].c_str()) ||
            !CacheFsBase::isDecimal(parts[2].c_str())) {
            std::fprintf(stderr, "discard: %s is not <root>/<realm>/<app>/<timestamp>\n",
                         p.c_str());
            ctx.exitCode = 2;
            return;
        }
        realm = std::strtoul(parts[0].c_str(), nullptr, 10);
        app = std::strtoul(parts[1].c_str(), nullptr, 10);
        ts = std::strtoul(parts[2].c_str(), nullptr, 10);
        Target t;
        t.realm = realm;
        t.app = app;
        auto dir = makeDir(t, BackupTypeFull, ts);
        const char* mine = dir->getCacheDir();
        if (!mine || std::string(mine) != p) {
            std::fprintf(stderr, "discard: %s is not under the cache root %s\n", p.c_str(),
                         dir->getCacheFs() ? dir->getCacheFs() : "(none)");
            ctx.exitCode = 2;
            return;
        }
        if (::access((p + "/State").c_str(), F_OK) != 0) {
            std::fprintf(stderr, "discard: %s has no State file\n", p.c_str());
            ctx.exitCode = 1;
            return;
        }
        if (dir->reopenStateFile() != 0 || dir->writeLock(0) != 1) {
            std::fprintf(stderr, "discard: %s is in use by another process (or has no State)\n",
                         p.c_str());
            ctx.exitCode = 1;
            return;
        }
        int rc = dir->discard(true);
        std::printf("discard %s: %s\n", p.c_str(), rc == 0 ? "removed" : "failed");
        if (rc != 0)
            ctx.exitCode = 1;
    });
}

} // namespace cli
