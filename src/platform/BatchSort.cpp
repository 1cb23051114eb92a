#include "platform/BatchSort.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "platform/CrashPoint.h"
#include "platform/EvEvent.h"
#include "platform/FdIo.h"
#include "platform/OXPlatformInfo.h"

namespace {

using platform::readSome;
using platform::writeAll;

std::atomic<unsigned long long> processMemoryLimit{0};

constexpr unsigned long long kMaxMemory = (4ULL << 30) - BatchSort::kLineOverhead;
constexpr size_t kReadChunk = 1 << 20;
constexpr size_t kMinReaderBuffer = 64;

// One line of the run being formed: its first 8 bytes as a big-endian number
// (for the byte order, so most comparisons never touch the text), then where
// the line lies in the run buffer.
struct LineRef {
    uint64_t key;
    uint32_t offset;
    uint32_t length;
};
static_assert(sizeof(LineRef) == BatchSort::kLineOverhead, "per-line overhead");

std::string errnoText(int e) {
    return std::strerror(e);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Lines appended with their LF, written in large blocks.
class Writer {
public:
    explicit Writer(std::vector<char>& buffer) : buffer_(buffer) {}
    void target(int fd) {
        fd_ = fd;
        used_ = 0;
    }
    bool put(const char* line, size_t length) {
        if (used_ + length + 1 > buffer_.size()) {
            if (!flush())
                return false;
            if (length + 1 > buffer_.size()) {
                static const char lf = '\n';
                return writeAll(fd_, line, length) && writeAll(fd_, &lf, 1);
            }
        }
        std::memcpy(buffer_.data() + used_, line, length);
        used_ += length;
        buffer_[used_++] = '\n';
        return true;
    }
    bool flush() {
        bool ok = writeAll(fd_, buffer_.data(), used_);
        used_ = 0;
        return ok;
    }

private:
    std::vector<char>& buffer_;
    int fd_ = -1;
    size_t used_ = 0;
};

// Reads lines from a descriptor into a buffer that grows up to a limit; each
// line is handed out NUL-terminated in place of its LF.
class LineReader {
public:
    LineReader(int fd, size_t initial, size_t limit)
        : fd_(fd), cap_(std::max(initial, kMinReaderBuffer)), limit_(std::max(limit, cap_)),
          buf_(std::make_unique<char[]>(cap_)) {}

    // 1 with line()/length(), 0 at the end, -1 on a read error (errno) or a
    // line longer than the limit (errno EFBIG).
    int next() {
        for (;;) {
            if (char* nl =
                    static_cast<char*>(std::memchr(buf_.get() + begin_, '\n', end_ - begin_))) {
                return take(static_cast<size_t>(nl - buf_.get()));
            }
            if (eof_) {
                if (begin_ == end_)
                    return 0;
                return take(end_);
            }
            std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
            if (end_ + 1 >= cap_ && !grow())
                return -1;
            ssize_t n = readSome(fd_, buf_.get() + end_, cap_ - 1 - end_);
            if (n < 0)
                return -1;
            if (n == 0)
                eof_ = true;
            end_ += static_cast<size_t>(n);
        }
    }
    const char* line() const { return line_; }
    size_t length() const { return length_; }
    size_t capacity() const { return cap_; }

private:
    int take(size_t at) {
        line_ = buf_.get() + begin_;
        length_ = at - begin_;
        buf_[at] = '\0';
        begin_ = at < end_ ? at + 1 : end_;
        return 1;
    }
    bool grow() {
        if (cap_ >= limit_) {
            errno = EFBIG;
            return false;
        }
        size_t cap = std::min(limit_, cap_ * 2);
        auto bigger = std::make_unique<char[]>(cap);
        std::memcpy(bigger.get(), buf_.get(), end_);
        buf_ = std::move(bigger);
        cap_ = cap;
        return true;
    }

    int fd_;
    size_t cap_, limit_;
    std::unique_ptr<char[]> buf_;
    size_t begin_ = 0, end_ = 0;
    bool eof_ = false;
    const char* line_ = nullptr;
    size_t length_ = 0;
};

uint64_t keyOf(const char* text, size_t length) {
    unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(b, text, std::min<size_t>(length, 8));
    uint64_t k = 0;
    for (unsigned char c : b)
        k = (k << 8) | c;
    return k;
}

} // namespace

// One sort: the buffers and the order of its lines.
class BatchSort::Engine {
public:
    explicit Engine(BatchSort& s)
        : s_(s), bytes_(typeid(s) == typeid(BatchSort)), writeBuffer_(kWriteBuffer),
          out_(writeBuffer_) {}

