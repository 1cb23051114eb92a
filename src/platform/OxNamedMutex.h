// A mutex known by name to every process that shares the platform home, and
// to every thread of each of them: each acquisition is a flock on a fresh
// descriptor of <home>/locks/<name>.lock, so two acquisitions exclude each
// other whether they come from two processes or two threads. A holder that
// dies releases it with its descriptors.
#pragma once

#include <mutex>
#include <string>
#include <thread>

class OxNamedMutex {
public:
    // A time-out that never expires.
    static constexpr unsigned long kInfinite = 0xFFFFFFFFul;

    explicit OxNamedMutex(const std::string& name);
    // Releases the mutex when this object still holds it.
    ~OxNamedMutex();
    OxNamedMutex(const OxNamedMutex&) = delete;
    OxNamedMutex& operator=(const OxNamedMutex&) = delete;

    // Waits at most timeoutMs (kInfinite: without limit). The thread that
    // holds the mutex through this object may take it again; each such lock
    // needs its own unlock. False with lastError() ETIMEDOUT when the time-out
    // passed, or the errno of the failing call.
    bool lock(unsigned long timeoutMs);
    // False (EPERM) when this object does not hold the mutex.
    bool unlock();
    // Nested locks this object holds (0: not held).
    int lockCount() const;
    int lastError() const;

    const std::string& name() const { return name_; }
    const std::string& filePath() const { return path_; }

    // The lock file's name for a mutex name: characters outside
    // [A-Za-z0-9._-] become '_', long names are cut, and a name that had to be
    // changed gets a hash of the original so that distinct names stay distinct.
    static std::string lockFileName(const std::string& name);

private:
    int openLockFile();
    bool fail(int error);

    std::string name_;
    std::string path_;
    mutable std::mutex mu_;
    int fd_ = -1;
    int count_ = 0;
    std::thread::id owner_;
    int lastError_ = 0;
};
