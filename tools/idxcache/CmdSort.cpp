// idxcache sort: sorts a text file in place (whole lines or one column),
// optionally keeping its top N lines, and says how long it took.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "common/BatchSortByColumn.h"
#include "common/SAverageTime.h"
#include "common/SortAndReplace.h"
#include "platform/BatchSort.h"
#include "platform/PlatformHome.h"

namespace cli {

namespace {

struct SortArgs {
    std::string file;
    unsigned column = 0;
    std::string delimiters = ",";
    std::string type = "text";
    bool descending = false;
    long long top = 0;
    std::string memory;
};

// "64M", "512k", "1G" or plain bytes; 0 when unreadable.
unsigned long long parseSize(const std::string& text) {
    size_t used = 0;
    unsigned long long n = 0;
    try {
        n = std::stoull(text, &used);
    } catch (...) {
        return 0;
    }
    std::string unit = text.substr(used);
    if (unit.empty())
        return n;
    switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
    case 'K':
        return unit.size() == 1 ? n << 10 : 0;
    case 'M':
        return unit.size() == 1 ? n << 20 : 0;
    case 'G':
        return unit.size() == 1 ? n << 30 : 0;
    default:
        return 0;
    }
}

} // namespace

void addSortCommand(CLI::App& app, Context& ctx) {
    auto args = std::make_shared<SortArgs>();
    CLI::App* cmd = app.add_subcommand(
        "sort", "Sort a text file in place by whole lines or by one column, keep the top N lines");
    cmd->add_option("file", args->file, "The file to sort")->required();
    cmd->add_option("--column", args->column, "Sort by this column (from 1)");
    cmd->add_option("--delim", args->delimiters, "Column delimiter characters")
        ->capture_default_str();
    cmd->add_option("--type", args->type, "Column type: dec, hex or text")
        ->check(CLI::IsMember({"dec", "hex", "text"}))
        ->capture_default_str();
    cmd->add_flag("--desc", args->descending, "Descending order");
    cmd->add_option("--top", args->top,
                    "Keep N lines: the first N, or the last N of an ascending column sort");
    cmd->add_option("--memory", args->memory,
                    "Memory bound of the sort, e.g. 64M (default: "
                    "idxcache.platform/SortMemory, else 64M)");
    cmd->callback([args, &ctx] {
        if (!args->memory.empty()) {
            unsigned long long bytes = parseSize(args->memory);
            if (bytes == 0) {
                std::fprintf(stderr, "unreadable memory bound '%s'\n", args->memory.c_str());
                ctx.exitCode = 2;
                return;
            }
            BatchSort::setDefaultMemoryLimit(bytes);
        }
        struct stat st;
        if (::stat(args->file.c_str(), &st) != 0) {
            std::fprintf(stderr, "no file %s\n", args->file.c_str());
            ctx.exitCode = 1;
            return;
        }
        uint32_t type = args->type == "dec"   ? BatchSortByColumn::kColumnDecimal
                        : args->type == "hex" ? BatchSortByColumn::kColumnHex
                                              : BatchSortByColumn::kColumnText;
        int criteria = args->column ? kSortByColumn : kSortWholeLinePlain;
        SAverageTime total("sort");
        int rc;
        {
            SAverageTimeHelper timer(total, nullptr);
            timer.addBytes(static_cast<uint64_t>(st.st_size));
            rc = sortAndReplaceEx(args->file.c_str(), criteria, args->top, !args->descending, false,
                                  args->column, args->delimiters.c_str(), type, 0);
        }
        if (rc != 0) {
            std::fprintf(stderr, "sort of %s failed; the file is unchanged (details in %s)\n",
                         args->file.c_str(), platform::homePath("logs").c_str());
            ctx.exitCode = 1;
            return;
        }
        SAverageTimeNotThreadSafe t = total.snapshot();
        double mb = static_cast<double>(t.getBytes()) / 1024 / 1024;
        std::printf("sorted %s: %llu bytes in %.3f s (%.1f MB/s)\n", args->file.c_str(),
                    static_cast<unsigned long long>(t.getBytes()), t.getTotalTime(),
                    t.getTotalTime() > 0 ? mb / t.getTotalTime() : 0.0);
        if (args->top > 0 && ::stat(args->file.c_str(), &st) == 0)
            std::printf("kept the top %lld lines: %llu bytes\n", args->top,
                        static_cast<unsigned long long>(st.st_size));
    });
}

} // namespace cli