    int run() {
        if (s_.checkSorted_) {
            int rc = copyIfSorted();
            if (rc != 0)
                return rc < 0 ? -1 : 0;
            if (::lseek(s_.inFd_, 0, SEEK_SET) < 0)
                return s_.fail("cannot rewind input '" + s_.input_ + "': " + errnoText(errno));
        }
        if (formRuns() != 0)
            return -1;
        return s_.runs_.empty() ? 0 : mergeRuns();
    }

private:
    // The order of two lines: below, at or above 0.
    int compare(const char* a, size_t al, const char* b, size_t bl) const {
        if (!bytes_)
            return s_.cmpFunc(a, b);
        int c = std::memcmp(a, b, std::min(al, bl));
        if (c == 0)
            c = (al > bl) - (al < bl);
        return s_.ascending_ ? c : -c;
    }

    void notePeak(unsigned long long bytes) {
        s_.stats_.peakMemory = std::max(s_.stats_.peakMemory, bytes);
    }

    // 1 when the input was in order and has been copied, 0 when it must be
    // sorted, -1 on failure.
    int copyIfSorted() {
        size_t limit = static_cast<size_t>(s_.memory_ / 4) + 2;
        LineReader in(s_.inFd_, std::min<size_t>(limit, 64 << 10), limit);
        std::string previous;
        bool have = false;
        int rc;
        while ((rc = in.next()) == 1) {
            if (have && compare(previous.c_str(), previous.size(), in.line(), in.length()) > 0)
                break;
            previous.assign(in.line(), in.length());
            have = true;
        }
        notePeak(in.capacity() + previous.capacity());
        if (rc < 0)
            return readFailure(s_.input_);
        if (rc == 1)
            return 0;
        if (::lseek(s_.inFd_, 0, SEEK_SET) < 0)
            return s_.fail("cannot rewind input '" + s_.input_ + "': " + errnoText(errno));
        LineReader copy(s_.inFd_, std::min<size_t>(limit, 64 << 10), limit);
        out_.target(s_.outFd_);
        while ((rc = copy.next()) == 1) {
            ++s_.stats_.lines;
            s_.stats_.bytes += copy.length() + 1;
            if (!out_.put(copy.line(), copy.length()))
                return writeFailure(s_.output_);
        }
        if (rc < 0)
            return readFailure(s_.input_);
        if (!out_.flush())
            return writeFailure(s_.output_);
        s_.stats_.presorted = true;
        return 1;
    }

