#include "port/CXChildProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr int kWrongState = -1;

void closeIfOpen(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Makes fd the child's descriptor target. dup2 clears close-on-exec on the
// copy, but a pipe end that already is the target (its parent had that
// standard stream closed) is not copied and must lose the flag itself.
bool installAs(int fd, int target) {
    if (fd == target)
        return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, target) >= 0;
}

// Closes every descriptor from the table size down to 3 (async-signal-safe).
void closeFrom3() {
    if (::close_range(3, ~0U, 0) == 0)
        return;
    for (int fd = ::getdtablesize() - 1; fd >= 3; --fd)
        ::close(fd);
}

} // namespace

CXChildProcess::CXChildProcess() {
    setFailure("unknown failure");
}

CXChildProcess::~CXChildProcess() {
    close();
    errorReader_.close();
}

void CXChildProcess::setFailure(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(failure_, sizeof failure_, format, ap);
    va_end(ap);
}

int CXChildProcess::failWith(int code, const char* text) {
    lastError_ = code;
    setFailure("%s", text);
    return -1;
}

int CXChildProcess::ignoreSigpipe() {
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        return failWith(errno, "signal failed");
    return 0;
}

int CXChildProcess::spawnDisconnected(const char* path, char* const* argv) {
    if (spawned_) {
        lastError_ = kWrongState;
        return -1;
    }
    if (ignoreSigpipe() != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid < 0)
        return failWith(errno, "fork failed");
    if (pid == 0) {
        closeFrom3();
        ::execv(path, argv);
        ::_exit(kExitExecFailed);
    }
    pid_ = pid;
    spawned_ = 1;
    return 0;
}

int CXChildProcess::spawnConnected(const char* path, char* const* argv, bool captureStderr,
                                   bool separateStderr) {
    if (spawned_) {
        lastError_ = kWrongState;
        return -1;
    }
    if (ignoreSigpipe() != 0)
        return -1;
    // Close-on-exec keeps the pipes out of children that other threads start;
    // dup2 clears the flag on the child's own standard descriptors.
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return failWith(errno, "pipe failed");
    const bool separate = captureStderr && separateStderr;
    if (separate && ::pipe2(err, O_CLOEXEC) != 0) {
        const int code = errno;
        closeIfOpen(out[0]);
        closeIfOpen(out[1]);
        return failWith(code, "stderr pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int code = errno;
        closeIfOpen(out[0]);
        closeIfOpen(out[1]);
        closeIfOpen(err[0]);
        closeIfOpen(err[1]);
        return failWith(code, "fork failed");
    }
    if (pid == 0) {
        if (!installAs(out[1], 0) || !installAs(out[1], 1))
            ::_exit(kExitDupFailed);
        if (captureStderr && !installAs(separate ? err[1] : out[1], 2))
            ::_exit(kExitDupFailed);
        closeFrom3();
        ::execv(path, argv);
        ::_exit(kExitExecFailed);
    }
    closeIfOpen(out[1]);
    closeIfOpen(err[1]);
    pid_ = pid;
    spawned_ = 1;
    if (separate && errorReader_.setHandles(err[0], err[0], sfOpenReadWrite) != 0)
        closeIfOpen(err[0]);
    return setHandles(out[0], out[0], sfOpenReadWrite);
}

int CXChildProcess::wait() {
    if (!spawned_)
        return failWith(kWrongState, "nothing spawned");
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);

    int result = -1;
    if (r != pid_) {
        failWith(errno, "waitpid failed");
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0)
            result = 0;
        else if (code == kExitDupFailed)
            failWith(kWrongState, "dup failed");
        else if (code == kExitExecFailed)
            failWith(kWrongState, "exec failed");
        else
            failWith(code, "child exited with error");
    } else if (WIFSIGNALED(status)) {
        setFailure("child died after receiving signal %d%s", WTERMSIG(status),
                   WCOREDUMP(status) ? " (core file generated)" : "");
    } else if (WIFSTOPPED(status)) {
        // Reported for a traced child even without WUNTRACED.
        setFailure("child stopped with signal %d", WSTOPSIG(status));
    } else {
        setFailure("unknown error in child");
    }
    spawned_ = 0;
    close();
    errorReader_.close();
    return result;
}
