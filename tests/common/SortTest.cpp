#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/BatchSortByColumn.h"
#include "common/SortAndReplace.h"
#include "platform/BatchSort.h"
#include "platform/CrashPoint.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::writeFile;
using Lines = std::vector<std::string>;

namespace {

std::string join(const Lines& lines) {
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    return s;
}

// A number column that the column sort reads (and the reference orders by).
unsigned long long columnValue(const std::string& line) {
    return std::stoull(line.substr(line.find(',') + 1));
}

// Lines in the order the engine must produce: stable for equal lines.
Lines reference(Lines lines, bool ascending, bool byColumn) {
    std::stable_sort(lines.begin(), lines.end(), [&](const std::string& a, const std::string& b) {
        if (byColumn && columnValue(a) != columnValue(b))
            return ascending ? columnValue(a) < columnValue(b) : columnValue(a) > columnValue(b);
        return byColumn ? a < b : ascending ? a < b : b < a;
    });
    return lines;
}

Lines randomLines(std::mt19937& rng, size_t count, size_t maxLength, const std::string& alphabet,
                  bool numbered) {
    Lines lines;
    for (size_t i = 0; i < count; ++i) {
        std::string l(rng() % (maxLength + 1), ' ');
        for (char& c : l)
            c = alphabet[rng() % alphabet.size()];
        lines.push_back(numbered ? l + "," + std::to_string(rng() % 50) : l);
    }
    return lines;
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

struct SortTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;
    std::string dir = home.sub("data", true);
    std::string file = dir + "/list.txt";

    void SetUp() override {
        platform::KeyStore::set(platform::kPlatformSection, "SortMemory", "4096");
    }
};

TEST_F(SortTest, ExternalSortEqualsStableSort) {
    struct Case {
        unsigned long long memory;
        int mergeWidth;
        bool ascending, byColumn, checkSorted, presorted, lastLf;
        size_t lines, maxLength;
        std::string alphabet;
    } cases[] = {
        {4096, 3, true, false, false, false, true, 3000, 40, "abc"},      // ~30 runs, 3 passes
        {4096, 4, false, false, false, false, false, 2000, 30, "ab\r\t"}, // descending, no last LF
        {8192, 2, true, true, false, false, true, 1500, 20, "xy"},        // by column, width 2
        {4096, 64, true, false, false, false, true, 800, 12, std::string("a\0b", 3)},
        {1 << 20, 64, true, false, false, false, true, 1000, 20, "pq"}, // one run in memory
        {4096, 8, true, false, true, true, false, 1000, 20, "ab"},      // already in order
        {4096, 8, true, false, true, false, true, 1000, 20, "ab"},      // checked, not in order
    };
    std::mt19937 rng(16);
    std::string work = home.sub("work", true), out = dir + "/out.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.memory + c.mergeWidth * 7 + c.lines);
        platform::KeyStore::set(platform::kPlatformSection, "SortMergeWidth",
                                std::to_string(c.mergeWidth));
        Lines lines = randomLines(rng, c.lines, c.maxLength, c.alphabet, c.byColumn);
        if (c.presorted)
            lines = reference(lines, c.ascending, c.byColumn);
        std::string input = join(lines);
        if (!c.lastLf)
            input.pop_back();
        writeFile(file, input);
        std::unique_ptr<BatchSort> sorter = c.byColumn
                                                ? std::make_unique<BatchSortByColumn>(2, ",", 1, 0)
                                                : std::make_unique<BatchSort>();
        ASSERT_EQ(sorter->init(file.c_str(), out.c_str(), work.c_str(), c.ascending, false,
                               c.checkSorted, c.memory),
                  0);
        ASSERT_EQ(sorter->sort(), 0) << sorter->getFatalErrorMessage();
        EXPECT_EQ(readFile(out), join(reference(lines, c.ascending, c.byColumn)));
        const BatchSort::Stats& s = sorter->getStats();
        EXPECT_EQ(s.presorted, c.presorted);
        EXPECT_LE(s.peakMemory, c.memory);
        if (c.memory == 4096 && c.mergeWidth < 8) {
            EXPECT_GT(s.runs, static_cast<unsigned>(c.mergeWidth)) << "several merge passes";
            EXPECT_GE(s.mergePasses, 2u);
        }
        EXPECT_TRUE(entries(work).empty()) << "work files are removed";
    }
}

