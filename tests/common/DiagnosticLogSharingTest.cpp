// The process-wide part of the diagnostic log under threads, and its file in
// a /tmp that other users share.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/TDebuggable.h"
#include "support/TestSupport.h"

namespace {

// Runs in a private /tmp (a mount namespace of its own), where a link stands
// at the log file's first name; threads then create, use and destroy objects.
TEST(DiagnosticLogSharing, ThreadsShareTheCountAndTheFileIsPrivateAndNeverALink) {
    constexpr int kThreads = 4, kObjects = 20000;
    const int rc = testsupport::runInChild([] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
            return 77;
        if (::symlink("/tmp/elsewhere", "/tmp/log.out") != 0)
            return 1;
        TDebuggable::logEvents(0);
        {
            TDebuggable first;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([] {
                    for (int i = 0; i < kObjects; ++i) {
                        TDebuggable d;
                        d.setDebugPrefix("T");
                        d.debug(1, "line");
                    }
                });
            }
            for (std::thread& t : threads)
                t.join();
            if (TDebuggable::getUsageCount() != 1)
                return 2;
        }
        const std::string file = "/tmp/log" + std::to_string(::getpid()) + ".out";
        struct stat st;
        if (TDebuggable::getUsageCount() != 0 || testsupport::exists("/tmp/elsewhere") ||
            ::stat(file.c_str(), &st) != 0 || (st.st_mode & 077) != 0)
            return 3;
        const std::string log = testsupport::readFile(file);
        size_t lines = 0;
        for (size_t at = 0; (at = log.find("T: line\n", at)) != std::string::npos; ++at)
            ++lines;
        return lines == kThreads * kObjects ? 0 : 4;
    });
    if (rc == 77)
        GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(rc, 0);
}

} // namespace