    // Reads the input into sorted runs: one run that holds everything goes
    // straight to the output, otherwise every run is spilled to a work file.
    int formRuns() {
        struct stat st;
        unsigned long long size = ::fstat(s_.inFd_, &st) == 0 ? st.st_size : 0;
        size_t cap = static_cast<size_t>(std::min<unsigned long long>(
                         s_.memory_, std::max<unsigned long long>(64 << 10, size * 2 + 4096))) &
                     ~static_cast<size_t>(15);
        auto buf = std::make_unique<char[]>(cap);
        size_t maxLine = static_cast<size_t>(s_.memory_ / 4);
        size_t textEnd = 0, lineStart = 0, scanFrom = 0, refs = 0;
        bool eof = false;
        auto refAt = [&](size_t i) { return reinterpret_cast<LineRef*>(buf.get() + cap) - 1 - i; };
        auto roomForRef = [&](size_t textBytes) {
            return cap - (refs + 1) * sizeof(LineRef) >= textBytes;
        };
        auto addLine = [&](size_t end) {
            LineRef* r = refAt(refs++);
            r->offset = static_cast<uint32_t>(lineStart);
            r->length = static_cast<uint32_t>(end - lineStart);
            r->key = bytes_ ? keyOf(buf.get() + lineStart, r->length) : 0;
            buf[end] = '\0';
            ++s_.stats_.lines;
            s_.stats_.bytes += r->length + 1;
            lineStart = scanFrom = end + 1;
        };
        for (;;) {
            bool full = false;
            while (scanFrom < textEnd) {
                char* nl =
                    static_cast<char*>(std::memchr(buf.get() + scanFrom, '\n', textEnd - scanFrom));
                if (nl == nullptr) {
                    scanFrom = textEnd;
                    break;
                }
                size_t at = static_cast<size_t>(nl - buf.get());
                if (at - lineStart > maxLine)
                    return lineTooLong(maxLine);
                if (!roomForRef(textEnd)) {
                    full = true;
                    break;
                }
                addLine(at);
            }
            if (scanFrom - lineStart > maxLine)
                return lineTooLong(maxLine);
            if (!full && eof) {
                if (lineStart >= textEnd)
                    break;
                // The last line has no LF: it still needs a NUL after it.
                if (roomForRef(textEnd + 1)) {
                    addLine(textEnd);
                    break;
                }
                full = true;
            }
            size_t free = cap - refs * sizeof(LineRef) - textEnd;
            if (!full && free >= sizeof(LineRef) + 2) {
                size_t room = free - sizeof(LineRef) - 1;
                ssize_t n = readSome(s_.inFd_, buf.get() + textEnd, std::min(room, kReadChunk));
                if (n < 0)
                    return readFailure(s_.input_);
                if (n == 0)
                    eof = true;
                textEnd += static_cast<size_t>(n);
                continue;
            }
            if (cap < s_.memory_) {
                size_t bigger = static_cast<size_t>(std::min<unsigned long long>(
                                    s_.memory_, static_cast<unsigned long long>(cap) * 2)) &
                                ~static_cast<size_t>(15);
                auto grown = std::make_unique<char[]>(bigger);
                std::memcpy(grown.get(), buf.get(), textEnd);
                std::memcpy(grown.get() + bigger - refs * sizeof(LineRef),
                            buf.get() + cap - refs * sizeof(LineRef), refs * sizeof(LineRef));
                buf = std::move(grown);
                cap = bigger;
                continue;
            }
            // The buffer is full: a run of the complete lines, and the rest of
            // the text moves to the front for the next one.
            notePeak(cap);
            if (spill(buf.get(), refAt(refs - 1), refs, false) != 0)
                return -1;
            std::memmove(buf.get(), buf.get() + lineStart, textEnd - lineStart);
            textEnd -= lineStart;
            scanFrom -= lineStart;
            lineStart = 0;
            refs = 0;
        }
        notePeak(cap);
        if (refs == 0 && !s_.runs_.empty())
            return 0;
        return spill(buf.get(), refs ? refAt(refs - 1) : nullptr, refs, s_.runs_.empty());
    }

    // Sorts one run and writes it to the output (last) or to a new work file.
    int spill(const char* text, LineRef* first, size_t count, bool last) {
        bool asc = s_.ascending_;
        std::sort(first, first + count, [&](const LineRef& x, const LineRef& y) {
            if (x.key != y.key)
                return asc ? x.key < y.key : x.key > y.key;
            int c = compare(text + x.offset, x.length, text + y.offset, y.length);
            return c != 0 ? c < 0 : x.offset < y.offset;
        });
        Fd file;
        Run run;
        if (last) {
            out_.target(s_.outFd_);
        } else {
            if (newRunFile(file, run) != 0)
                return -1;
            out_.target(file.get());
        }
        for (size_t i = 0; i < count; ++i) {
            if (!out_.put(text + first[i].offset, first[i].length))
                return writeFailure(last ? s_.output_ : run.path);
            run.longestLine = std::max<size_t>(run.longestLine, first[i].length);
        }
        if (!out_.flush())
            return writeFailure(last ? s_.output_ : run.path);
        if (!last) {
            s_.runs_.push_back(run);
            ++s_.stats_.runs;
            platform::crashPoint("sort.spilled");
        }
        return 0;
    }

    int newRunFile(Fd& file, Run& run) {
        std::string pattern = s_.workDir_ + "/runXXXXXX";
        // mkostemp creates with O_EXCL: an existing name or a link is never reused.
        file.reset(::mkostemp(&pattern[0], O_CLOEXEC));
        if (file.get() < 0)
            return s_.fail("cannot create a work file in '" + s_.workDir_ +
                           "': " + errnoText(errno));
        run.path = pattern;
        s_.liveFiles_.push_back(pattern);
        return 0;
    }