TEST_F(SortTest, ColumnComparisonAndTokenizer) {
    struct Case {
        uint32_t type;
        bool ascending;
        const char* line1;
        const char* line2;
        int expected;
    } cases[] = {
        {1, true, "a,10", "b,9", 1},
        {1, false, "a,10", "b,9", -1},
        {1, true, "b,7", "a,7", 1},
        {1, false, "b,7", "a,7", 1},  // equal: whole lines
        {1, true, "x,-5", "y,3", -1}, // "-5" is unreadable, so 0, not a huge number
        {1, true, "x", "y,0", -1},    // missing column: empty, 0
        {1, true, "a, +12 ", "b,12", -1},
        {2, true, "a,ff", "b,0x100", -1},
        {2, true, "a,1ffffffffffffffff", "b,1", -1}, // past 64 bits: unreadable
        {3, true, "1,\"b,c\"", "2,b", 1},
        {3, false, "1,\"b,c\"", "2,b", -1},
        {3, true, "1,a\\,z", "2,a", 1},
        {3, true, "2,same", "1,same", 1},
        {9, true, "b", "a", 1},
        {9, false, "b", "a", -1},
    };
    for (const Case& c : cases) {
        BatchSortByColumn sorter(2, ",", c.type, 0);
        std::string out = dir + "/o";
        ASSERT_EQ(sorter.init(file.c_str(), out.c_str(), dir.c_str(), c.ascending, false, false, 0),
                  -1)
            << "no input yet, but the direction is set";
        EXPECT_EQ(sorter.cmpFunc(c.line1, c.line2), c.expected)
            << c.type << " " << c.line1 << " | " << c.line2;
    }
    struct Column {
        const char* line;
        const char* delimiters;
        uint32_t column;
        const char* expected;
    } columns[] = {
        {"a;\"x;y\";c", ";", 2, "x;y"},
        {"a\\;b;c", ";", 1, "a;b"},
        {"a;b", ";", 3, ""},
        {"\"open;x", ";", 1, "open;x"},
        {"a;;c", ";", 3, "c"},
        {"a b\tc", " \t", 3, "c"},
        {"end\\", ";", 1, "end\\"},
        {"q\"\\\"\"r;s", ";", 1, "q\"r"},
    };
    for (const Column& c : columns)
        EXPECT_EQ(BatchSortByColumn(c.column, c.delimiters, 3, 0).getColumnFromString(c.line),
                  c.expected)
            << c.line;
}

TEST_F(SortTest, TopNKeepsWholeLinesWithTheirLineEnds) {
    Lines lines = {"k,5,e\r", "k,1,a\r", "k,4," + std::string(5000, 'd') + "\r",
                   "k,2,b\r", "k,6,f\r", "k,3,c\r"};
    struct Case {
        int criteria;
        bool ascending;
        bool keepLast;
    } modes[] = {{2, true, true}, {2, false, false}, {1, true, false}, {7, true, false}};
    platform::KeyStore::set(platform::kPlatformSection, "SortMemory", "65536");
    for (const Case& m : modes) {
        for (long long topN : {0LL, 1LL, 6LL, 9LL}) {
            SCOPED_TRACE(std::to_string(m.criteria) + " top " + std::to_string(topN));
            writeFile(file, join(lines));
            ASSERT_EQ(
                sortAndReplaceEx(file.c_str(), m.criteria, topN, m.ascending, false, 2, ",", 1, 0),
                0);
            Lines expected = reference(lines, m.ascending, m.criteria == 2);
            size_t keep = topN < 1 ? expected.size() : std::min<size_t>(topN, expected.size());
            if (m.keepLast)
                expected.erase(expected.begin(), expected.end() - keep);
            else
                expected.resize(keep);
            EXPECT_EQ(readFile(file), join(expected));
            EXPECT_EQ(entries(dir), std::set<std::string>{"list.txt"});
        }
    }
}

TEST_F(SortTest, FailuresLeaveTheOriginalAndNoWorkFiles) {
    std::mt19937 rng(7);
    std::string content = join(randomLines(rng, 600, 30, "abcdef", true));
    std::string longName = dir + "/" + std::string(240, 'n'); // no room for the work dir name
    struct Case {
        const char* what;
        std::string path;
        bool smallFiles; // every write past half the file fails, runs and sorted copy alike
        std::function<int()> sort;
    } cases[] = {
        {"write failure", file, true,
         [&] { return sortAndReplace(file.c_str(), true, true, false); }},
        {"write failure, top N", file, true,
         [&] { return sortAndReplaceEx(file.c_str(), 2, 3, true, false, 2, ",", 1, 0); }},
        {"work directory", longName, false,
         [&] { return sortAndReplace(longName.c_str(), true, true, false); }},
        {"column 0", file, false,
         [&] { return sortAndReplaceEx(file.c_str(), 2, 3, true, false, 0, ",", 1, 0); }},
        {"no delimiter", file, false,
         [&] { return sortAndReplaceEx(file.c_str(), 2, 0, true, false, 2, "", 1, 0); }},
    };
    for (Case& c : cases) {
        writeFile(c.path, content);
        EXPECT_EQ(testsupport::runInChild([&] {
                      if (c.smallFiles) {
                          ::signal(SIGXFSZ, SIG_IGN);
                          struct rlimit rl = {content.size() / 2, content.size() / 2};
                          ::setrlimit(RLIMIT_FSIZE, &rl);
                      }
                      return c.sort() == -1 ? 0 : 1;
                  }),
                  0)
            << c.what;
        EXPECT_EQ(readFile(c.path), content) << c.what;
        EXPECT_EQ(entries(dir).size(), 1u) << c.what << ": no work file is left";
        std::filesystem::remove(c.path);
    }
    EXPECT_EQ(sortAndReplace((dir + "/missing").c_str(), true, true, false), -1);
    EXPECT_TRUE(entries(dir).empty());
}

