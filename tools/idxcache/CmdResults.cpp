// idxcache results: write, name, map, list and clean up job results.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Shared.h"
#include "jobresults/LineMap.h"
#include "jobresults/PagingResultsDir.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/OXPI.h"
#include "platform/PlatformHome.h"
#include "platform/SimulatedVolume.h"
#include "port/CXDirectory.h"

namespace cli {

// Answers one page request into a socket pair and decodes the record stream.
Page fetchPage(RetrieveResults& reader, long long line, long long count) {
    Page p;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return p;
    EvReturnData::Stream stream;
    // The answer is read while it is written: a page may exceed the socket's buffer.
    std::thread receiver([&] { p.decoded = EvReturnData::readStream(fds[1], stream); });
    CQiSocket socket(fds[0]);
    p.rc = reader.getPage(1, line, count, &socket, nullptr, 0);
    // Whatever was answered is in the socket: the reader then sees its end.
    ::shutdown(fds[0], SHUT_WR);
    receiver.join();
    ::close(fds[0]);
    ::close(fds[1]);
    for (const EvReturnData::Record& r : stream.records) {
        if (r.field == EvReturnResults::kFieldLine)
            p.lines.push_back(r.bytes);
        else if (r.field == EvReturnResults::kFieldTotal)
            p.total = r.asInt();
        else if (r.field == EvReturnResults::kFieldLastLine)
            p.last = r.asInt();
        else if (r.field == EvReturnData::kEndField && r.bytes.size() == 4)
            std::memcpy(&p.status, r.bytes.data(), 4);
    }
    return p;
}

namespace {

struct ResultsArgs {
    long long job = 0;
    unsigned kind = RF_BACKUP;
    unsigned realm = 2;
    std::string client;
    bool noMap = false;
    bool truncate = false;
    bool flush = false;
    unsigned long long capacity = 0;
    std::vector<std::string> command;
    std::string file;
    bool rebuild = false;
    bool central = false;
    bool paging = false;
    long long line = 1;
    long long count = 50;
};

const char* clientOf(const ResultsArgs& a) {
    return a.client.empty() ? nullptr : a.client.c_str();
}

// The entries a map should hold for the file as it is: -1 when unreadable.
long long expectedEntries(const std::string& path, std::vector<uint64_t>& offsets) {
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f)
        return -1;
    jobresults::LineStartScanner scanner;
    auto emit = [&](uint64_t o) {
        offsets.push_back(o);
        return true;
    };
    std::vector<char> chunk(jobresults::kResultsBufferSize);
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        scanner.feed(chunk.data(), n, emit);
    scanner.finish(emit);
    std::fclose(f);
    return static_cast<long long>(offsets.size());
}

// Compares the map on disk with the file: 0 in step, 1 not.
int checkMap(const char* file, const char* map) {
    std::vector<uint64_t> offsets;
    if (expectedEntries(file, offsets) < 0) {
        std::fprintf(stderr, "cannot read %s\n", file);
        return 1;
    }
    FILE* m = std::fopen(map, "rbe");
    std::vector<unsigned char> bytes;
    if (m) {
        unsigned char e[jobresults::kMapEntrySize];
        while (std::fread(e, 1, sizeof e, m) == sizeof e)
            bytes.insert(bytes.end(), e, e + sizeof e);
        std::fclose(m);
    }
    const size_t entries = bytes.size() / jobresults::kMapEntrySize;
    for (size_t i = 0; i < entries && i < offsets.size(); ++i) {
        const uint64_t got = jobresults::decodeMapEntry(&bytes[i * jobresults::kMapEntrySize]);
        if (got != offsets[i]) {
            std::printf("map %s: out of step at line %zu (offset %llu, file says %llu)\n", map,
                        i + 1, static_cast<unsigned long long>(got),
                        static_cast<unsigned long long>(offsets[i]));
            return 1;
        }
    }
    if (!m || entries != offsets.size()) {
        std::printf("map %s: %zu entries for %zu lines%s\n", map, entries, offsets.size(),
                    m ? "" : " (missing)");
        return 1;
    }
    std::printf("map %s: %zu entries, in step\n", map, entries);
    return 0;
}

void put(const ResultsArgs& a, Context& ctx) {
    std::unique_ptr<platform::SimulatedVolume> volume;
    if (a.capacity)
        volume = std::make_unique<platform::SimulatedVolume>(platform::jobResultsDirectory(),
                                                             a.capacity);
    StoreResults store(a.realm, a.job, false, clientOf(a));
    if (store.openFile(static_cast<ResultsFile>(a.kind), !a.noMap, a.truncate) != 0) {
        std::fprintf(stderr, "cannot open results of kind %u of job %lld (details in %s)\n", a.kind,
                     a.job, platform::homePath("logs").c_str());
        ctx.exitCode = 1;
        return;
    }
    std::string line;
    unsigned long long count = 0;
    while (std::getline(std::cin, line)) {
        if (store.putLine(line.c_str(), a.flush) != 0) {
            std::fprintf(stderr, "line %llu not written (details in %s)\n", count + 1,
                         platform::homePath("logs").c_str());
            ctx.exitCode = 1;
            break;
        }
        ++count;
    }
    if (store.closeFile() != 0)
        ctx.exitCode = 1;
    std::printf("put %llu lines to %s, next line at offset %llu%s\n", count, store.getFile(),
                static_cast<unsigned long long>(store.getCurOffset()),
                store.isMapValid() ? "" : " (no map)");
}

void raw(const ResultsArgs& a, Context& ctx) {
    StoreResults store(a.realm, a.job, false, clientOf(a));
    std::string name;
    if (a.command.empty() || store.openRaw(static_cast<ResultsFile>(a.kind), name) != 0) {
        std::fprintf(stderr, "cannot name a raw file of kind %u for job %lld\n", a.kind, a.job);
        ctx.exitCode = 1;
        return;
    }
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    // The child writes while this process holds the shared lock on State;
    // its descriptors are close-on-exec, so the lock stays with this process.
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("RAW_FILE", name.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& s : a.command)
            argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::perror(argv[0]);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) < 0) {
        ctx.exitCode = 1;
        return;
    }
    ctx.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void map(const ResultsArgs& a, Context& ctx) {
    std::unique_ptr<ResultsBase> results;
    if (!a.file.empty()) {
        results = std::make_unique<ResultsBase>(a.job, clientOf(a));
        if (!results->setFileName(RF_GIVEN, 0, a.file.c_str(), clientOf(a))) {
            std::fprintf(stderr, "cannot name a map for %s\n", a.file.c_str());
            ctx.exitCode = 1;
            return;
        }
    } else {
        results = std::make_unique<ResultsBase>(a.realm, a.job, false, clientOf(a), 0);
        if (results->computeFileNames(static_cast<ResultsFile>(a.kind)) != 0 ||
            !results->getFileName()) {
            std::fprintf(stderr, "no results of kind %u for job %lld\n", a.kind, a.job);
            ctx.exitCode = 1;
            return;
        }
    }
    if (a.rebuild && results->generateMap() != 0) {
        std::fprintf(stderr, "cannot make map %s (details in %s)\n", results->getMapName(),
                     platform::homePath("logs").c_str());
        ctx.exitCode = 1;
        return;
    }
    ctx.exitCode = checkMap(results->getFileName(), results->getMapName());
}

