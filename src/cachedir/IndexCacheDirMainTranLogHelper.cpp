#include "cachedir/IndexCacheDirMainTranLogHelper.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "port/FileOps.h"

namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The number after the last '_' of a journal file name; false when it is not
// a decimal number that fits an int.
bool parseJournalNumber(const char* name, int& number) {
    const char* underscore = std::strrchr(name, '_');
    if (!underscore || !std::isdigit(static_cast<unsigned char>(underscore[1])))
        return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(underscore + 1, &end, 10);
    if (errno != 0 || value > INT_MAX)
        return false;
    number = static_cast<int>(value);
    return true;
}

} // namespace

IndexCacheDirMainTranLogHelper::IndexCacheDirMainTranLogHelper(const char* cacheDirPath)
    : mutex_(kMutexName), cacheDirPath_(cacheDirPath ? cacheDirPath : "") {
    size_t pos = cacheDirPath_.rfind("/OX_");
    if (pos == std::string::npos)
        pos = cacheDirPath_.rfind("\\OX_");
    if (pos != std::string::npos) {
        uploadFolder_ = cacheDirPath_.substr(0, pos);
        return;
    }
    lastError_ = "Failed to figure out index cache folder from cache directory path: [" +
                 cacheDirPath_ + "].";
    debugLvl(nullptr, 1, "IndexCacheDirMainTranLogHelper: %s", lastError_.c_str());
    uploadFolder_ = cacheDirPath_;
}

IndexCacheDirMainTranLogHelper::~IndexCacheDirMainTranLogHelper() {
    closeJournalFile();
}

int IndexCacheDirMainTranLogHelper::appendUnprocessed(const std::string& payload) {
    return append('N', 'A', payload);
}

int IndexCacheDirMainTranLogHelper::append(char lineProcessingFlag, char operationType,
                                           const std::string& payload) {
    // The header carries a 32-bit length.
    if (payload.size() > UINT32_MAX) {
        setError("Payload of " + std::to_string(payload.size()) +
                     " bytes is too long for a journal record",
                 0);
        return 0;
    }
    char header[kHeaderSize + 1];
    std::snprintf(header, sizeof header, "%c%c,%16x,", lineProcessingFlag, operationType,
                  static_cast<unsigned int>(payload.size()));

    // Writing without the mutex could interleave with another writer's
    // record and make every later record of the file unreadable.
    if (!lock()) {
        setError(std::string("Failed to lock mutex ") + kMutexName + " within " +
                     std::to_string(kLockTimeoutMs) + " ms",
                 0);
        return 0;
    }

    int result = 0;
    if (chooseJournalFile()) {
        const off_t start = ::lseek(journalFd_, 0, SEEK_END);
        if (start < 0) {
            setError("Failed to seek file", errno);
        } else {
            // Header and payload in one write: a writer killed between two
            // writes would leave a header without its record.
            std::string record(header, kHeaderSize);
            record += payload;
            if (!writeAll(record.data(), record.size())) {
                setError("Failed to write record of " + std::to_string(payload.size()) +
                             " bytes to file '" + uploadFolder_ + "/" + currentFileName_ + "'",
                         fileError_);
            } else {
                result = 1;
            }
        }
        // Records are found by walking the headers, so a torn record would
        // hide every record appended after it.
        if (!result && start >= 0)
            (void)::ftruncate(journalFd_, start);
    }
    closeJournalFile();
    unlock();
    return result;
}

std::string IndexCacheDirMainTranLogHelper::getLocalPath(const std::string& path) const {
    const size_t pos = path.find(uploadFolder_);
    if (pos == std::string::npos || path.size() <= uploadFolder_.size() + 1)
        return path;
    const size_t start = pos + uploadFolder_.size() + 1;
    return start < path.size() ? path.substr(start) : path;
}

std::string IndexCacheDirMainTranLogHelper::getLastErrorDescription() {
    std::string text = "IndexCacheDirMainTranLogHelper: " + lastError_;
    if (fileError_ != 0)
        text += std::string("; FileError=") + std::strerror(fileError_);
    if (mutexError_ != 0)
        text += "; MutexError:" + mutex_.getErrorText();
    lastError_.clear();
    fileError_ = 0;
    mutexError_ = 0;
    return text;
}

bool IndexCacheDirMainTranLogHelper::lock() {
    mutexError_ = mutex_.lock(kLockTimeoutMs);
    return mutexError_ == 0;
}

void IndexCacheDirMainTranLogHelper::unlock() {
    if (mutex_.isLocked())
        mutex_.unlock();
}

bool IndexCacheDirMainTranLogHelper::chooseJournalFile() {
    std::unique_ptr<DIR, DirCloser> dir(openDirectory(uploadFolder_.c_str()));
    if (!dir) {
        setError("Failed to open folder '" + uploadFolder_ +
                     "' with error=" + std::to_string(errno),
                 errno);
        return false;
    }
    const size_t prefixLength = std::strlen(kJournalPrefix);
    int current = 1;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                const int err = errno;
                setError("Failed to read folder '" + uploadFolder_ +
                             "' with error=" + std::to_string(err),
                         err);
                return false;
            }
            break;
        }
        if (std::strncmp(entry->d_name, kJournalPrefix, prefixLength) != 0)
            continue;
        int number = 0;
        if (!parseJournalNumber(entry->d_name, number)) {
            lastError_ = "I/O Error - Failed to read curNumber variable";
            continue;
        }
        if (number > current)
            current = number;
    }
    dir.reset();

    if (!openJournalFile(current))
        return false;
    const off_t size = ::lseek(journalFd_, 0, SEEK_END);
    if (size < 0) {
        setError("Failed to seek file", errno);
        closeJournalFile();
        return false;
    }
    if (size > kMaxJournalSize) {
        const int rc = ::close(journalFd_);
        journalFd_ = -1;
        if (rc != 0) {
            setError("Failed to seek file", errno);
            return false;
        }
        return openJournalFile(current + 1);
    }
    return true;
}

bool IndexCacheDirMainTranLogHelper::openJournalFile(int number) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%05d", kJournalPrefix, number);
    currentFileName_ = name;
    const std::string path = uploadFolder_ + "/" + currentFileName_;
    journalFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (journalFd_ < 0) {
        setError("Failed to open file '" + path + "'", errno);
        return false;
    }
    return true;
}

void IndexCacheDirMainTranLogHelper::closeJournalFile() {
    if (journalFd_ >= 0)
        ::close(journalFd_);
    journalFd_ = -1;
}

bool IndexCacheDirMainTranLogHelper::writeAll(const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(journalFd_, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fileError_ = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void IndexCacheDirMainTranLogHelper::setError(const std::string& text, int fileError) {
    lastError_ = text;
    fileError_ = fileError;
}
