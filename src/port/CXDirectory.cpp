#include "port/CXDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <strings.h>

#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OxProcess.h"
#include "port/CXFile.h"
#include "port/FileOps.h"

namespace {

constexpr int kWrongState = -1;
constexpr int kErrorTextSize = 1024;
constexpr const char* kSourceMoniker = "_idx_src_dir_";
constexpr const char* kDestinationMoniker = "_idx_dest_dir_";
// The top-level file every process rewrites; its copy may differ in size.
constexpr const char* kStateEntry = "./State";

bool isDots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool isExcepted(const char* name, const char* except) {
    return except && ::strcasecmp(name, except) == 0;
}

// Recreates a symbolic link as a link; a non-directory already at the target
// is replaced, as a copied file would be.
int copyLink(const std::string& source, const std::string& target) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(source.c_str(), buffer, sizeof buffer - 1);
    if (n < 0)
        return errno;
    buffer[n] = '\0';
    if (::symlink(buffer, target.c_str()) == 0)
        return 0;
    struct stat64 st;
    if (errno != EEXIST || ::lstat64(target.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return errno == 0 ? EEXIST : errno;
    if (::unlink(target.c_str()) != 0 || ::symlink(buffer, target.c_str()) != 0)
        return errno;
    return 0;
}

// The executable of an external command: the quoted text at its start, or
// the text before the first blank from the second character on.
std::string commandName(const std::string& command) {
    if (!command.empty() && command[0] == '"') {
        const size_t close = command.find('"', 1);
        return close == std::string::npos ? std::string() : command.substr(1, close - 1);
    }
    const size_t blank = command.find(' ', 1);
    return blank == std::string::npos ? std::string() : command.substr(0, blank);
}

} // namespace

CXDirectory::CXDirectory() {
    setDebugPrefix("DIRECTORY");
}

CXDirectory::~CXDirectory() {
    close();
}

int CXDirectory::open(const char* path) {
    close();
    dir_ = path ? openDirectory(path) : nullptr;
    if (!dir_) {
        lastError_ = path ? errno : EINVAL;
        debug(1, "open: opendir %s failed, errno %d\n", path ? path : "NULL", lastError_);
        return -1;
    }
    lastError_ = 0;
    opened_ = 1;
    path_ = path;
    return 0;
}

const char* CXDirectory::read() {
    if (!opened_) {
        lastError_ = kWrongState;
        debug(1, "read: not open\n");
        return nullptr;
    }
    // readdir64 leaves errno alone at the end of the directory.
    errno = 0;
    struct dirent64* entry = ::readdir64(dir_);
    if (!entry) {
        lastError_ = errno;
        if (lastError_ != 0)
            debug(1, "read: posix readdir failed, errno %d, ret %d\n", lastError_, lastError_);
        return nullptr;
    }
    lastError_ = 0;
    entry_ = entry->d_name;
    entryType_ = entry->d_type;
    return entry_.c_str();
}

int CXDirectory::close() {
    if (!opened_)
        return 0;
    opened_ = 0;
    int rc = ::closedir(dir_);
    dir_ = nullptr;
    return rc;
}

int CXDirectory::copyFiles(const char* destination, const char* except) {
    return copyFiles(destination, except, false);
}

int CXDirectory::copyFiles(const char* destination, const char* except, bool ignoreCopyErrors) {
    if (!opened_) {
        lastError_ = kWrongState;
        debug(1, "copyFiles to %s attempted before open\n", destination);
        return -1;
    }
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDots(name) || isExcepted(name, except))
            continue;
        const std::string source = path_ + "/" + name;
        const std::string target = std::string(destination) + "/" + name;
        struct stat64 st;
        const bool known = ::lstat64(source.c_str(), &st) == 0;

