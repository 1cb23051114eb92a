// Space reservation through the reserve file shared by every process of a node.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cachefs/CacheFsBase.h"
#include "common/JobServices.h"
#include "platform/CNMessageBase.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"
#include "platform/OXJobClient.h"
#include "port/CXCritSect.h"
#include "port/CXDirectory.h"
#include "port/CXFile.h"
#include "port/CXProcessId.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kReservationFailedEvent = 0x0E00004D;
constexpr unsigned int kNoSpacePendingCause = 0x0E00007B;
constexpr unsigned int kReservationBrokenPendingCause = 0x0E00005E;
constexpr int kPendingMessageType = 150;
constexpr int kDepotPlatformType = 2;

// How often a reservation follows a reserve file that was replaced while it
// waited for the lock.
constexpr int kMaxReopen = 8;
// Longest line of blanks that pads a rewritten file (the reader takes 1022).
constexpr size_t kPadLine = 1000;

// A line that is written back from its parsed fields.
struct KeptLine {
    std::string text;
    std::string owner;
    unsigned long blocks;
    unsigned long long time;
    bool local;
    bool own; // this process's line, written back only when nothing replaces it
};

std::string formatLines(const std::vector<KeptLine>& lines, bool skipOwn) {
    std::string out;
    char buf[CacheFsBase::kReserveLineSize + 64];
    for (const KeptLine& k : lines) {
        if (skipOwn && k.own)
            continue;
        if (k.time == 0)
            std::snprintf(buf, sizeof buf, "%s %lu\n", k.owner.c_str(), k.blocks);
        else
            std::snprintf(buf, sizeof buf, "%s %lu %llu\n", k.owner.c_str(), k.blocks, k.time);
        out += buf;
    }
    return out;
}

// n bytes of lines made only of blanks, which every reader skips; the last
// line may lack its LF.
std::string padding(size_t n) {
    std::string out;
    while (n > 1) {
        const size_t blanks = std::min(n - 1, kPadLine);
        out.append(blanks, ' ');
        out += '\n';
        n -= blanks + 1;
    }
    if (n == 1)
        out += ' ';
    return out;
}

bool isPadding(const char* line) {
    return *line == ' ' && line[std::strspn(line, " ")] == '\0';
}

// Whether the path still names the file the object holds open; its size in
// bytes when it does.
bool pathNamesOpenFile(const std::string& path, const CXFile& file, size_t* size) {
    struct stat onDisk, held;
    if (::stat(path.c_str(), &onDisk) != 0 || ::fstat(file.getMainDescriptor(), &held) != 0 ||
        onDisk.st_dev != held.st_dev || onDisk.st_ino != held.st_ino)
        return false;
    *size = static_cast<size_t>(held.st_size);
    return true;
}

// The next line of text from at, as the buffered file's line reader gives it:
// LF ends a line and a CR right before it (or before the end) is dropped.
// False at the end; *fits is false for a line too long for the reader's buffer.
bool nextLine(const std::string& text, size_t& at, std::string& line, bool* fits) {
    if (at >= text.size())
        return false;
    size_t end = text.find('\n', at);
    const bool last = end == std::string::npos;
    if (last)
        end = text.size();
    line.assign(text, at, end - at);
    at = last ? end : end + 1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (last && line.empty())
        return false;
    *fits = line.size() < static_cast<size_t>(CacheFsBase::kReserveLineSize);
    return true;
}

} // namespace

bool sameHost(const char* a, const char* b) {
    return !a || !*a || !b || !*b || strcasecmp(a, b) == 0;
}

bool CacheFsBase::sameHost(const char* a, const char* b) {
    return ::sameHost(a, b);
}

const char* bToS(bool value) {
    return value ? "true" : "false";
}

std::map<std::string, CacheFsBase::ReserveFileState>& CacheFsBase::reserveStates() {
    // Never destroyed: the destructors of static cache objects still use it.
    static auto* states = new std::map<std::string, ReserveFileState>;
    return *states;
}

unsigned long long CacheFsBase::getReserveBuffer() {
    CXAutoCritSect guard(&cs(), "CacheFsBase::getReserveBuffer", true);
    unsigned long long sum = 0;
    for (const auto& entry : reserveStates())
        sum += entry.second.buffer;
    return sum;
}