    size_t readerBuffer(const Run& r) const {
        size_t chunk = static_cast<size_t>(s_.memory_ / (s_.mergeWidth_ + 1));
        chunk = std::min(std::max(chunk, kMinReaderBuffer), kReadChunk);
        return std::max(chunk, r.longestLine + 2);
    }

    // Merges the runs in passes of at most the merge width (and the memory
    // bound) until one merge writes the output. Runs merged together are
    // neighbours, and each pass keeps their order, so ties stay stable.
    int mergeRuns() {
        for (;;) {
            std::vector<Run>& runs = s_.runs_;
            ++s_.stats_.mergePasses;
            unsigned long long all = 0;
            for (const Run& r : runs)
                all += readerBuffer(r);
            if (runs.size() <= s_.mergeWidth_ && all <= s_.memory_) {
                out_.target(s_.outFd_);
                std::vector<Run> group;
                group.swap(runs);
                return merge(group, s_.output_);
            }
            std::vector<Run> next;
            size_t i = 0;
            while (i < runs.size()) {
                size_t j = i;
                unsigned long long sum = 0;
                while (j < runs.size() && j - i < s_.mergeWidth_ &&
                       (j - i < 2 || sum + readerBuffer(runs[j]) <= s_.memory_))
                    sum += readerBuffer(runs[j++]);
                std::vector<Run> group(runs.begin() + i, runs.begin() + j);
                i = j;
                if (group.size() == 1) {
                    next.push_back(group[0]);
                    continue;
                }
                Fd file;
                Run merged;
                if (newRunFile(file, merged) != 0)
                    return -1;
                for (const Run& r : group)
                    merged.longestLine = std::max(merged.longestLine, r.longestLine);
                out_.target(file.get());
                if (merge(group, merged.path) != 0)
                    return -1;
                next.push_back(merged);
            }
            runs.swap(next);
        }
    }

    // k-way heap merge of the group into the current writer target; the
    // group's files are removed afterwards.
    int merge(const std::vector<Run>& group, const std::string& target) {
        std::vector<Fd> files;
        std::vector<LineReader> readers;
        files.reserve(group.size());
        readers.reserve(group.size());
        unsigned long long memory = 0;
        for (const Run& r : group) {
            files.emplace_back(::open(r.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (files.back().get() < 0)
                return s_.fail("cannot open work file '" + r.path + "': " + errnoText(errno));
            size_t size = readerBuffer(r);
            readers.emplace_back(files.back().get(), size, size);
            memory += size;
        }
        notePeak(memory);
        // A heap whose top is the line to write next: the smallest line, and
        // of equal lines the one from the earliest run.
        auto after = [&](size_t a, size_t b) {
            int c = compare(readers[a].line(), readers[a].length(), readers[b].line(),
                            readers[b].length());
            return c != 0 ? c > 0 : a > b;
        };
        std::vector<size_t> heap;
        for (size_t i = 0; i < readers.size(); ++i) {
            int rc = readers[i].next();
            if (rc < 0)
                return readFailure(group[i].path);
            if (rc == 1)
                heap.push_back(i);
        }
        std::make_heap(heap.begin(), heap.end(), after);
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), after);
            size_t top = heap.back();
            if (!out_.put(readers[top].line(), readers[top].length()))
                return writeFailure(target);
            int rc = readers[top].next();
            if (rc < 0)
                return readFailure(group[top].path);
            if (rc == 1)
                std::push_heap(heap.begin(), heap.end(), after);
            else
                heap.pop_back();
        }
        if (!out_.flush())
            return writeFailure(target);
        for (const Run& r : group)
            s_.dropFile(r.path);
        return 0;
    }

    int lineTooLong(size_t maxLine) {
        return s_.fail("a line of '" + s_.input_ + "' is longer than " + std::to_string(maxLine) +
                       " bytes, a quarter of the memory bound");
    }
    int readFailure(const std::string& path) {
        if (errno == EFBIG)
            return lineTooLong(static_cast<size_t>(s_.memory_ / 4));
        return s_.fail("cannot read '" + path + "': " + errnoText(errno));
    }
    int writeFailure(const std::string& path) {
        return s_.fail("cannot write '" + path + "': " + errnoText(errno));
    }