        if (recursion_ && known && S_ISDIR(st.st_mode)) {
            if (::mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) {
                lastError_ = errno;
                debug(1, "createCopy: cannot mkdir %s (errno %d)\n", destination, lastError_);
                return -1;
            }
            CXDirectory sub;
            sub.setJobId(jobId_);
            sub.setRecursion(true);
            if (sub.open(source.c_str()) != 0) {
                lastError_ = sub.getLastError();
                debug(1, "createCopy: cannot open '%s', code %d", source.c_str(), lastError_);
                return -1;
            }
            if (sub.copyFiles(target.c_str(), except) != 0) {
                lastError_ = sub.getLastError();
                debug(1, "createCopy: cannot copy '%s' to '%s', code %d", source.c_str(),
                      target.c_str(), lastError_);
                return -1;
            }
            continue;
        }

        int code;
        // A link is copied as a link: following it would copy (or, for a link
        // to a directory, fail on) whatever it points to, possibly far outside
        // the tree being copied.
        if (known && S_ISLNK(st.st_mode))
            code = copyLink(source, target);
        else
            code = CXCopyFile(source.c_str(), target.c_str(), &lastError_) == 0 ? 0 : lastError_;
        if (code == 0)
            continue;
        lastError_ = code;
        if (ignoreCopyErrors) {
            debug(1,
                  "copyFiles cannot copy '%s' to '%s', code %d. Ignore copy error and continue.\n",
                  source.c_str(), target.c_str(), code);
            continue;
        }
        debug(1, "copyFiles cannot copy '%s' to '%s', code %d\n", source.c_str(), target.c_str(),
              code);
        return -1;
    }
    // read() resets the last error on every entry: non-zero here is its failure.
    if (lastError_ != 0) {
        debug(1, "copyFiles %s to %s directory read failed\n", path_.c_str(), destination);
        return -1;
    }
    return 0;
}

int CXDirectory::copyFilesExternal(const char* destination, const char* except,
                                   std::string command) {
    const std::string original = command;
    bool copied = false;
    do {
        const std::string executable = commandName(command);
        if (executable.empty()) {
            debug(-1,
                  "failed to extract command name from external command [%s], make sure binary "
                  "name is within double quotes",
                  original.c_str());
            break;
        }
        if (IdxReplaceString(command, kSourceMoniker, path_.c_str()) != 0 ||
            IdxReplaceString(command, kDestinationMoniker, destination) != 0) {
            debug(-1, "failed to replace monikers in the external command, check the command "
                      "syntax again");
            break;
        }

        OxProcess process;
        char error[kErrorTextSize] = "";
        if (!process.StartProcess(executable.c_str(), command.c_str(), error, sizeof error, 0)) {
            debug(-1, "failed to execute external copy command, command [%s] error [%s]",
                  command.c_str(), error);
            break;
        }
        debug(-1, "launched external copy command, command [%s] pid [%d]", command.c_str(),
              static_cast<int>(process.GetChildPid()));
        // The exit code is not trusted either way: the listing below decides.
        int exitCode = 0;
        if (!process.WaitForProcessToEnd(exitCode, error, sizeof error, -1)) {
            debug(-1, "external copy command failed, command [%s] error [%s]", command.c_str(),
                  error);
            break;
        }

        CXFileList sourceFiles;
        CXFileList targetFiles;
        if (listFiles(path_, sourceFiles) != 0 || listFiles(destination, targetFiles) != 0) {
            debug(-1, "source and destination directory comparision failed, could not list "
                      "files in the directories");
            break;
        }
        std::map<std::string, unsigned long long> targets;
        for (auto& entry : targetFiles) {
            IdxReplaceString(entry.first, destination, ".");
            targets.emplace(entry.first, entry.second);
        }
        const char* miss = nullptr;
        for (auto& entry : sourceFiles) {
            IdxReplaceString(entry.first, path_.c_str(), ".");
            debug(2, "validating copy [%s]", entry.first.c_str());
            if (entry.first == kStateEntry)
                continue;
            auto found = targets.find(entry.first);
            if (found == targets.end() || found->second != entry.second) {
                miss = entry.first.c_str();
                break;
            }
        }
        if (miss) {
            debug(-1, "source and destination directory comparision failed, first miss = [%s]",
                  miss);
            break;
        }
        copied = true;
    } while (false);

    if (copied)
        return 0;
    debug(0, "fallback to traditional copy since external copy method failed");
    return copyFiles(destination, except);
}

