#include "platform/OxProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Env.h"

namespace {

// Poll step of a wait with a time-out.
constexpr unsigned long kPollMs = 10;

void copyError(const std::string& text, char* buffer, int size) {
    if (!buffer || size <= 0)
        return;
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// Closes both ends of a pipe at the end of a scope.
struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i) {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};

} // namespace

OxProcess::~OxProcess() {
    if (running_) {
        int status;
        ::waitpid(pid_, &status, WNOHANG);
    }
}

std::vector<std::string> OxProcess::SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        const char c = commandLine[i];
        if (c == '\\' && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
            word += '"';
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string OxProcess::FindExecutable(const std::string& exe) {
    if (exe.empty())
        return std::string();
    if (exe.find('/') != std::string::npos)
        return exe;
    const char* env = std::getenv("PATH");
    const std::string path = env ? env : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
        // An empty PATH entry means the current directory.
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + exe;
        if (isExecutableFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return std::string();
        start = colon + 1;
    }
}

bool OxProcess::StartProcess(const std::string& exe, const std::string& commandLine,
                             std::string& error, int flags) {
    if (flags != 0) {
        error = "unknown flags " + std::to_string(flags);
        return false;
    }
    if (running_) {
        error = "process " + std::to_string(pid_) + " is still running";
        return false;
    }
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) {
        error = "empty command line";
        return false;
    }
    const std::string path = FindExecutable(exe);
    if (path.empty()) {
        error = "cannot find executable [" + exe + "]";
        return false;
    }
    // Everything the child needs is built before fork: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    // The child reports a failed execv through this close-on-exec pipe; a
    // successful exec closes it and the parent reads end of file.
    Pipe report;
    if (::pipe2(report.fd, O_CLOEXEC) != 0) {
        error = std::string("pipe failed: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // The child keeps only standard input, output and error: an inherited
        // descriptor would hold the caller's files (and their open-file-
        // description locks) for as long as the child runs. Marked rather than
        // closed so that the report pipe lives until the exec.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = ::getdtablesize() - 1; fd >= 3; --fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        ::execv(path.c_str(), argv.data());
        const int err = errno;
        ssize_t ignored = ::write(report.fd[1], &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    }
    report.closeEnd(1);
    int childErrno = 0;
    ssize_t n;
    do {
        n = ::read(report.fd[0], &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childErrno)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        error = "cannot execute [" + path + "]: " + std::strerror(childErrno);
        return false;
    }
    pid_ = pid;
    running_ = true;
    return true;
}

bool OxProcess::StartProcess(const char* exe, const char* commandLine, char* error, int size,
                             int flags) {
    std::string text;
    bool ok = StartProcess(std::string(exe ? exe : ""), std::string(commandLine ? commandLine : ""),
                           text, flags);
    if (!ok)
        copyError(text, error, size);
    return ok;
}

bool OxProcess::WaitForProcessToEnd(int& exitCode, std::string& error, int timeoutMs) {
    if (!running_) {
        error = "no process is running";
        return false;
    }
    int status = 0;
    unsigned long waited = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            error =
                "waitpid for process " + std::to_string(pid_) + " failed: " + std::strerror(errno);
            // ECHILD: the child is gone (reaped elsewhere); nothing left to wait for.
            if (errno == ECHILD)
                running_ = false;
            return false;
        }
        const unsigned long limit = static_cast<unsigned long>(timeoutMs);
        if (waited >= limit) {
            error = "process " + std::to_string(pid_) + " still running after " +
                    std::to_string(timeoutMs) + " ms";
            return false;
        }
        const unsigned long step = std::min(kPollMs, limit - waited);
        platform::sleepMs(step);
        waited += step;
    }
    running_ = false;
    if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
        return true;
    }
    // Without WUNTRACED the only other way to end is a signal.
    exitCode = 128 + WTERMSIG(status);
    error = "process " + std::to_string(pid_) + " was killed by signal " +
            std::to_string(WTERMSIG(status));
    return false;
}

bool OxProcess::WaitForProcessToEnd(int& exitCode, char* error, int size, int timeoutMs) {
    std::string text;
    bool ok = WaitForProcessToEnd(exitCode, text, timeoutMs);
    if (!ok)
        copyError(text, error, size);
    return ok;
}
