#include "common/SortAndReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/BatchSortByColumn.h"
#include "common/TDebuggable.h"
#include "platform/BatchSort.h"
#include "platform/CrashPoint.h"
#include "port/FileOps.h"

namespace {

constexpr size_t kCopyBuffer = 64 << 10;

ssize_t preadAll(int fd, char* buffer, size_t length, off_t at) {
    ssize_t n;
    do {
        n = ::pread(fd, buffer, length, at);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool pwriteAll(int fd, const char* data, size_t length, off_t at) {
    while (length > 0) {
        ssize_t n = ::pwrite(fd, data, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The sorted copy and the work directory of one sort. Whatever is still
// there when the object goes away (a failed sort) is removed.
class SortWork {
public:
    SortWork(TDebuggable& log, const char* file) : log_(log), file_(file) {}
    ~SortWork() {
        if (!output_.empty())
            ::unlink(output_.c_str());
        if (!workDir_.empty())
            deleteDir(workDir_.c_str());
    }
    SortWork(const SortWork&) = delete;
    SortWork& operator=(const SortWork&) = delete;

    // Makes both with unique names; false (logged) when either cannot be made.
    bool create() {
        std::string dir = file_ + "_folder.tmp.XXXXXX";
        if (::mkdtemp(&dir[0]) == nullptr) {
            log_.debug(1, "cannot create work directory '%s' for file '%s': errno=%d", dir.c_str(),
                       file_.c_str(), errno);
            return false;
        }
        workDir_ = dir;
        std::string out = file_ + ".tmp.XXXXXX";
        int fd = ::mkostemp(&out[0], O_CLOEXEC);
        if (fd < 0) {
            log_.debug(1, "cannot create sorted file '%s' for file '%s': errno=%d", out.c_str(),
                       file_.c_str(), errno);
            return false;
        }
        ::close(fd);
        output_ = out;
        return true;
    }

    // Gives the sorted copy the original's owner and permissions, puts it on
    // disk and renames it over the original. False when the original stays.
    bool install() {
        struct stat st;
        if (::stat(file_.c_str(), &st) != 0) {
            log_.debug(1, "cannot stat file '%s': errno=%d", file_.c_str(), errno);
            return false;
        }
        int fd = ::open(output_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            log_.debug(1, "cannot open tmpFile '%s': errno=%d", output_.c_str(), errno);
            return false;
        }
        // Owner first: a change of owner clears set-id bits that fchmod then restores.
        // Only root may give a file away; anyone else keeps their own file.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
            log_.debug(2, "cannot give tmpFile '%s' the owner of '%s': errno=%d", output_.c_str(),
                       file_.c_str(), errno);
        bool ok = ::fchmod(fd, st.st_mode & 07777) == 0 && ::fsync(fd) == 0;
        int error = errno;
        ::close(fd);
        if (!ok) {
            log_.debug(1, "cannot set permissions of or sync tmpFile '%s': errno=%d",
                       output_.c_str(), error);
            return false;
        }
        // The sorted copy is complete and on disk; the original is untouched.
        platform::crashPoint("sort.replace");
        if (safeRename(output_.c_str(), file_.c_str()) != 0) {
            log_.debug(1, "rename failed for file '%s' tmpFile '%s' workdir '%s'", file_.c_str(),
                       output_.c_str(), workDir_.c_str());
            return false;
        }
        output_.clear();
        syncDirectory();
        return true;
    }

    // Removes the (empty) work directory of a sort that succeeded.
    void removeWorkDir(bool announce) {
        if (announce)
            log_.debug(2, "Call rmdir for '%s'", workDir_.c_str());
        if (::rmdir(workDir_.c_str()) != 0)
            log_.debug(1, "ignoring rmdir failure for '%s'", workDir_.c_str());
        workDir_.clear();
    }

    const char* file() const { return file_.c_str(); }
    const char* output() const { return output_.c_str(); }
    const char* workDir() const { return workDir_.c_str(); }

private:
    // The rename is durable only once the directory entry is on disk.
    void syncDirectory() {
        std::string dir = file_;
        size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }

    TDebuggable& log_;
    std::string file_;
    std::string output_;
    std::string workDir_;
};

// The slots of the original's ring of top N + 1 line offsets that the kept
// lines would have filled, for the log line that describes the cut.
void logRanges(TDebuggable& log, long long lines, long long topN) {
    bool wrapped = lines > topN;
    long long i = wrapped ? lines % (topN + 1) : lines;
    long long from1 = 0, to1 = i - 1, from2 = -1, to2 = -1;
    if (wrapped && i == 0) {
        from1 = 1;
        to1 = topN;
    } else if (wrapped && i == topN) {
        to1 = topN - 1;
    } else if (wrapped) {
        from1 = i + 1;
        to1 = topN;
        from2 = 0;
        to2 = i - 1;
    }
    log.debug(2, "From1=%lld, to1=%lld, from2=%lld, to2=%lld", from1, to1, from2, to2);
}

// Offset just after the count-th LF of the file (the file's size when it has
// fewer), and the number of LFs seen on the way. -1 on a read error.
// A negative count counts every LF.
off_t afterLines(int fd, long long count, long long& seen, char* buffer) {
    if (count < 0)
        count = LLONG_MAX;
    seen = 0;
    off_t at = 0;
    for (;;) {
        if (seen == count)
            return at;
        ssize_t n = preadAll(fd, buffer, kCopyBuffer, at);
        if (n < 0)
            return -1;
        if (n == 0)
            return at;
        const char* p = buffer;
        const char* end = buffer + n;
        while (seen < count) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (nl == nullptr)
                break;
            ++seen;
            p = nl + 1;
        }
        at += seen == count ? p - buffer : n;
    }
}

// Cuts the sorted copy down to its first (keepLast false) or last topN lines,
// in place and in constant memory: every line is kept whole, with its CR LF.
bool cutTopN(TDebuggable& log, SortWork& work, long long topN, bool keepLast) {
    int fd = ::open(work.output(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        log.debug(1, "filed to open files '%s' and/or tmpFile '%s' workdir '%s'", work.file(),
                  work.output(), work.workDir());
        return false;
    }
    auto buffer = std::make_unique<char[]>(kCopyBuffer);
    long long seen = 0;
    bool ok = true;
    if (!keepLast) {
        log.debug(2, "Descending - copy topN lines from src do dst. Output all if < topN");
        off_t end = afterLines(fd, topN, seen, buffer.get());
        ok = end >= 0 && ::ftruncate(fd, end) == 0;
    } else {
        log.debug(2, "Ascending - skip all but topN lines at the bottom of the file. Output all "
                     "if < topN");
        struct stat st;
        ok = ::fstat(fd, &st) == 0 && afterLines(fd, -1, seen, buffer.get()) >= 0;
        if (ok)
            logRanges(log, seen, topN);
        if (ok && seen > topN) {
            long long skipped = 0;
            off_t from = afterLines(fd, seen - topN, skipped, buffer.get());
            off_t to = 0;
            ok = from >= 0;
            while (ok && from < st.st_size) {
                ssize_t n = preadAll(fd, buffer.get(), kCopyBuffer, from);
                ok = n > 0 && pwriteAll(fd, buffer.get(), static_cast<size_t>(n), to);
                from += n;
                to += n;
            }
            ok = ok && ::ftruncate(fd, to) == 0;
        }
    }
    int error = errno;
    ::close(fd);
    if (!ok)
        log.debug(1, "top %lld cut of tmpFile '%s' failed: errno=%d", topN, work.output(), error);
    return ok;
}

} // namespace

int sortAndReplace(const char* file, bool flag1, bool flag2, bool flag3) {
    TDebuggable log;
    log.setDebugPrefix("SORTANDREPLACE");
    if (file == nullptr || *file == '\0')
        return -1;
    SortWork work(log, file);
    if (!work.create())
        return -1;
    {
        BatchSort sorter;
        if (sorter.init(file, work.output(), work.workDir(), flag2, flag3, flag1, 0) != 0) {
            log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'",
                      file, work.output(), work.workDir(), sorter.getFatalErrorMessage());
            return -1;
        }
        if (sorter.sort() != 0) {
            log.debug(1, "sort failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'",
                      file, work.output(), work.workDir(), sorter.getFatalErrorMessage());
            return -1;
        }
    }
    if (!work.install())
        return -1;
    work.removeWorkDir(false);
    return 0;
}

int sortAndReplaceEx(const char* file, int criteria, long long topN, bool ascending, bool flagB,
                     uint32_t columnNumber, const char* delimiters, uint32_t columnType,
                     uint64_t value) {
    bool wholeLine = criteria == kSortWholeLine || criteria == kSortWholeLinePlain;
    if (topN < 1 && wholeLine)
        return sortAndReplace(file, criteria == kSortWholeLine, ascending, flagB);
    TDebuggable log;
    log.setDebugPrefix("SORTANDREPLACEEX");
    if (file == nullptr || *file == '\0')
        return -1;
    bool byColumn = criteria == kSortByColumn;
    if (byColumn && (columnNumber == 0 || delimiters == nullptr || *delimiters == '\0')) {
        log.debug(1, "invalid sort column %u or delimiters '%s' for file '%s'", columnNumber,
                  delimiters ? delimiters : "", file);
        return -1;
    }
    SortWork work(log, file);
    if (!work.create())
        return -1;
    {
        std::unique_ptr<BatchSort> sorter;
        if (byColumn) {
            sorter =
                std::make_unique<BatchSortByColumn>(columnNumber, delimiters, columnType, value);
            log.debug(2, "BatchSortByColumn instantiated with ascendingOrder[%s]",
                      ascending ? "true" : "false");
        } else {
            sorter = std::make_unique<BatchSort>();
            log.debug(2, "BatchSort instantiated");
        }
        if (sorter->init(file, work.output(), work.workDir(), ascending, criteria == kSortWholeLine,
                         flagB, 0) != 0) {
            log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s'", file,
                      work.output(), work.workDir());
            log.debug(1, "sort error '%s'", sorter->getFatalErrorMessage());
            return -1;
        }
        if (sorter->sort() != 0) {
            log.debug(1, "sort failed for file '%s' tmpFile '%s' workdir '%s'", file, work.output(),
                      work.workDir());
            log.debug(1, "sort error '%s'", sorter->getFatalErrorMessage());
            return -1;
        }
    }
    log.debug(2, "Sorted '%s' into '%s'", file, work.output());
    if (topN < 1)
        log.debug(2, "No file count was set. Renaming.");
    else if (!cutTopN(log, work, topN, ascending && byColumn))
        return -1;
    if (!work.install())
        return -1;
    work.removeWorkDir(true);
    log.debug(2, "Finish sorting successfully");
    return 0;
}
