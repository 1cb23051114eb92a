// Space reservation through the reserve file shared by every process of a node.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cachefs/CacheFsBase.h"
#include "common/JobServices.h"
#include "platform/CNMessageBase.h"
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

// A line of another process that is written back as it was read.
struct KeptLine {
    std::string text;
    std::string owner;
    unsigned long blocks;
    unsigned long long time;
    bool local;
};

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

unsigned long long CacheFsBase::getReserveBuffer() {
    return reserveBuffer;
}

void CacheFsBase::setReserveBuffer(unsigned long long bytes) {
    reserveBuffer = bytes;
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
        CXAutoCritSect guard(&cs(), "CacheFsBase::reserve", true);
        // A single-threaded process hands out what it already holds on disk.
        if (bytes < reserveBuffer && !TDebuggable::isMultiThreaded()) {
            reserveBuffer -= bytes;
            lastReservedBytes_ = bytes;
            return 1;
        }
        long blocks = static_cast<long>((bytes + kReservePad) / blockSize_);
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

int CacheFsBase::release(unsigned long long bytes, bool all) {
    if (!isInitialized())
        return -1;
    try {
        CXAutoCritSect guard(&cs(), "CacheFsBase::release", true);
        if (all) {
            reserveOnDisk(0, 0, nullptr, 0, true);
            return 0;
        }
        if (lastReservedBytes_ < kReservePad || bytes < kReservePad)
            return 0;
        if (bytes < lastReservedBytes_) {
            if (reserveOnDisk(-static_cast<long>(bytes / blockSize_), 0, nullptr, 0, false) != 1)
                return -1;
            lastReservedBytes_ -= bytes;
            return 0;
        }
        if (reserveOnDisk(-static_cast<long>(lastReservedBytes_ / blockSize_), 0, nullptr, 0,
                          false) != 1)
            return -1;
        lastReservedBytes_ = 0;
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
        if (pid.empty())
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

        std::vector<KeptLine> kept;
        long long othersSum = 0;
        char line[kReserveLineSize];
        while (true) {
            int rc = file.getLine(line, sizeof line);
            if (rc == 0)
                break;
            if (rc < 0) {
                debug(1, "getLine from %s failed, code %d\n", path, file.getLastError());
                // A line longer than the buffer was skipped whole by the reader:
                // drop it and keep reading, so the lines after it are not lost.
                if (file.getLastError() == -2)
                    continue;
                break;
            }
            debug(3, "reserveOnDisk: line: %s", line);
            const char* space = std::strchr(line, ' ');
            if (!space) {
                debug(1, "invalid line '%s' in reserve file %s\n", line, path);
                continue;
            }
            unsigned long blocks = 0;
            long long lineTime = 0;
            int fields = std::sscanf(space + 1, "%lu %lld", &blocks, &lineTime);
            if (fields < 1) {
                debug(1, "no blocks field in '%s' in reserve file %s\n", line, path);
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
            KeptLine k{line, owner, blocks, static_cast<unsigned long long>(lineTime), false};
            if (!::sameHost(host.c_str(), hostName.c_str())) {
                kept.push_back(k);
                othersSum += static_cast<long long>(blocks);
                continue;
            }
            if (pid == myId) {
                if (numBlocks < 0) {
                    numBlocks = static_cast<long>(blocks) + numBlocks;
                    if (numBlocks < 0)
                        numBlocks = 0;
                } else if (multi) {
                    numBlocks = static_cast<long>(blocks) + numBlocks;
                }
                debug(3, "reserveOnDisk: this is our process, now numBlocks=%lu",
                      static_cast<unsigned long>(numBlocks));
                continue;
            }
            CXProcessId other;
            if (other.setIdString(&pid[0]) != 0) {
                debug(1, "invalid pid field in '%s' in reserve file %s\n", line, path);
                continue;
            }
            int running = other.isRunning();
            if (running == 0) {
                debug(3, "reserveOnDisk: not our process and not running, discarding");
                continue;
            }
            if (running < 0)
                debug(1, "cannot check running status for reserve line '%s'\n", line);
            debug(3, "reserveOnDisk: not our process and possibly running, saving");
            k.local = true;
            kept.push_back(k);
            othersSum += static_cast<long long>(blocks);
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
        long long available = static_cast<long long>(freeBlocks_) - othersSum;
        debug(3, "reserveOnDisk: freeBlocks=%llu, othersBlocks=%lld, available=%lld", freeBlocks_,
              othersSum, available);

        if (numBlocks > 0 && available < numBlocks) {
            debug(1, "reserveOnDisk: not enough space (%lld < %lld), calling cleanUp", available,
                  static_cast<long long>(numBlocks));
            unsigned long cleaned = commonCleanup(static_cast<unsigned int>(numBlocks), realmNumber,
                                                  appNumber, timeStamp);
            debug(1, "reserveOnDisk: cleanedSpace=%lu", cleaned);
            if (cleaned < static_cast<unsigned long>(numBlocks)) {
                debug(1, "reserveOnDisk: still not enough space, exit");
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

        debug(3, "reserveOnDisk: truncate reserve file and rewrite");
        if (file.truncate() != 0) {
            debug(1, "truncate %s failed, code %d\n", path, file.getLastError());
            throw "cannot truncate reserve file";
        }
        char out[kReserveLineSize + 64];
        auto put = [&](const char* text) {
            debug(3, "CACHEFS_DEBUG writing '%s'", text);
            if (file.putLine(text, false) != 0) {
                debug(1, "putLine into %s failed, code %d\n", path, file.getLastError());
                throw "cannot write reserve file";
            }
        };
        for (const KeptLine& k : kept) {
            if (k.time != 0 && now != 0 && now - static_cast<long long>(k.time) > kStaleLineAge) {
                debug(1, "time %lu, now %lu, discarding '%s' (%s)\n",
                      static_cast<unsigned long>(k.time), static_cast<unsigned long>(now),
                      k.text.c_str(), k.local ? "local" : "remote");
                continue;
            }
            if (k.time == 0)
                std::snprintf(out, sizeof out, "%s %lu", k.owner.c_str(), k.blocks);
            else
                std::snprintf(out, sizeof out, "%s %lu %llu", k.owner.c_str(), k.blocks, k.time);
            put(out);
        }
        if (!releaseAll && numBlocks > 0) {
            std::snprintf(out, sizeof out, "%s:%s %ld %llu", hostName.c_str(), myId.c_str(),
                          numBlocks, static_cast<unsigned long long>(now));
            put(out);
            lastReservedBlocks_ = requested < 0 ? 0 : requested;
        }
        reserveBuffer = numBlocks < 0 ? 0 : blockSize_ * static_cast<unsigned long long>(numBlocks);
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
