// Buffered file with whole-file record locks and line I/O.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <wchar.h>

#include "common/TDebuggable.h"

enum sfOpenMode_t : int {
    sfOpenRead = 0,
    sfOpenWrite = 1,
    sfOpenReadWrite = 2,
    sfOpenCreate = 3,
    sfOpenCreateNew = 4,
};

enum sfSeekMode_t : int {
    sfSeekSet = 0,
    sfSeekCur = 1,
    sfSeekEnd = 2,
};

enum sfLockMode_t : int {
    sfLockExclusive = 0,
    sfLockShared = 1,
};

class CXFile : public TDebuggable {
public:
    CXFile();
    ~CXFile() override;
    CXFile(const CXFile&) = delete;
    CXFile& operator=(const CXFile&) = delete;

    int open(const char* path, sfOpenMode_t mode, unsigned int retries = 0, int permissions = 0);
    int setHandles(int readFd, int writeFd, sfOpenMode_t mode);
    int close();

    int read(void* buffer, unsigned long length);
    int write(const void* buffer, unsigned long length);
    int selectForRead(unsigned int seconds);
    int seek(long long offset, sfSeekMode_t origin);
    unsigned long long getCurOffset();

    virtual int lock(sfLockMode_t mode, unsigned long timeoutSeconds);
    virtual int unlock();
    int truncate();
    // Cuts (or extends) the file to length bytes; the position is left alone.
    int truncateTo(unsigned long long length);

    int bufRead(void* buffer, unsigned long length);
    int bufWrite(const void* buffer, unsigned long length);
    int bufWriteFlush();
    void bufReadFlush();

    int putLine(const char* text, bool flush = false);
    int getLine(char* buffer, unsigned long size);
    int getLineW(wchar_t* buffer, unsigned long size);

    int setBufSize(unsigned int size);

    int isOpened() const { return opened_; }
    // Whether this process holds the object's record lock: in a forked copy of
    // a locked object the lock is the parent's, so the copy answers 0.
    int isLocked() const;
    int getLastError() const { return lastError_; }
    int setLastError(CXFile& other);
    const std::string& getPath() const { return path_; }
    int getMainDescriptor() const { return mainFd_; }

    // Name of the process-wide mutex that guards a lock file: the last six
    // components of the path joined with "_".
    static std::string mutexNameFromPath(const std::string& path);

    // Major event raised once per process when the kernel refuses
    // open-file-description locks and record locks fall back to the classic,
    // per-process kind (arguments: the file's path, the errno of the refusal).
    static constexpr unsigned int kRecordLockFallbackEvent = 0x0E0000A1;

protected:
    int lastError_ = 0;
    int opened_ = 0;
    sfOpenMode_t mode_ = sfOpenRead;
    int locked_ = 0;
    int handlesGiven_ = 0;
    uint64_t position_ = 0;
    char* readBuffer_ = nullptr;
    char* writeBuffer_ = nullptr;
    uint32_t bufSize_ = 1024;
    char* readPtr_ = nullptr;
    uint32_t readAvailable_ = 0;
    uint32_t writePending_ = 0;
    std::string path_;
    int readFd_ = -1;
    int writeFd_ = -1;
    int mainFd_ = -1;

private:
    // Stores code as the last error and returns -1.
    int fail(int code);
    // Makes the read and write buffers (bufSize_ bytes) unless they exist.
    bool allocateBuffers();
    // One read()/write() on the object's descriptor, tracking the position
    // and the last error; rawWrite is true only when everything was written.
    ssize_t rawRead(void* buffer, size_t length);
    bool rawWrite(const void* buffer, size_t length);
    // Closes every descriptor once and forgets it even when close fails: the
    // number is gone either way and may already name another thread's file.
    int closeDescriptors();
    // Whether the object was opened by another process: a copy made by fork,
    // whose buffered bytes and lock belong to the parent.
    bool forkedCopy() const;
    // Forgets a lock taken by another process without releasing it.
    void forgetLock();
    int fillReadBuffer();
    // Next 4-byte unit from the read buffer; false at end of file (status 0)
    // or on a read error (status -1).
    bool nextUnit(wchar_t* unit, int* status);
    // One non-blocking whole-file lock request of the given type.
    int setLock(short type, bool* usedOfd);

    uint32_t allocated_ = 0;
    // Whether this object's lock is an open-file-description lock (so that
    // unlock uses the same kind of command).
    bool ofdLock_ = false;
    // The process that opened the descriptors and the one that took the lock.
    pid_t openerPid_ = 0;
    pid_t lockPid_ = 0;
};