void CacheFsBase::setReserveBuffer(unsigned long long bytes) {
    CXAutoCritSect guard(&cs(), "CacheFsBase::setReserveBuffer", true);
    for (auto& entry : reserveStates())
        entry.second.buffer = bytes;
}

int CacheFsBase::setDiskFree(unsigned int percent) {
    if (percent > 99) {
        debug(1, "setDiskFree:  invalid parameter %u > 99 percent\n", percent);
        return -1;
    }
    minFreePercent_ = percent;
    freeRatio_ = percent ? 100.0 / percent : 0.0;
    return 0;
}

long long CacheFsBase::reportJobId() {
    long long id = TDebuggable::getJobId();
    return id ? id : getJobId();
}

int CacheFsBase::reserve(unsigned long long bytes, unsigned int realmNumber, const char* appNumber,
                         unsigned int timeStamp) {
    if (!isInitialized())
        return -1;
    try {
        // A single-threaded process hands out what it already holds on this
        // root's reserve file (never what it holds on another root's). One
        // thread: nobody else reads or writes the buffer, so no lock is needed
        // for the common case of a small request.
        if (!TDebuggable::isMultiThreaded() && bytes < reserveFileState_->buffer) {
            reserveFileState_->buffer -= bytes;
            lastReservedBytes_ = bytes;
            return 1;
        }
        CXAutoCritSect guard(&cs(), "CacheFsBase::reserve", true);
        const long blocks = blocksFor(bytes);
        if (reserveOnDisk(blocks, realmNumber, appNumber, timeStamp, false) == 1) {
            lastReservedBytes_ = bytes;
            return 1;
        }
        return 0;
    } catch (const char* message) {
        debug(1, "reserve(): %s: errno=%d\n", message, errno);
        return -1;
    }
}

long CacheFsBase::blocksFor(unsigned long long bytes) const {
    // A count that would wrap is refused rather than reserved as a small one
    // (or, cast to a signed count, turned into a release).
    if (blockSize_ == 0 || bytes > ULLONG_MAX - kReservePad ||
        (bytes + kReservePad) / blockSize_ > static_cast<unsigned long long>(LONG_MAX)) {
        errno = EOVERFLOW;
        throw "reservation too large";
    }
    return static_cast<long>((bytes + kReservePad) / blockSize_);
}

int CacheFsBase::release(unsigned long long bytes, bool all) {
    if (!isInitialized())
        return -1;
    try {
        CXAutoCritSect guard(&cs(), "CacheFsBase::release", true);
        if (all) {
            reserveOnDisk(0, 0, nullptr, 0, true);
            return 0;
        }
        // Single mode may skip a small release: the process's next reservation
        // replaces its line anyway. In multi mode lines add up, so every
        // release gives back exactly what the reservation took, pad included.
        const bool multi = TDebuggable::isMultiThreaded() || TDebuggable::isMultiJob();
        if (lastReservedBytes_ == 0 || bytes == 0 ||
            (!multi && (lastReservedBytes_ < kReservePad || bytes < kReservePad)))
            return 0;
        const unsigned long long kept = bytes < lastReservedBytes_ ? lastReservedBytes_ - bytes : 0;
        const long giveBack = blocksFor(lastReservedBytes_) - (kept ? blocksFor(kept) : 0);
        if (reserveOnDisk(-giveBack, 0, nullptr, 0, false) != 1)
            return -1;
        lastReservedBytes_ = kept;
        return 0;
    } catch (const char* message) {
        debug(1, "release(u_long): %s: errno=%d\n", message, errno);
        return -1;
    }
}

std::string CacheFsBase::ownProcessId() {
    if (servedRequest_) {
        std::string pid;
        servedRequest_->getString(cacheops::kPidField, cacheops::kPidTag, cacheops::kBaseClassKey,
                                  cacheops::kPidFieldKey, pid);
        debug(3, "CACHEFS_DEBUG pidString is '%s'", pid.c_str());
        // Written into the shared file as the owner's id: anything but a short
        // decimal number would break the line or forge others.
        if (pid.empty() || pid.size() > kMaxPidDigits || !isDecimal(pid.c_str()))
            throw "get process id failed";
        return pid;
    }
    CXProcessId self;
    self.thisProcess();
    const char* id = self.getIdString();
    if (!id)
        throw "get process id failed";
    return id;
}

