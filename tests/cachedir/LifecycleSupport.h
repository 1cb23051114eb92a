// Helpers for the tests of the end of a cache directory's use: a directory
// in the writing state, a lock probe from another process, unprivileged children.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "cachedir/CacheDirProbe.h"

namespace lifecycle {

// mkCacheDir, state 3 and the access time "now": what a job holds while it
// writes its index.
inline std::unique_ptr<CacheDirProbe> openForWriting(CacheDirFixture& f, unsigned long timeStamp,
                                                     long long jobId = 0,
                                                     unsigned long atime = 1700000250) {
    auto dir = f.make(timeStamp, 1, jobId);
    if (dir->mkCacheDir() != 0)
        return nullptr;
    dir->setState(3);
    std::string line = std::to_string(atime) + "    ";
    if (dir->stateFilePutAtime(line.c_str()) < 0)
        return nullptr;
    return dir;
}

// Whether a fresh process can take the directory's write lock at once.
inline bool writeLockableFromChild(unsigned long timeStamp) {
    return testsupport::runInChild([&] {
               CacheDirProbe probe(timeStamp);
               probe.initialize("client1");
               return probe.writeLock(0) == 1 ? 0 : 1;
           }) == 0;
}

// Another process holding the directory's lock (read or write) until released.
class LockHolder {
public:
    LockHolder(unsigned long timeStamp, bool write) {
        pid_ = testsupport::forkChild([&] {
            CacheDirProbe holder(timeStamp);
            holder.initialize("client1");
            if ((write ? holder.writeLock(0) : holder.readLock(0)) != 1)
                return 2;
            ready_.post();
            release_.wait();
            return 0;
        });
        ok_ = ready_.wait();
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holding() const { return ok_; }
    // Lets the holder go; its exit code (0 when it held the lock throughout).
    int release() {
        if (pid_ > 0) {
            release_.post();
            rc_ = testsupport::waitChild(pid_);
            pid_ = -1;
        }
        return rc_;
    }

private:
    testsupport::ProcessSignal ready_;
    testsupport::ProcessSignal release_;
    pid_t pid_ = -1;
    bool ok_ = false;
    int rc_ = -1;
};

// Runs fn in a child with the privileges of nobody, so that permissions
// count; 90 when the privileges cannot be dropped. The scratch home (made
// 0700) is opened up so the child can reach the cache below it.
inline int runAsNobody(const std::string& home, const std::function<int()>& fn) {
    ::chmod(home.c_str(), 0755);
    return testsupport::runInChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 90;
        return fn();
    });
}

} // namespace lifecycle
