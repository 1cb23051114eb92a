// idxcache resume | copy show|restore|remove | upload-queue: getting an
// interrupted job's index back, its checkpoint copy, and what waits for upload.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "cachedir/JobResultsCacheDir.h"
#include "platform/OXPI.h"
#include "port/CXDirectory.h"

namespace cli {

namespace {

constexpr OXAppType kIndexAppType = 1;

std::unique_ptr<JobResultsCacheDir> makeDir(const Target& t, unsigned long timeStamp = 0) {
    auto dir = std::make_unique<JobResultsCacheDir>(kIndexAppType, t.realm, t.app, t.job,
                                                    BackupTypeIncremental, timeStamp,
                                                    TCacheTypeTape, false);
    dir->initialize(t.client.empty() ? nullptr : t.client.c_str());
    dir->setIndexCheckpointFlag(true);
    return dir;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Puts the checkpoint copy back into a cache directory of the application
// under that directory's write lock: a directory another process writes or
// reads is never restored over. The exit code.
int restoreFromCopy(const Target& t, const std::string& copyDir, unsigned long timeStamp) {
    if (!exists(copyDir)) {
        std::fprintf(stderr, "copy restore: no checkpoint copy at %s\n", copyDir.c_str());
        return 1;
    }
    if (timeStamp == 0) {
        try {
            timeStamp = makeDir(t)->backSearch();
        } catch (const char*) {
            timeStamp = 0;
        }
    }
    auto dir = timeStamp ? makeDir(t, timeStamp) : nullptr;
    const char* live = dir ? dir->getCacheDir() : nullptr;
    if (!live || !exists(std::string(live) + "/State")) {
        std::fprintf(stderr, "copy restore: no cache directory of application %lu to restore\n",
                     t.app);
        return 1;
    }
    if (dir->reopenStateFile() != 0 || dir->writeLock(0) != 1) {
        std::fprintf(stderr, "copy restore: %s is in use by another process - not restored\n",
                     live);
        return 1;
    }
    if (dir->restoreCopy(nullptr) != 0) {
        std::fprintf(stderr, "copy restore: %s could not be restored from %s%s\n", live,
                     copyDir.c_str(),
                     exists(copyDir + "/copyInProgress") ? " (the copy is incomplete)" : "");
        return 1;
    }
    std::printf("restored %s from %s\n", live, copyDir.c_str());
    return 0;
}

} // namespace

void addProtectCommands(CLI::App& app, Context& ctx) {
    struct ResumeArgs {
        Target target;
        bool retry = false;
        bool close = false;
    };
    auto r = std::make_shared<ResumeArgs>();
    CLI::App* resume = app.add_subcommand(
        "resume", "Take an interrupted job's index back for writing, then suspend it again");
    addTargetOptions(resume, r->target, JobOption::Optional);
    resume->add_flag("--retry-from-copy", r->retry,
                     "Restore a damaged index from its checkpoint copy and try once more");
    resume->add_flag("--close", r->close, "Close the resumed index instead of suspending it");
    resume->callback([r, &ctx] {
        auto dir = makeDir(r->target);
        const char* path = dir->resume(r->target.job, r->retry);
        if (!path) {
            std::fprintf(stderr, "resume: nothing resumed (error %d)\n", dir->getErrno());
            ctx.exitCode = 1;
            return;
        }
        std::printf("resumed %s\n", path);
        const int rc = r->close ? dir->close(false) : dir->suspend();
        std::printf("%s: %s\n", r->close ? "close" : "suspend", rc == 0 ? "done" : "failed");
        if (rc != 0)
            ctx.exitCode = 1;
    });

    struct CopyArgs {
        Target target;
        std::string action;
        unsigned long timeStamp = 0;
    };
    auto c = std::make_shared<CopyArgs>();
    CLI::App* copy =
        app.add_subcommand("copy", "Show, restore or remove an application's checkpoint copy");
    copy->add_option("action", c->action, "show | restore | remove")
        ->required()
        ->check(CLI::IsMember({"show", "restore", "remove"}));
    addTargetOptions(copy, c->target, JobOption::None);
    copy->add_option("--ts", c->timeStamp,
                     "restore: the cache directory to restore into (default: the newest)");
    copy->callback([c, &ctx] {
        auto dir = makeDir(c->target);
        const std::string where = dir->defaultCopyDir(false);
        if (where.empty()) {
            std::fprintf(stderr, "copy: no cache root or application\n");
            ctx.exitCode = 1;
            return;
        }
        if (c->action == "show") {
            const char* what = !exists(where)                      ? "none"
                               : exists(where + "/copyInProgress") ? "incomplete"
                                                                   : "complete";
            std::printf("%s: %s\n", where.c_str(), what);
            if (exists(where) && std::string(what) == "complete") {
                CXFileList files;
                CXDirectory::listFiles(where, files);
                for (const auto& f : files)
                    std::printf("  %12llu  %s\n", f.second, f.first.c_str());
            }
            return;
        }
        if (c->action == "restore") {
            ctx.exitCode = restoreFromCopy(c->target, where, c->timeStamp);
            return;
        }
        const int rc = dir->removeCopy_checkPoint(nullptr);
        std::printf("remove %s: %s\n", where.c_str(),
                    rc == 0    ? "removed"
                    : rc == -1 ? "no copy"
                               : "failed");
        if (rc == -2)
            ctx.exitCode = 1;
    });

    auto client = std::make_shared<std::string>();
    CLI::App* queue =
        app.add_subcommand("upload-queue", "List the cache directories queued for later upload");
    queue->add_option("--client", *client, "Client name (default: the focus client)");
    queue->callback([client, &ctx] {
        std::string root;
        if (!OXPI_Depot().getIndexCacheDirectory(client->empty() ? nullptr : client->c_str(),
                                                 root) ||
            root.empty()) {
            std::fprintf(stderr, "upload-queue: no index cache directory configured\n");
            ctx.exitCode = 1;
            return;
        }
        const std::string folder = root + "/CatalogServer/sync_up_queue";
        CXDirectory d;
        int count = 0;
        if (d.open(folder.c_str()) == 0) {
            while (const char* name = d.read()) {
                const std::string entry = name;
                if (entry == "." || entry == ".." || entry.find(".inprogress") != std::string::npos)
                    continue;
                FILE* in = std::fopen((folder + "/" + entry).c_str(), "re");
                char text[1100] = "";
                if (in) {
                    size_t n = std::fread(text, 1, sizeof text - 1, in);
                    text[n] = '\0';
                    std::fclose(in);
                }
                std::printf("%s -> %s\n", entry.c_str(), text);
                ++count;
            }
        }
        std::printf("%d queued\n", count);
    });
}

} // namespace cli