TEST_F(SortTest, InvalidColumnValueIsLoggedOncePerSort) {
    Lines lines;
    for (int i = 0; i < 200; ++i)
        lines.push_back("r" + std::to_string(i) + (i % 2 ? ",-5" : ",x"));
    writeFile(file, join(lines));
    ASSERT_EQ(sortAndReplaceEx(file.c_str(), 2, 0, true, false, 2, ",", 1, 0), 0);
    EXPECT_EQ(testsupport::countContaining(sink, "BATCHSORTBYCOLUMN: Invalid ul1"), 1);
    EXPECT_EQ(testsupport::countContaining(sink, "BATCHSORTBYCOLUMN: Invalid ul2"), 1);
}

// Processes that sort one file at once each use work names of their own, and
// names planted by someone else are never written through.
TEST_F(SortTest, ConcurrentSortsOfOneFileAndPlantedLinks) {
    std::mt19937 rng(3);
    Lines lines = randomLines(rng, 2000, 30, "abcdef", false);
    writeFile(file, join(lines));
    std::string victim = home.path() + "/victim", victimDir = home.sub("victimdir", true);
    writeFile(victim, "keep");
    std::filesystem::create_symlink(victim, file + ".tmp");
    std::filesystem::create_directory_symlink(victimDir, file + "_folder.tmp");
    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i)
        children.push_back(testsupport::forkChild(
            [&] { return sortAndReplaceEx(file.c_str(), 1, 0, true, false, 0, "", 0, 0); }));
    for (pid_t pid : children)
        EXPECT_EQ(testsupport::waitChild(pid), 0);
    EXPECT_EQ(readFile(file), join(reference(lines, true, false)));
    EXPECT_EQ(readFile(victim), "keep");
    EXPECT_TRUE(entries(victimDir).empty());
    EXPECT_EQ(entries(dir),
              (std::set<std::string>{"list.txt", "list.txt.tmp", "list.txt_folder.tmp"}));
}

// A sort stopped between its writes leaves the original as it was; a sort
// that completes keeps the original's permissions.
TEST_F(SortTest, CrashBeforeTheRenameLeavesTheOriginal) {
    std::mt19937 rng(5);
    Lines lines = randomLines(rng, 1500, 30, "abcdef", false);
    std::string content = join(lines);
    Lines sorted = reference(lines, true, false);
    auto runCli = [&](const char* crashAt, const char* top) {
        return testsupport::runInChild([&] {
            if (crashAt)
                ::setenv("IDXCACHE_CRASH_AT", crashAt, 1);
            ::execl(IDXCACHE_CLI, IDXCACHE_CLI, "sort", file.c_str(), "--memory", "8K", "--top",
                    top, static_cast<char*>(nullptr));
            return 127;
        });
    };
    struct Case {
        const char* point;
        const char* top;
        size_t copyLines; // of a complete copy left by the crash, 0: none checked
    } cases[] = {
        {"sort.spilled:2", "0", 0}, {"sort.replace:1", "0", 1500}, {"sort.replace:1", "7", 7}};
    for (const Case& c : cases) {
        writeFile(file, content);
        ::chmod(file.c_str(), 0640);
        EXPECT_EQ(runCli(c.point, c.top), platform::IDXCACHE_CRASH_EXIT) << c.point;
        EXPECT_EQ(readFile(file), content) << c.point;
        for (const std::string& name : entries(dir)) {
            if (c.copyLines && name.rfind("list.txt.tmp.", 0) == 0) {
                EXPECT_EQ(readFile(dir + "/" + name),
                          join(Lines(sorted.begin(), sorted.begin() + c.copyLines)))
                    << "the copy is complete before the rename";
            }
            if (name != "list.txt")
                std::filesystem::remove_all(dir + "/" + name);
        }
    }
    EXPECT_EQ(runCli(nullptr, "0"), 0);
    EXPECT_EQ(readFile(file), join(sorted));
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

} // namespace