int CXDirectory::listFiles(std::string directory, CXFileList& files) {
    TDebuggable log;
    log.setDebugPrefix("DIRECTORY");
    CXDirectory dir;
    if (dir.open(directory.c_str()) != 0) {
        log.debug(-1, "failed to open directory [%s], error [%d]", directory.c_str(),
                  dir.getLastError());
        return -1;
    }
    const char* name;
    while ((name = dir.read()) != nullptr) {
        if (isDots(name))
            continue;
        std::string path = directory + "/" + name;
        struct stat64 st;
        // A link is listed with its own size and never descended: the tree
        // is what lies below the directory, not what its links point to.
        if (::lstat64(path.c_str(), &st) != 0) {
            log.debug(-1, "failed to stat file [%s], error [%d]", path.c_str(), errno);
            return -1;
        }
        if (S_ISDIR(st.st_mode)) {
            int rc = listFiles(path, files);
            if (rc != 0) {
                log.debug(-1, "failed to iterate directory [%s], error [%d]", path.c_str(), rc);
                return -1;
            }
            continue;
        }
        const unsigned long long size = static_cast<unsigned long long>(st.st_size);
        log.debug(2, "found file [%s] size [%llu]", path.c_str(), size);
        files.emplace_back(std::move(path), size);
    }
    if (dir.getLastError() != 0) {
        log.debug(-1, "failed to iterate directory [%s], error [%d]", directory.c_str(),
                  dir.getLastError());
        return -1;
    }
    return 0;
}

int CXDirectory::removeFiles(const char* except) {
    if (!opened_) {
        lastError_ = kWrongState;
        debug(1, "removeFiles attempted before open\n");
        return -1;
    }
    debug(1, "removeFiles from %s (except %s)\n", path_.c_str(), except ? except : "NULL");
    // Entries are named relative to the open directory: the kernel does not
    // walk the whole path again for every file removed.
    const int at = ::dirfd(dir_);
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDots(name) || isExcepted(name, except))
            continue;
        struct stat64 st;
        // The entry's type, or lstat where the file system does not give
        // it: a link to a directory is unlinked like a file, never
        // descended, so nothing outside the tree is ever removed through it.
        const bool descend =
            recursion_ &&
            (entryType_ != DT_UNKNOWN
                 ? entryType_ == DT_DIR
                 : ::fstatat64(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode));
        if (descend) {
            const std::string path = path_ + "/" + name;
            CXDirectory sub;
            sub.setJobId(jobId_);
            sub.setRecursion(true);
            if (sub.open(path.c_str()) != 0) {
                lastError_ = sub.getLastError();
                debug(1, "removeFiles: cannot open '%s', code %d", path.c_str(), lastError_);
                return -1;
            }
            if (sub.removeFiles(except) != 0) {
                lastError_ = sub.getLastError();
                debug(1, "removeFiles: cannot remove '%s', code %d", path.c_str(), lastError_);
                return -1;
            }
            sub.close();
            if (::rmdir(path.c_str()) != 0) {
                lastError_ = errno;
                debug(1, "removeFiles rmdir %s failed, errno %d\n", path.c_str(), lastError_);
                return -1;
            }
            continue;
        }
        if (::unlinkat(at, name, 0) != 0) {
            lastError_ = errno;
            debug(1, "removeFiles unlink %s/%s failed, errno %d\n", path_.c_str(), name,
                  lastError_);
            return -1;
        }
    }
    if (lastError_ != 0) {
        debug(1, "removeFiles directory read failed\n");
        return -1;
    }
    return 0;
}

