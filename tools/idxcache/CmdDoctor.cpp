// idxcache doctor: where the platform home is and whether its directories
// (or a given one) can be used: each is checked with the file access test on
// a scratch name inside it.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"
#include "port/TFileAccessTest.h"

namespace cli {

namespace {

const char* yesNo(bool v) {
    return v ? "yes" : "no";
}

// The test overwrites and removes the name it is given, so it gets a name of
// its own inside the folder.
const char* const kScratchName = "/.idxcache-access-test";

// The standard set expects the name to exist; a folder where it cannot be
// made fails there, and the report says why.
void touch(const std::string& path) {
    if (FILE* f = std::fopen(path.c_str(), "wb"))
        std::fclose(f);
}

// Runs the access test in folder and prints the report; on failure a
// recursive run shows which folder on the way breaks access.
bool checkFolder(const std::string& folder) {
    const std::string scratch = folder + kScratchName;
    std::printf("access test of %s:\n", folder.c_str());
    touch(scratch);
    const bool passed = TFileAccessTest_runSingleTest(scratch.c_str(), nullptr);
    std::printf("\n");
    if (!passed) {
        touch(scratch);
        TFileAccessTest walk(scratch);
        walk.run(TFileAccessTest::kStandardSet, true);
        std::printf("Folders above %s:%s\n", scratch.c_str(), walk.getLog().c_str());
    }
    // A failed run may leave the scratch file behind.
    ::unlink(scratch.c_str());
    return passed;
}

} // namespace

void addDoctorCommand(CLI::App& app, Context& ctx) {
    CLI::App* doctor = app.add_subcommand(
        "doctor",
        "Check the platform home and its directories (or PATH) with the file access test");
    auto path = std::make_shared<std::string>();
    doctor->add_option("PATH", *path, "Check this folder instead of the platform's directories");
    doctor->callback([&ctx, path] {
        std::printf("platform home:  %s\n", platform::home().c_str());
        std::printf("key store:      %s\n", platform::KeyStore::path().c_str());
        std::printf("focus:          %s\n", OXPI_Focus::getFocus().c_str());
        std::printf("debug level:    %lld\n",
                    platform::KeyStore::getNumberOr(platform::kPlatformSection, "DebugLevel", 1));
        if (!path->empty()) {
            if (!checkFolder(*path))
                ctx.exitCode = 1;
            return;
        }
        for (const platform::PlatformDirectory& d : platform::platformDirectories()) {
            bool exists = ::access(d.path.c_str(), F_OK) == 0;
            bool writable = exists && ::access(d.path.c_str(), W_OK | X_OK) == 0;
            std::printf("%-15s %s (%s) exists: %s, writable: %s\n", (d.name + ":").c_str(),
                        d.path.c_str(), d.configured ? "configured" : "default", yesNo(exists),
                        yesNo(writable));
            if (!exists || !writable)
                ctx.exitCode = 1;
        }
        for (const platform::PlatformDirectory& d : platform::platformDirectories()) {
            if (!checkFolder(d.path))
                ctx.exitCode = 1;
        }
    });
}

} // namespace cli