long long CacheFsBase::centralNow() {
    long long local = platform::now();
    long long now;
    // The destructor's release cannot ask the derived class for the central
    // clock (that part is already gone): it goes on from the cached offset.
    if (!destroying_ && (cachedCentralTime_ == 0 ||
                         std::llabs(local - localTimeOfCaching_) > kCentralTimeRefresh)) {
        long central = getCurrentTime();
        localTimeOfCaching_ = local;
        if (central == 0) {
            debug(1, "reserveOnDisk: unable to get WD time, using DP time instead\n");
            cachedCentralTime_ = local;
        } else {
            cachedCentralTime_ = central;
        }
        now = cachedCentralTime_;
    } else {
        now = local + (cachedCentralTime_ - localTimeOfCaching_);
    }
    debug(3, "reserveOnDisk: local=%lld, central=%lld, cachedAt=%lld, now=%lld", local,
          cachedCentralTime_, localTimeOfCaching_, now);
    return now;
}

void CacheFsBase::closeReserveFile(CXFile& file) {
    if (!file.isOpened())
        return;
    if (file.bufWriteFlush() != 0)
        debug(1, "reserveOnDisk: bufWriteFlush failed with code %d", file.getLastError());
    if (file.isLocked() && file.unlock() != 0)
        debug(1, "reserveOnDisk: unlock failed with code %d", file.getLastError());
    if (file.close() != 0)
        debug(1, "reserveOnDisk: close failed with code %d", file.getLastError());
}

void CacheFsBase::reportReservationFailure(long numBlocks) {
    if (cacheType_ != TCacheTypeContentSearch && numBlocks != 0 &&
        ++failureEvents_ <= kMaxEventsPerKind) {
        ev() << numBlocks << (cacheRoot_ ? cacheRoot_.get() : "NULL");
        ev().CriticalEvent(kReservationFailedEvent, 0, 0);
    }
}

size_t CacheFsBase::openLockedReserveFile(CXFile& file) {
    const char* path = reserveFilePath_.c_str();
    for (int attempt = 0;; ++attempt) {
        if (file.open(path, sfOpenCreate, 0, static_cast<int>(fileCreationMode_)) != 0) {
            std::string::size_type slash = reserveFilePath_.rfind('/');
            if (slash != std::string::npos && slash != 0)
                recursiveMkdir(reserveFilePath_.substr(0, slash).c_str(), 0755);
            if (file.open(path, sfOpenCreate, 0, static_cast<int>(fileCreationMode_)) != 0) {
                debug(1, "cannot open reserve file %s, code %d\n", path, file.getLastError());
                throw "open reserveFile failed";
            }
        }
        int locked = file.lock(sfLockExclusive, kReserveLockTimeout);
        if (locked < 1) {
            debug(1, "lock %s for reserve file %s, code %d\n", locked < 0 ? "failed" : "timed out",
                  path, file.getLastError());
            throw "lock reserveFile failed";
        }
        // The file may have been deleted (as the pending cause of a broken
        // reservation tells the administrator to) or replaced while this
        // process waited: a lock on a file the path no longer names excludes
        // nobody who opens the path now.
        size_t size = 0;
        if (pathNamesOpenFile(reserveFilePath_, file, &size))
            return size;
        debug(2, "reserveOnDisk: reserve file %s was replaced while waiting for its lock\n", path);
        file.unlock();
        file.close();
        if (attempt == kMaxReopen)
            throw "lock reserveFile failed";
    }
}

std::string CacheFsBase::readReserveFile(CXFile& file, size_t size) {
    // One read of the size the lock check saw (a short read is the end; one
    // byte more tells a file that grew). The lines are split in memory, and
    // the bytes serve again to restore the file when the rewrite fails.
    std::string text(size + 1, '\0');
    size_t got = 0;
    int n;
    while ((n = file.read(&text[got], text.size() - got)) > 0) {
        got += static_cast<size_t>(n);
        if (got < text.size())
            break;
        text.resize(text.size() * 2);
    }
    if (n < 0) {
        // The lines not read are other processes' live reservations: the file
        // is left as it is.
        debug(1, "getLine from %s failed, code %d\n", reserveFilePath_.c_str(),
              file.getLastError());
        errno = file.getLastError();
        throw "read reserveFile failed";
    }
    text.resize(got);
    return text;
}