void ls(const ResultsArgs& a, Context& ctx) {
    JobResultsDir dir;
    if (dir.initialize(a.realm, a.job, false, clientOf(a)) != 0 || !dir.getCacheDir()) {
        std::fprintf(stderr, "no results directory for job %lld\n", a.job);
        ctx.exitCode = 1;
        return;
    }
    CXDirectory listing;
    if (listing.open(dir.getCacheDir()) != 0) {
        std::printf("%s: not made yet\n", dir.getCacheDir());
        return;
    }
    std::printf("%s\n", dir.getCacheDir());
    while (const char* entry = listing.read()) {
        const std::string name = entry;
        struct stat st;
        if (name == "." || name == ".." ||
            ::lstat((std::string(dir.getCacheDir()) + "/" + name).c_str(), &st) != 0)
            continue;
        const bool isMap = name.size() > 4 && name.compare(name.size() - 4, 4, ".map") == 0;
        std::printf(
            "  %-32s %12lld bytes%s\n", name.c_str(), static_cast<long long>(st.st_size),
            isMap ? (" (" + std::to_string(st.st_size / jobresults::kMapEntrySize) + " lines)")
                        .c_str()
                  : "");
    }
}

void cleanup(const ResultsArgs& a, Context& ctx) {
    if (a.paging) {
        const char* temp = getOrbitTempDir(clientOf(a));
        PagingResultsDir sweep(clientOf(a));
        std::printf("paging files older than a day removed from %s\n", temp ? temp : "(none)");
        return;
    }
    const int rc = StoreResultCentralCleanup(clientOf(a));
    std::printf("central job results cleanup: %d\n", rc);
    ctx.exitCode = rc < 0 ? 1 : 0;
}

// Prints one page as a requester receives it.
void page(const ResultsArgs& a, Context& ctx) {
    std::unique_ptr<RetrieveResults> reader;
    if (!a.file.empty())
        reader = std::make_unique<RetrieveResults>(static_cast<ResultsFile>(a.kind), a.file.c_str(),
                                                   clientOf(a), 0);
    else
        reader = std::make_unique<RetrieveResults>(a.realm, a.job, static_cast<ResultsFile>(a.kind),
                                                   clientOf(a), 0);
    const Page p = fetchPage(*reader, a.line, a.count);
    for (const std::string& line : p.lines)
        std::printf("%s\n", line.c_str());
    if (p.decoded)
        std::fprintf(stderr, "lines %lld to %lld of %lld, status %d\n", a.line, p.last, p.total,
                     p.status);
    else
        std::fprintf(stderr, "no answer (details in %s)\n", platform::homePath("logs").c_str());
    ctx.exitCode = p.rc;
}