long long CXDirectory::sumSizes() {
    if (!opened_) {
        lastError_ = kWrongState;
        debug(1, "sumSizes attempted before open\n");
        return -1;
    }
    long long total = 0;
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDots(name))
            continue;
        const std::string path = path_ + "/" + name;
        struct stat64 st;
        const bool known = ::lstat64(path.c_str(), &st) == 0;
        if (recursion_ && known && S_ISDIR(st.st_mode)) {
            CXDirectory sub;
            sub.setJobId(jobId_);
            sub.setRecursion(true);
            if (sub.open(path.c_str()) != 0) {
                lastError_ = sub.getLastError();
                debug(1, "sumSizes: cannot open '%s', code %d", path.c_str(), lastError_);
                return -1;
            }
            long long size = sub.sumSizes();
            if (size < 0) {
                lastError_ = sub.getLastError();
                debug(1, "cannot sum size of '%s', code %d", path.c_str(), lastError_);
                return -1;
            }
            total += size;
            continue;
        }
        // Only regular files are opened. Anything else counts its own size:
        // a link is not followed (its target may lie outside the tree or be
        // counted elsewhere), opening a FIFO would block, and the end offset
        // of a directory is no size at all.
        if (known && !S_ISREG(st.st_mode)) {
            total += static_cast<long long>(st.st_size);
            continue;
        }
        CXFile file;
        if (file.open(path.c_str(), sfOpenRead, 0) != 0) {
            lastError_ = file.getLastError();
            debug(1, "sumSizes open %s failed, code %d\n", path.c_str(), lastError_);
            return -1;
        }
        if (file.seek(0, sfSeekEnd) != 0) {
            lastError_ = file.getLastError();
            debug(1, "sumSizes seek to end for %s failed, code %d\n", path.c_str(), lastError_);
            return -1;
        }
        total += static_cast<long long>(file.getCurOffset());
    }
    if (lastError_ != 0) {
        debug(1, "sumSizes directory read failed\n");
        return -1;
    }
    return total;
}

int CXDirectory::getFreeSpace(const char* path, unsigned long long* freeBlocks,
                              unsigned long long* totalBlocks, unsigned long* blockSize) {
    if (!path || !freeBlocks || !totalBlocks || !blockSize) {
        lastError_ = EINVAL;
        return -1;
    }
    std::string value;
    // Only the key's presence counts: opening the path mounts an automounted
    // filesystem before its free space is read.
    if (platform::KeyStore::get("EventManager", "EnableAutoMount", value)) {
        debug(1, "Registry key autoMount is set, trying to open the directory [%s]", path);
        DIR* probe = openDirectory(path);
        if (!probe) {
            lastError_ = errno;
            debug(1, "cannot open the directory [%s]", path);
            return -1;
        }
        ::closedir(probe);
    }
    struct statvfs64 st;
    if (platform::env().statvfs(path, &st) != 0) {
        lastError_ = errno;
        return -1;
    }
    *freeBlocks = st.f_bavail;
    *totalBlocks = st.f_blocks;
    *blockSize = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    return 0;
}

int CXDirectory::getFreeSpaceDepotSvc(const char* path, unsigned long long* freeBlocks,
                                      unsigned long long* totalBlocks, unsigned long* blockSize) {
    return getFreeSpace(path, freeBlocks, totalBlocks, blockSize);
}

int CXDirectory::findFileByPattern(const char* pattern, std::string& path, int /*unused*/) {
    if (!opened_) {
        lastError_ = kWrongState;
        debug(1, "ERROR: findFileByPattern() try to find file before open\n");
        return -1;
    }
    if (!pattern)
        return 1;
    const char* name;
    while ((name = read()) != nullptr) {
        if (std::strstr(name, pattern)) {
            path = path_ + "/" + name;
            return 0;
        }
    }
    if (lastError_ != 0) {
        debug(1, "findFileByPattern() '%s' - directory read failed\n", pattern);
        return -1;
    }
    return 1;
}
