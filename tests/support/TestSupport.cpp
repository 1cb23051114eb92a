#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

ScratchHome::ScratchHome() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/idxcache-test-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
    const char* old = std::getenv("IDXCACHE_HOME");
    if (old) {
        hadOldHome_ = true;
        oldHome_ = old;
    }
    ::setenv("IDXCACHE_HOME", path_.c_str(), 1);
}

ScratchHome::~ScratchHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (hadOldHome_)
        ::setenv("IDXCACHE_HOME", oldHome_.c_str(), 1);
    else
        ::unsetenv("IDXCACHE_HOME");
}

std::string ScratchHome::sub(const std::string& name, bool mkdir) const {
    std::string p = path_ + "/" + name;
    if (mkdir)
        std::filesystem::create_directories(p);
    return p;
}

pid_t forkChild(const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int rc = 120;
        try {
            rc = fn();
        } catch (...) {
            rc = 121;
        }
        ::_exit(rc);
    }
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int runInChild(const std::function<int()>& fn) {
    return waitChild(forkChild(fn));
}

ProcessSignal::ProcessSignal() {
    if (::pipe2(fds_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

ProcessSignal::~ProcessSignal() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void ProcessSignal::post() {
    char c = 1;
    while (::write(fds_[1], &c, 1) < 0 && errno == EINTR) {
    }
}

bool ProcessSignal::wait(int timeoutMs) {
    struct pollfd p = {fds_[0], POLLIN, 0};
    int rc;
    while ((rc = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (rc <= 0)
        return false;
    char c;
    return ::read(fds_[0], &c, 1) == 1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool hasExactLine(const platform::TestSink& sink, const std::string& text, int level) {
    for (const platform::CapturedLine& l : sink.lines()) {
        if (l.text == text && (level < 0 || l.level == level))
            return true;
    }
    return false;
}

int countContaining(const platform::TestSink& sink, const std::string& fragment) {
    int n = 0;
    for (const platform::CapturedLine& l : sink.lines())
        n += l.text.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

} // namespace testsupport