    BatchSort& s_;
    // Whether lines compare as bytes (the engine's own order), which lets the
    // run sort use the 8-byte keys.
    bool bytes_;
    std::vector<char> writeBuffer_;
    Writer out_;
};

BatchSort::BatchSort() = default;

BatchSort::~BatchSort() {
    removeRuns();
    if (inFd_ >= 0)
        ::close(inFd_);
    if (outFd_ >= 0)
        ::close(outFd_);
}

void BatchSort::setDefaultMemoryLimit(unsigned long long bytes) {
    processMemoryLimit.store(bytes);
}

int BatchSort::init(const char* input, const char* output, const char* workDir, bool ascending,
                    bool verbose, bool checkSorted, unsigned long long memoryLimit) {
    ready_ = false;
    error_.clear();
    if (!input || !output || !workDir || !*input || !*output || !*workDir)
        return fail("input, output and work directory must be given");
    input_ = input;
    output_ = output;
    workDir_ = workDir;
    ascending_ = ascending;
    verbose_ = verbose;
    checkSorted_ = checkSorted;

    unsigned long long memory = memoryLimit ? memoryLimit : processMemoryLimit.load();
    if (memory == 0)
        memory = static_cast<unsigned long long>(platform::KeyStore::getNumberOr(
            platform::kPlatformSection, "SortMemory", static_cast<long long>(kDefaultMemory)));
    memory_ = std::min(std::max(memory, kMinMemory), kMaxMemory) & ~15ULL;
    long long width = platform::KeyStore::getNumberOr(platform::kPlatformSection, "SortMergeWidth",
                                                      kDefaultMergeWidth);
    struct rlimit rl;
    // Room for the output, the input and the process's other descriptors.
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        width = std::min<long long>(width, static_cast<long long>(rl.rlim_cur) - 16);
    mergeWidth_ = static_cast<unsigned>(std::max<long long>(2, std::min<long long>(width, 4096)));

    struct stat st;
    if (::stat(workDir, &st) != 0 || !S_ISDIR(st.st_mode))
        return fail("work directory '" + workDir_ + "' is not a directory");
    if (inFd_ >= 0)
        ::close(inFd_);
    if (outFd_ >= 0)
        ::close(outFd_);
    outFd_ = -1;
    inFd_ = ::open(input, O_RDONLY | O_CLOEXEC);
    if (inFd_ < 0)
        return fail("cannot open input '" + input_ + "': " + errnoText(errno));
    outFd_ = ::open(output, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (outFd_ < 0)
        return fail("cannot open output '" + output_ + "': " + errnoText(errno));
    ready_ = true;
    return 0;
}

int BatchSort::sort() {
    if (!ready_)
        return fail("the sort was not initialised");
    ready_ = false;
    stats_ = Stats();
    int rc = Engine(*this).run();
    removeRuns();
    if (rc == 0 && verbose_) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "BatchSort: %llu lines (%llu bytes) of '%s': %u runs, %u merge passes, "
                      "peak memory %llu of %llu bytes%s",
                      stats_.lines, stats_.bytes, input_.c_str(), stats_.runs, stats_.mergePasses,
                      stats_.peakMemory, memory_, stats_.presorted ? ", already in order" : "");
        platform::writeDebugLine(2, 0, line);
    }
    return rc;
}

int BatchSort::cmpFunc(const char* line1, const char* line2) {
    int c = std::strcmp(line1, line2);
    c = (c > 0) - (c < 0);
    return ascending_ ? c : -c;
}

int BatchSort::fail(const std::string& message) {
    error_ = message;
    return -1;
}

void BatchSort::dropFile(const std::string& path) {
    ::unlink(path.c_str());
    liveFiles_.erase(std::remove(liveFiles_.begin(), liveFiles_.end(), path), liveFiles_.end());
}

void BatchSort::removeRuns() {
    for (const std::string& path : liveFiles_)
        ::unlink(path.c_str());
    liveFiles_.clear();
    runs_.clear();
}
