#include "cachefs/JobResultsCacheFs.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "port/CXDirectory.h"
#include "port/FileOps.h"

namespace {

constexpr unsigned int kNoArrayEvent = 0x0E000008;
constexpr unsigned int kIndexCleanupStartEvent = 0x0E000045;
constexpr unsigned int kJobResultsCleanupStartEvent = 0x0E000046;
constexpr unsigned int kCleanupFailedEvent = 0x0E000047;
constexpr unsigned int kLowSpaceEvent = 0x0E000048;
constexpr unsigned int kLowSpaceAllOldEvent = 0x0E000049;
constexpr unsigned int kRecentEligibleEvent = 0x0E00004B;
constexpr long long kDay = 86400;
constexpr BackupType kScanBackupType = static_cast<BackupType>(6);

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

} // namespace

JobResultsCacheFs::JobResultsCacheFs(OXAppType appType, TCacheTypeEnum cacheType, bool flag)
    : CacheFsBase(appType, cacheType, flag) {
    cleanupEvent_.reset();
    setDebugPrefix("JobResultsCacheFs");
    reservationFailureReportedToJM_ = false;
    setMultiJob(false);
    // The multi-threaded flag is left to the host: a single-threaded
    // job-results writer sets single mode itself when it starts.
}

long JobResultsCacheFs::getCurrentTime() {
    return static_cast<long>(platform::now());
}

int JobResultsCacheFs::removeDefunctApps() {
    return 0;
}

void JobResultsCacheFs::raiseFailureEvent(unsigned long numBlocks) {
    if (++failureEvents_ <= kMaxEventsPerKind) {
        ev() << numBlocks << (cacheRoot_ ? cacheRoot_.get() : "NULL");
        ev().CriticalEvent(kCleanupFailedEvent, 0, 0);
    }
}

int JobResultsCacheFs::cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents,
                               bool useAccessTime, unsigned long specificRealm,
                               const char* specificApp, unsigned long dontRemoveTime,
                               unsigned int realmNumber, const char* appNumber,
                               unsigned int timeStamp) {
    platform::KeyStore::Pin keys;
    platform::LogBatch lines;
    std::unique_ptr<CacheDirArray> array;
    try {
        array.reset(new (std::nothrow) CacheDirArray(2048));
    } catch (const char*) {
        array.reset();
    }
    if (!array) {
        debug(1, "out of memory, cleanUp fails (errno %d)", errno);
        ev() << "IndexCacheCleanup";
        ev().CriticalEvent(kNoArrayEvent, 0, 0);
        return -1;
    }
    if (scanForCleanUp(*array, useAccessTime, specificRealm, specificApp, false) != 0) {
        debug(1,
              "bad scan for cleanUp %s cl=%d, #Bl=%lu, rmOld=%d, logEv=%d, useAccTm=%d, "
              "realm=%lu, appNum=%s\n",
              cacheRoot_ ? cacheRoot_.get() : "NULL", jobResults_ ? 1 : 0, numBlocks,
              removeAllOld ? 1 : 0, logEvents ? 1 : 0, useAccessTime ? 1 : 0, specificRealm,
              specificApp ? specificApp : "NULL");
        raiseFailureEvent(numBlocks);
        return -1;
    }
    return cleanUpWithoutScan(*array, numBlocks, removeAllOld, logEvents, useAccessTime,
                              specificRealm, specificApp, dontRemoveTime, realmNumber, appNumber,
                              timeStamp);
}

