// Stand-in for the platform's external-sort engine: sorts the lines of a text
// file of any size into another file in bounded memory.
//
// Lines end with LF; a last line without one is written with one. A line is
// compared without its LF (a CR before it belongs to the line). The output
// holds exactly the input lines, reordered; lines that compare equal keep
// their input order (the sort is stable).
//
// Memory: every byte of line text and a fixed overhead per line
// (kLineOverhead) count against the bound; a line may take at most a quarter
// of it. The bound is the init argument, else the process setting
// (setDefaultMemoryLimit), else key "SortMemory" of the platform section
// (bytes), else 64 MiB; bounds are taken between 4 KiB and 4 GiB. When the
// input does not fit, sorted runs are spilled to the work directory as files
// made with mkostemp (never through a link) and merged by a k-way heap merge
// that breaks ties by run order. At most "SortMergeWidth" runs (platform
// section, default 64, at least 2) are open at once; more runs take several
// merge passes. Run files are removed as soon as they are merged, and all of
// them when the sort fails or the object is destroyed. Beyond the bound the
// engine uses a constant: one output buffer of kWriteBuffer bytes.
//
// init flags (after the ascending flag): verbose writes a summary of the sort
// (lines, runs, passes, peak memory) to the debug log at level 2; checkSorted
// first reads the input once and, when it is already in order, copies it
// instead of sorting it. Neither changes the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An order on lines: what the engine calls to compare two of them.
class Sortable {
public:
    virtual ~Sortable() = default;
    // Below, at or above 0 as line1 sorts before, with or after line2. Lines
    // are NUL-terminated, without their LF.
    virtual int cmpFunc(const char* line1, const char* line2) = 0;
};

class BatchSort : public Sortable {
public:
    static constexpr unsigned long long kDefaultMemory = 64ULL << 20;
    static constexpr unsigned long long kMinMemory = 4096;
    static constexpr unsigned kDefaultMergeWidth = 64;
    static constexpr size_t kLineOverhead = 16;
    static constexpr size_t kWriteBuffer = 256 << 10;

    struct Stats {
        unsigned long long lines = 0;
        unsigned long long bytes = 0;
        unsigned runs = 0;                 // runs spilled to the work directory
        unsigned mergePasses = 0;          // passes over spilled runs
        unsigned long long peakMemory = 0; // bytes counted against the bound
        bool presorted = false;
    };

    BatchSort();
    ~BatchSort() override;
    BatchSort(const BatchSort&) = delete;
    BatchSort& operator=(const BatchSort&) = delete;

    // Opens the input and the output (created 0600 when missing, truncated,
    // never through a link) and checks the work directory. memoryLimit 0 takes
    // the configured bound. 0, or -1 with getFatalErrorMessage.
    int init(const char* input, const char* output, const char* workDir, bool ascending,
             bool verbose, bool checkSorted, unsigned long long memoryLimit);
    // Writes the sorted lines to the output. 0, or -1 with getFatalErrorMessage.
    int sort();
    const char* getFatalErrorMessage() const { return error_.c_str(); }
    const Stats& getStats() const { return stats_; }
    bool isAscending() const { return ascending_; }

    // Whole lines in byte order (reversed when not ascending).
    int cmpFunc(const char* line1, const char* line2) override;

    // The bound of this process's sorts that are given none (0: the key).
    static void setDefaultMemoryLimit(unsigned long long bytes);

private:
    struct Run {
        std::string path;
        size_t longestLine = 0;
    };
    class Engine;

    int fail(const std::string& message);
    // Removes one work file, or all that are left.
    void dropFile(const std::string& path);
    void removeRuns();

    std::string input_, output_, workDir_;
    int inFd_ = -1;
    int outFd_ = -1;
    bool ascending_ = true;
    bool verbose_ = false;
    bool checkSorted_ = false;
    bool ready_ = false;
    unsigned long long memory_ = kDefaultMemory;
    unsigned mergeWidth_ = kDefaultMergeWidth;
    std::vector<Run> runs_;
    std::vector<std::string> liveFiles_;
    Stats stats_;
    std::string error_;
};