void merge(const ResultsArgs& a, Context& ctx) {
    RetrieveResults reader(a.realm, a.job, static_cast<ResultsFile>(a.kind), clientOf(a), 0);
    if (reader.generateFile(nullptr) != 0) {
        std::fprintf(stderr, "no raw files merged (details in %s)\n",
                     platform::homePath("logs").c_str());
        ctx.exitCode = 1;
        return;
    }
    const char* dir = reader.getResultsDir().getCacheDir();
    std::ifstream log(std::string(dir ? dir : "") + "/" + RetrieveResults::kRawLog);
    std::cout << log.rdbuf();
}

void filter(const ResultsArgs& a, Context& ctx) {
    RetrieveResults reader(a.realm, a.job, static_cast<ResultsFile>(a.kind), clientOf(a), 0);
    if (!RetrieveResults::isRestoreFilterKind(static_cast<ResultsFile>(a.kind)) ||
        !reader.getFileName()) {
        std::fprintf(stderr, "no restore filter of kind %u for job %lld\n", a.kind, a.job);
        ctx.exitCode = 1;
        return;
    }
    std::printf("%s\n", reader.getFileName());
}

void jobAndKind(CLI::App* cmd, ResultsArgs& a, bool required) {
    CLI::Option* job = cmd->add_option("--job", a.job, "Job id");
    if (required)
        job->required();
    cmd->add_option("--kind", a.kind, "Results file kind (1 backup.out, 2 restore.out, ...)")
        ->capture_default_str();
    cmd->add_option("--realm", a.realm, "Realm id")->capture_default_str();
    cmd->add_option("--client", a.client, "Client name (default: the focus client)");
}

} // namespace

void addResultsCommands(CLI::App& app, Context& ctx) {
    auto a = std::make_shared<ResultsArgs>();
    CLI::App* results = app.add_subcommand("results", "Job results: write, map, list, clean up");
    results->require_subcommand(1);

    CLI::App* putCmd = results->add_subcommand("put", "Append stdin lines to a job's results");
    jobAndKind(putCmd, *a, true);
    putCmd->add_flag("--no-map", a->noMap, "Keep no line map (kind 2 always has one)");
    putCmd->add_flag("--truncate", a->truncate, "Empty the file and its map first");
    putCmd->add_flag("--flush", a->flush, "Put every line on disk at once");
    putCmd->add_option("--capacity", a->capacity,
                       "Simulate a job results volume of this many bytes");
    putCmd->callback([a, &ctx] { put(*a, ctx); });

    CLI::App* rawCmd =
        results->add_subcommand("raw", "Run CMD with $RAW_FILE named for it, under the shared "
                                       "lock of the results directory");
    jobAndKind(rawCmd, *a, true);
    rawCmd->add_option("command", a->command, "The command (after --)")->required();
    rawCmd->callback([a, &ctx] { raw(*a, ctx); });

    CLI::App* mapCmd =
        results->add_subcommand("map", "Check (or rebuild) the line map of results or a file");
    jobAndKind(mapCmd, *a, false);
    mapCmd->add_option("file", a->file, "A file given by path (map in the temp directory)");
    mapCmd->add_flag("--check", "Compare the map with its file (the default)");
    mapCmd->add_flag("--rebuild", a->rebuild, "Make the map again from its file, then check it");
    mapCmd->callback([a, &ctx] { map(*a, ctx); });

    CLI::App* pageCmd =
        results->add_subcommand("page", "Print a page of results as the record stream answers it");
    jobAndKind(pageCmd, *a, false);
    pageCmd->add_option("--file", a->file, "A file given by path (with --kind 7, 12 or 20)");
    pageCmd->add_option("--line", a->line, "First line (from 1)")->required();
    pageCmd->add_option("--count", a->count, "Lines in the page")->capture_default_str();
    pageCmd->callback([a, &ctx] { page(*a, ctx); });

    CLI::App* mergeCmd =
        results->add_subcommand("merge", "Merge a kind's raw files and print raw.log");
    jobAndKind(mergeCmd, *a, true);
    mergeCmd->callback([a, &ctx] { merge(*a, ctx); });

    CLI::App* filterCmd = results->add_subcommand(
        "filter", "Find or make a restore filter file (--kind 8, 9, 10 or 22)");
    jobAndKind(filterCmd, *a, true);
    filterCmd->callback([a, &ctx] { filter(*a, ctx); });

    CLI::App* lsCmd = results->add_subcommand("ls", "List a job's results directory");
    jobAndKind(lsCmd, *a, true);
    lsCmd->callback([a, &ctx] { ls(*a, ctx); });

    CLI::App* cleanCmd = results->add_subcommand(
        "cleanup", "Central job results clean-up (when due), or the paging sweep");
    cleanCmd->add_flag("--central", a->central, "The central clean-up (the default)");
    cleanCmd->add_flag("--paging", a->paging, "Remove paging files older than a day");
    cleanCmd->add_option("--client", a->client, "Client name");
    cleanCmd->callback([a, &ctx] { cleanup(*a, ctx); });
}

} // namespace cli
