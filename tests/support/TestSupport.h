// Helpers shared by the test programs: a scratch platform home, forked
// children and a one-shot signal between processes.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/EvEvent.h"

// Checks inside forked children: report the failed condition and leave the child.
#define CHILD_CHECK(cond)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

namespace testsupport {

// Makes a fresh directory, points IDXCACHE_HOME at it for the life of the
// object and removes the tree afterwards.
class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name, created as a directory when mkdir is set.
    std::string sub(const std::string& name, bool mkdir = false) const;

private:
    std::string path_;
    std::string oldHome_;
    bool hadOldHome_ = false;
};

// Starts fn in a forked child; the child exits with fn's result and never
// returns into the test. Returns the child's pid.
pid_t forkChild(const std::function<int()>& fn);
// Waits for a child: its exit code, or 128 + signal number when it was killed.
int waitChild(pid_t pid);
// forkChild + waitChild.
int runInChild(const std::function<int()>& fn);

// A one-shot, cross-process signal on a pipe: the poster writes one byte,
// the waiter reads it (or gives up after timeoutMs of real time).
class ProcessSignal {
public:
    ProcessSignal();
    ~ProcessSignal();
    ProcessSignal(const ProcessSignal&) = delete;
    ProcessSignal& operator=(const ProcessSignal&) = delete;
    void post();
    bool wait(int timeoutMs = 20000);

private:
    int fds_[2];
};

// Whole content of a file ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);

// Whether the sink holds a line of exactly this text ("PREFIX: text"), at
// this level when one is given.
bool hasExactLine(const platform::TestSink& sink, const std::string& text, int level = -1);
// How many captured lines contain the fragment.
int countContaining(const platform::TestSink& sink, const std::string& fragment);

} // namespace testsupport