int JobResultsCacheFs::scanForCleanUp(CacheDirArray& array, bool useAccessTime,
                                      unsigned long specificRealm, const char* specificApp, bool) {
    if (!isInitialized())
        return -1;
    platform::KeyStore::Pin keys;
    platform::LogBatch lines;
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        CXDirectory root;
        if (root.open(cacheRoot_.get()) != 0) {
            debug(1, "cannot open %s\n", cacheRoot_.get());
            throw "cacheFsDir opendir failed";
        }
        // Every directory object made here stands for a directory under this
        // root, so it takes this object's initialisation instead of asking the
        // key store and the file system again for each directory.
        const bool legacyLayout = legacyLayoutPresent();
        const std::string under = std::string(cacheRoot_.get()) + "/";
        while (const char* realmName = root.read()) {
            unsigned long realm = 0;
            if (!isDecimal(realmName) || std::sscanf(realmName, "%lu", &realm) != 1)
                continue;
            if (specificRealm && realm != specificRealm)
                continue;
            std::string realmDir = format("%s%c%s", cacheRoot_.get(), '/', realmName);
            CXDirectory realmDirectory;
            if (realmDirectory.open(realmDir.c_str()) != 0)
                continue;
            AppScanOptimizer apps(realmDirectory, specificApp);
            while (const char* appName = apps.read()) {
                std::string app = appName;
                if (!isAppIdName(app) || (specificApp && app != specificApp))
                    continue;
                CXDirectory appDirectory;
                if (appDirectory.open((realmDir + "/" + app).c_str()) != 0) {
                    if (specificApp)
                        break;
                    continue;
                }
                unsigned long appNumber = 0;
                decodeAppIdName(app, &appNumber, nullptr);
                while (const char* stamp = appDirectory.read()) {
                    unsigned long ts = 0;
                    if (!isDecimal(stamp) || std::sscanf(stamp, "%lu", &ts) != 1)
                        continue;
                    if (isItMyIndexCache(realm, app, ts, catalogServer_))
                        continue;
                    std::unique_ptr<JobResultsCacheDir> dir(new (std::nothrow) JobResultsCacheDir(
                        appType_, realm, appNumber, getJobId(), kScanBackupType, ts, cacheType_,
                        false));
                    if (!dir)
                        throw "out of memory";
                    // The directory's own name, also for "scp_" names whose
                    // second number the constructor cannot carry.
                    dir->setAppIdName(app);
                    // The directory lives under the root scanned here: a
                    // catalog-server root, or a local intermediate cache,
                    // not the plain index cache of the same names.
                    dir->setCatalogServerCache(catalogServer_);
                    dir->setUseIntermediateCache(getUseIntermediateCache());
                    dir->initializeLike(*this, legacyLayout);
                    const char* where = dir->getCacheDir();
                    if (!where || std::strncmp(where, under.c_str(), under.size()) != 0) {
                        debug(1, "scanForCleanUp: %s is not under %s, skipped\n",
                              where ? where : "NULL", cacheRoot_.get());
                        continue;
                    }
                    array.append(dir.get());
                    dir.release();
                }
                appDirectory.close();
                if (specificApp)
                    break;
            }
            realmDirectory.close();
            if (specificRealm)
                break;
        }
        root.close();
        array.sort(useAccessTime);
        return 0;
    } catch (...) {
        const char* message = inFlightMessage();
        debug(1, "scanForCleanUp failed: %s, cacheFs %s, errno %d\n", message,
              cacheRoot_ ? cacheRoot_.get() : "NULL", errno);
        return -1;
    }
}

void JobResultsCacheFs::readFreeSpace(CXDirectory& dir) {
    unsigned long bsize = 0;
    if (dir.getFreeSpace(cacheRoot_.get(), &freeBlocks_, &totalBlocks_, &bsize) != 0) {
        debug(1, "getFreeSpace %s failed (code %d)\n", cacheRoot_.get(), dir.getLastError());
        throw "getFreeSpace error";
    }
    blockSize_ = bsize;
}

bool JobResultsCacheFs::stopOnFreeShare() {
    if (minFreePercent_ == 0) {
        debug(1, "cleanUp: Done cleaning because we have enough free blocks and we don't care "
                 "about disk free %%\n");
        return true;
    }
    if (freePercentReached()) {
        debug(1, "cleanUp: Done cleaning because we have enough free blocks and disk free %%\n");
        return true;
    }
    return false;
}

bool JobResultsCacheFs::freePercentReached() const {
    return freeBlocks_ != 0 &&
           static_cast<double>(totalBlocks_) / static_cast<double>(freeBlocks_) <= freeRatio_;
}