void CacheFsBase::rewriteReserveFile(CXFile& file, const std::string& old,
                                     const std::string& content) {
    const char* path = reserveFilePath_.c_str();
    // New content shorter than the old is padded to the old length, so that
    // a process killed before the truncate leaves the new lines and blanks,
    // never new lines followed by the cut tail of old ones.
    std::string out =
        content + padding(old.size() > content.size() ? old.size() - content.size() : 0);
    auto restore = [&]() {
        if (file.seek(0, sfSeekSet) != 0 ||
            file.write(old.data(), old.size()) != static_cast<int>(old.size()) ||
            file.truncateTo(old.size()) != 0)
            debug(1, "reserveOnDisk: cannot restore reserve file %s, code %d\n", path,
                  file.getLastError());
    };
    debug(3, "reserveOnDisk: truncate reserve file and rewrite");
    if (file.seek(0, sfSeekSet) != 0 ||
        file.write(out.data(), out.size()) != static_cast<int>(out.size())) {
        debug(1, "putLine into %s failed, code %d\n", path, file.getLastError());
        const int err = file.getLastError();
        restore();
        errno = err > 0 ? err : EIO;
        throw "cannot write reserve file";
    }
    platform::crashPoint("reserve.rewrite");
    if (file.truncateTo(content.size()) != 0) {
        debug(1, "truncate %s failed, code %d\n", path, file.getLastError());
        const int err = file.getLastError();
        restore();
        errno = err > 0 ? err : EIO;
        throw "cannot truncate reserve file";
    }
}

