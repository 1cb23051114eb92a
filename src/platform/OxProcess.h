// The platform process launcher: runs one command line as a child process,
// reports its process id and waits for its end.
//
// Command line splitting: words are separated by blanks (space or tab) that
// lie outside double quotes; the quotes themselves are removed, so
// "/opt/my tools/cp" -r "a b" gives the words /opt/my tools/cp, -r and a b.
// A backslash followed by a double quote stands for a literal quote; any
// other backslash is kept as it is. An empty pair of quotes gives an empty
// word. argv[0] is the first word of the command line.
//
// The executable is run with execv, so it is a path; a name without "/" is
// looked up in PATH the way execvp does (PATH unset: "/bin:/usr/bin"). A
// child that cannot be executed makes StartProcess fail with the reason.
// The child shares the caller's standard input, output and error and
// inherits no other descriptor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class OxProcess {
public:
    OxProcess() = default;
    // A child that has already ended is reaped; a running one is left alone.
    ~OxProcess();
    OxProcess(const OxProcess&) = delete;
    OxProcess& operator=(const OxProcess&) = delete;

    // No flag is defined: flags must be 0. False with the reason in error
    // when the command line is empty, the executable cannot be found or run,
    // or a child of this object is still running.
    bool StartProcess(const std::string& exe, const std::string& commandLine, std::string& error,
                      int flags = 0);
    // C-buffer form: on failure at most size - 1 characters of the reason are
    // copied into error and terminated.
    bool StartProcess(const char* exe, const char* commandLine, char* error, int size,
                      int flags = 0);

    // The process id of the last child started; 0 before any.
    pid_t GetChildPid() const { return pid_; }

    // Waits for the child to end; timeoutMs -1 waits without limit, otherwise
    // the child is polled in steps of the platform sleep. True when the child
    // exited (exitCode = its exit status). False when nothing runs, the wait
    // failed, the time-out passed (the child still runs and may be waited for
    // again) or the child was killed by a signal (exitCode = 128 + signal).
    bool WaitForProcessToEnd(int& exitCode, std::string& error, int timeoutMs = -1);
    bool WaitForProcessToEnd(int& exitCode, char* error, int size, int timeoutMs);

    // The words of a command line, as described above.
    static std::vector<std::string> SplitCommandLine(const std::string& commandLine);
    // exe itself when it holds a "/", else the first executable file of that
    // name in PATH; empty when there is none.
    static std::string FindExecutable(const std::string& exe);

private:
    pid_t pid_ = 0;
    bool running_ = false;
};