int JobResultsCacheFs::cleanUpWithoutScan(CacheDirArray& array, unsigned long numBlocks,
                                          bool removeAllOld, bool logEvents, bool useAccessTime,
                                          unsigned long specificRealm, const char* specificApp,
                                          unsigned long dontRemoveTime, unsigned int realmNumber,
                                          const char* appNumber, unsigned int timeStamp) {
    if (!isInitialized())
        return -1;
    platform::KeyStore::Pin keys;
    platform::LogBatch lines;
    const char* rootText = cacheRoot_ ? cacheRoot_.get() : "NULL";
    if (logEvents && (jobResults_ || numBlocks != 0) &&
        ++cleanupStartEvents_ <= kMaxEventsPerKind) {
        if (jobResults_) {
            ev() << rootText;
            ev().InfoEvent(kJobResultsCleanupStartEvent, 0, 0);
        } else {
            ev() << numBlocks << rootText;
            ev().InfoEvent(kIndexCleanupStartEvent, 0, 0);
        }
    }
    try {
        if (!cacheRoot_)
            throw "no cache fs";
        CXDirectory rootDir;
        if (rootDir.open(cacheRoot_.get()) != 0) {
            debug(1, "cannot open %s\n", cacheRoot_.get());
            throw "cacheFsDir opendir failed";
        }
        const long long now = static_cast<long long>(platform::now());
        const long long cutoff = cutoffTime_ ? static_cast<long long>(cutoffTime_)
                                             : now - static_cast<long long>(numDays_) * kDay;
        const unsigned long long needed = numBlocks + padBlocks_;

        std::string summary = format("cleanUp %s\n", rootText);
        summary +=
            format("    cl=%d, #Bl=%lu, rmOld=%d, logEv=%d, useAccTm=%d, realm=%lu, "
                   "appNum=%s%s\n",
                   jobResults_ ? 1 : 0, numBlocks, removeAllOld ? 1 : 0, logEvents ? 1 : 0,
                   useAccessTime ? 1 : 0, specificRealm, specificApp ? specificApp : "NULL", "");
        std::string cutText = dateToString(static_cast<unsigned int>(cutoff));
        std::string nowText = dateToString(static_cast<unsigned int>(now));
        std::string absText = dateToString(static_cast<unsigned int>(cutoffTime_));
        summary += format("    cutoff time %ld [%s] (currentTime = %lld [%s], numDays=%u, "
                          "absCutoff=%lu [%s]%s)\n",
                          static_cast<long>(cutoff), cutText.c_str(), now, nowText.c_str(),
                          numDays_, static_cast<unsigned long>(cutoffTime_), absText.c_str(),
                          removeAllOld ? ", remove all old directories" : "");
        auto numbersLine = [&]() {
            return format("    numBlocks=%lu, minFreePercent=%u, freeBlocks=%llu, "
                          "totBlocks=%llu, pad=%u\n",
                          numBlocks, minFreePercent_, freeBlocks_, totalBlocks_, padBlocks_);
        };
        summary += numbersLine();
        auto logSummary = [&]() {
            if (!summary.empty()) {
                debug(1, "%s", summary.c_str());
                summary.clear();
            }
        };
        auto keyOf = [&](IndexCacheDirBase* d) -> long long {
            unsigned long k = useAccessTime ? d->getAtime() : d->getTimeStamp();
            return static_cast<int32_t>(static_cast<uint32_t>(k));
        };
        auto isProtected = [&](IndexCacheDirBase* d) {
            if (!dontRemoveTime)
                return false;
            unsigned long k = jobResults_ ? d->getAtime() : d->getTimeStamp();
            return k >= dontRemoveTime;
        };

        bool enoughBlocks = false;
        while (array.getSize() > 0) {
            const int i = array.getSize() - 1;
            IndexCacheDirBase* d = array[i];
            if (d) {
                long long key = keyOf(d);
                if (key >= cutoff)
                    break;
                if (key == 0) {
                    const char* path = d->getCacheDirSafe();
                    const bool stale =
                        d->getErrno() == ENOENT &&
                        (numBlocks != 0 ||
                         d->getCurrentTime() - static_cast<long>(d->getTimeStamp()) > kDay);
                    const std::string state = std::string(path) + "/State";
                    if (stale && ::access(state.c_str(), F_OK) == 0) {
                        // A State file that cannot be read: removed only under
                        // its write lock, which its uncache probes for.
                        debug(1, "cleanUp: getAtime failed, UnCache cacheDir '%s', code %d\n", path,
                              d->getErrno());
                        logSummary();
                        d->unCache(numBlocks != 0, realmNumber, appNumber, timeStamp);
                    } else if (stale && !IndexCacheDirBase::pastGracePeriod(path)) {
                        // No State file and no lock to take: a directory
                        // that young may be one its maker is about to lock.
                        debug(1,
                              "cleanUp: getAtime failed, cacheDir '%s' has no State file yet, "
                              "left alone\n",
                              path);
                    } else if (stale) {
                        debug(1, "cleanUp: getAtime failed, UnCache cacheDir '%s', code %d\n", path,
                              d->getErrno());
                        CXDirectory victim;
                        victim.setRecursion(true);
                        bool opened = victim.open(path) == 0;
                        if (!opened)
                            debug(1, "cleanUp: cannot open dir %s, code %d\n", path,
                                  victim.getLastError());
                        bool emptied = !opened || victim.removeFiles(nullptr) == 0;
                        if (opened && !emptied)
                            debug(1, "cleanUp: cannot remove files in %s, code %d\n", path,
                                  victim.getLastError());
                        victim.close();
                        if (emptied && safeRmdir(path) != 0)
                            debug(1, "cleanUp: cannot remove dir %s, code %d\n", path, errno);
                    } else {
                        debug(1, "cleanUp: getAtime failed, ignoring cacheDir '%s', code %d\n",
                              path, d->getErrno());
                    }
                    array.remove(i);
                    continue;
                }
                if (!isProtected(d)) {
                    logSummary();
                    d->unCache(false, realmNumber, appNumber, timeStamp);
                }
            }
            array.remove(i);
            if (removeAllOld)
                continue;
            readFreeSpace(rootDir);
            if (freeBlocks_ < needed)
                continue;
            enoughBlocks = true;
            if (stopOnFreeShare())
                return 1;
        }

        if (!removeAllOld) {
            if (enoughBlocks) {
                debug(1, "cleanUp: Done cleaning because we already have enough free blocks and "
                         "we don't want to clean recent cacheDirs\n");
                return 1;
            }
            readFreeSpace(rootDir);
            if (needed <= freeBlocks_) {
                debug(1, "cleanUp: Done cleaning because we now have enough free blocks and we "
                         "don't want to clean recent cacheDirs\n");
                return 1;
            }
        } else {
            readFreeSpace(rootDir);
            if (stopOnFreeShare())
                return 1;
            if (array.getSize() == 0) {
                debug(1, "cleanUp: there are no recent cache dirs to remove - skipping second "
                         "cleanup pass\n");
                return 0;
            }
        }

        if (!specificApp) {
            debug(1, "to prevent thrashing, recent cache dirs are no longer removed");
        } else {
            debug(3,
                  "recent dirs in cacheFs %s (numDays=%u, absCutoff=%lu%s) are eligible for "
                  "removal",
                  rootText, numDays_, static_cast<unsigned long>(cutoffTime_),
                  removeAllOld ? ", remove all old directories" : "");
            debug(3, "%s", numbersLine().c_str());
            if (logEvents && ++recentDirEvents_ <= kMaxEventsPerKind) {
                ev() << rootText;
                ev().MajorEvent(kRecentEligibleEvent, 0, 0);
            }
            while (array.getSize() > 0) {
                const int i = array.getSize() - 1;
                IndexCacheDirBase* d = array[i];
                if (d && !isProtected(d)) {
                    logSummary();
                    d->unCache(true, realmNumber, specificApp, timeStamp);
                }
                array.remove(i);
                readFreeSpace(rootDir);
                if (!removeAllOld && needed <= freeBlocks_) {
                    debug(1, "cleanUp: Done cleaning because we now have enough free blocks and "
                             "we don't want to clean recent cacheDirs\n");
                    return 1;
                }
                if (removeAllOld && freePercentReached()) {
                    debug(1, "cleanUp: Done cleaning because we have enough free blocks and disk "
                             "free %%\n");
                    return 1;
                }
            }
        }

        debug(1, "low space in cacheFs %s\n", rootText);
        debug(1, "%s", numbersLine().c_str());
        if (logEvents && ++failureEvents_ <= kMaxEventsPerKind) {
            if (!removeAllOld) {
                ev() << numBlocks << rootText;
                ev().CriticalEvent(kLowSpaceEvent, 0, 0);
            } else {
                ev() << rootText << static_cast<int>(100 - minFreePercent_);
                ev().CriticalEvent(kLowSpaceAllOldEvent, 0, 0);
            }
        }
        debug(1, "cleanUp: Done because there is nothing left to delete and we still do not have "
                 "enough free blocks\n");
        return 0;
    } catch (...) {
        int err = errno;
        const char* message = inFlightMessage();
        raiseFailureEvent(numBlocks);
        debug(1, "cleanUp(u_long): %s, cacheFs %s, numBlocks %lu, removeAllOld %s, errno %d\n",
              message, rootText, numBlocks, bToS(removeAllOld), err);
        return -1;
    }
}

bool indexCacheImpersonation(const char* clientName) {
    JobResultsCacheFs fs(1, TCacheTypeTape, false);
    fs.initialize(clientName);
    return fs.isInitialized();
}