int CacheFsBase::reserveOnDisk(long numBlocks, unsigned int realmNumber, const char* appNumber,
                               unsigned int timeStamp, bool releaseAll) {
    const bool multi = TDebuggable::isMultiThreaded() || TDebuggable::isMultiJob();
    if (reservationFlag == -1) {
        const char* value = getRegistryString("sDISABLERESERVE", "Depot");
        if (value && (strcasecmp(value, "n") == 0 || strcasecmp(value, "no") == 0)) {
            reservationFlag = 1;
            debug(1, "%s set to %s - space reservation is enabled", "sDISABLERESERVE", value);
        } else {
            reservationFlag = 0;
        }
    }
    if (reservationFlag == 0)
        return 1;

    std::string from;
    if (servedRequest_) {
        std::string name;
        servedRequest_->getString(cacheops::kProcessNameField, cacheops::kProcessNameTag,
                                  cacheops::kBaseClassKey, cacheops::kProcessNameFieldKey, name);
        from = " from " + name;
    }
    debug(3,
          "reserveOnDisk(numBlocks=%lu, realm=%lu, appNumber=%s, timeStamp=%lu, "
          "releaseAll=%d)%s",
          static_cast<unsigned long>(numBlocks), static_cast<unsigned long>(realmNumber),
          appNumber ? appNumber : "NULL", static_cast<unsigned long>(timeStamp), releaseAll ? 1 : 0,
          from.c_str());

    const long requested = numBlocks;
    CXFile file;
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        const std::string myId = ownProcessId();

        if (releaseAll && multi) {
            if (lastReservedBlocks_ == 0)
                return 0;
            numBlocks = -lastReservedBlocks_;
            releaseAll = false;
            debug(3, "reserveOnDisk: releaseAll adjusted numblocks");
        }

        if (hostName.empty()) {
            unsigned long id = getClientId();
            if (id == 0)
                throw "no client id in reserveOnDisk";
            char buf[32];
            std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(id));
            hostName = buf;
        }
        debug(3, "reserveOnDisk: hostName=%s, myIdString=%s", hostName.c_str(), myId.c_str());

        const long long now = centralNow();

        lastReservedBlocks_ = 0;
        const char* path = reserveFilePath_.c_str();
        const std::string old = readReserveFile(file, openLockedReserveFile(file));

        // Every line the rewrite keeps, in the order read; this process's own
        // line among them only for the case that no rewrite replaces it.
        std::vector<KeptLine> kept;
        bool dropped = false;
        unsigned long long othersSum = 0;
        std::string text;
        bool fits = true;
        for (size_t at = 0; nextLine(old, at, text, &fits);) {
            if (!fits) {
                // Too long for any reader: dropped whole, the lines after it stay.
                debug(1, "getLine from %s failed, code %d\n", path, -2);
                dropped = true;
                continue;
            }
            const char* line = text.c_str();
            debug(3, "reserveOnDisk: line: %s", line);
            if (isPadding(line)) {
                // Left by a rewrite that was cut short.
                dropped = true;
                continue;
            }
            const char* space = std::strchr(line, ' ');
            if (!space) {
                debug(1, "invalid line '%s' in reserve file %s\n", line, path);
                dropped = true;
                continue;
            }
            unsigned long blocks = 0;
            long long lineTime = 0;
            int fields = std::sscanf(space + 1, "%lu %lld", &blocks, &lineTime);
            // A count beyond the signed block range is no reservation anyone made.
            if (fields < 1 || blocks > static_cast<unsigned long>(LONG_MAX)) {
                debug(1, "no blocks field in '%s' in reserve file %s\n", line, path);
                dropped = true;
                continue;
            }
            if (fields < 2)
                lineTime = 0;
            std::string owner(line, static_cast<size_t>(space - line));
            std::string host, pid;
            std::string::size_type colon = owner.find(':');
            if (colon == std::string::npos) {
                pid = owner;
                lineTime = 0;
            } else {
                host = owner.substr(0, colon);
                pid = owner.substr(colon + 1);
            }
            debug(3, "reserveOnDisk: host=%s, pid=%s, blocks=%ld, lineTime=%dld", host.c_str(),
                  pid.c_str(), static_cast<long>(blocks), static_cast<int>(lineTime));
            KeptLine k{line,  owner, blocks, static_cast<unsigned long long>(lineTime),
                       false, false};
            const bool remote = !::sameHost(host.c_str(), hostName.c_str());
            if (!remote && pid == myId) {
                if (numBlocks < 0) {
                    numBlocks = static_cast<long>(blocks) + numBlocks;
                    if (numBlocks < 0)
                        numBlocks = 0;
                } else if (multi) {
                    numBlocks = numBlocks > LONG_MAX - static_cast<long>(blocks)
                                    ? LONG_MAX
                                    : numBlocks + static_cast<long>(blocks);
                }
                debug(3, "reserveOnDisk: this is our process, now numBlocks=%lu",
                      static_cast<unsigned long>(numBlocks));
                k.own = true;
                kept.push_back(k);
                continue;
            }
            if (!remote) {
                CXProcessId other;
                if (other.setIdString(&pid[0]) != 0) {
                    debug(1, "invalid pid field in '%s' in reserve file %s\n", line, path);
                    dropped = true;
                    continue;
                }
                int running = other.isRunning();
                if (running == 0) {
                    debug(3, "reserveOnDisk: not our process and not running, discarding");
                    dropped = true;
                    continue;
                }
                if (running < 0)
                    debug(1, "cannot check running status for reserve line '%s'\n", line);
                debug(3, "reserveOnDisk: not our process and possibly running, saving");
                k.local = true;
            }
            // A line the rewrite drops for its age promises nothing any more;
            // a time before 1970 is older than any day.
            if (k.time != 0 && now != 0 && (lineTime < 0 || now - lineTime > kStaleLineAge)) {
                debug(1, "time %lu, now %lu, discarding '%s' (%s)\n",
                      static_cast<unsigned long>(k.time), static_cast<unsigned long>(now),
                      k.text.c_str(), k.local ? "local" : "remote");
                dropped = true;
                continue;
            }
            kept.push_back(k);
            othersSum = std::min<unsigned long long>(othersSum + blocks, LLONG_MAX);
        }

        CXDirectory dir;
        unsigned long bsize = 0;
        if (dir.getFreeSpace(cacheRoot_.get(), &freeBlocks_, &totalBlocks_, &bsize) < 0) {
            if (dir.getLastError() == ENOENT)
                debug(1, "cache directory '%s' does not exist\n", cacheRoot_.get());
            errno = dir.getLastError();
            throw "getFreeSpace failed";
        }
        blockSize_ = bsize;
        const long long available =
            static_cast<long long>(std::min<unsigned long long>(freeBlocks_, LLONG_MAX)) -
            static_cast<long long>(othersSum);
        debug(3, "reserveOnDisk: freeBlocks=%llu, othersBlocks=%llu, available=%lld", freeBlocks_,
              othersSum, available);

        ReserveFileState& state = reserveState(reserveFilePath_);
        if (numBlocks > 0 && available < numBlocks) {
            debug(1, "reserveOnDisk: not enough space (%lld < %lld), calling cleanUp", available,
                  static_cast<long long>(numBlocks));
            unsigned long cleaned =
                commonCleanup(static_cast<unsigned int>(std::min<long>(numBlocks, UINT_MAX)),
                              realmNumber, appNumber, timeStamp);
            debug(1, "reserveOnDisk: cleanedSpace=%lu", cleaned);
            if (cleaned < static_cast<unsigned long>(numBlocks)) {
                debug(1, "reserveOnDisk: still not enough space, exit");
                // The own line stays as it was; what the reading dropped must
                // not stay to count against the next reservation.
                if (dropped)
                    rewriteReserveFile(file, old, formatLines(kept, false));
                closeReserveFile(file);
                if (!runningInDepotSvc_) {
                    OXJobClient* client = getJobClientObject(reportJobId(), kDepotPlatformType);
                    if (client) {
                        setPendingCause(client, kNoSpacePendingCause, kPendingMessageType);
                        destroyJobClientObject(&client);
                    }
                }
                return 0;
            }
        }

        std::string content = formatLines(kept, true);
        const bool ownLine = !releaseAll && numBlocks > 0;
        if (ownLine) {
            char out[kReserveLineSize + 64];
            std::snprintf(out, sizeof out, "%s:%s %ld %llu", hostName.c_str(), myId.c_str(),
                          numBlocks, static_cast<unsigned long long>(now));
            debug(3, "CACHEFS_DEBUG writing '%s'", out);
            content += out;
            content += '\n';
        }
        rewriteReserveFile(file, old, content);
        if (ownLine)
            lastReservedBlocks_ = requested < 0 ? 0 : requested;
        if (!servedRequest_)
            state.lineHeld = ownLine;
        state.buffer = numBlocks < 0 ? 0 : blockSize_ * static_cast<unsigned long long>(numBlocks);
        closeReserveFile(file);
        return 1;
    } catch (const char* message) {
        int err = errno;
        reportReservationFailure(numBlocks);
        debug(1, "reserveOnDisk(): %s: errno=%d\n", message, err);
        if (reservationFailureReportedToJM_ && reportJobId() != 0 && !runningInDepotSvc_) {
            OXJobClient* client = getJobClientObject(reportJobId(), kDepotPlatformType);
            if (client) {
                client->setPendingCause(kReservationBrokenPendingCause, kPendingMessageType,
                                        {reserveFilePath_});
                destroyJobClientObject(&client);
            }
        }
        closeReserveFile(file);
        throw "reserveOnDisk() exception";
    }
}

unsigned CacheFsBase::emergencyCleanup(unsigned int numBlocks, unsigned int realmNumber,
                                       const char* appNumber, unsigned int timeStamp) {
    int rc =
        cleanUp(numBlocks, false, true, true, 0, nullptr, 0, realmNumber, appNumber, timeStamp);
    return rc >= 1 ? numBlocks : 0;
}

unsigned CacheFsBase::commonCleanup(unsigned int numBlocks, unsigned int realmNumber,
                                    const char* appNumber, unsigned int timeStamp) {
    if (!otherCache_)
        return emergencyCleanup(numBlocks, realmNumber, appNumber, timeStamp);
    otherCache_->setPreScanCacheDirArray(preScanArray_);
    unsigned freed = otherCache_->emergencyCleanup(numBlocks, realmNumber, appNumber, timeStamp);
    if (freed >= numBlocks)
        return freed;
    return freed + emergencyCleanup(numBlocks - freed, realmNumber, appNumber, timeStamp);
}
