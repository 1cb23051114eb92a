// idxcache doctor: where the platform home is and whether its directories work.
#include <unistd.h>

#include <cstdio>

#include "Commands.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

namespace cli {

namespace {

const char* yesNo(bool v) { return v ? "yes" : "no"; }

} // namespace

void addDoctorCommand(CLI::App& app, Context& ctx) {
    CLI::App* doctor = app.add_subcommand("doctor", "Check the platform home and its directories");
    doctor->callback([&ctx] {
        std::printf("platform home:  %s\n", platform::home().c_str());
        std::printf("key store:      %s\n", platform::KeyStore::path().c_str());
        std::printf("focus:          %s\n", OXPI_Focus::getFocus().c_str());
        std::printf("debug level:    %lld\n",
                    platform::KeyStore::getNumberOr(platform::kPlatformSection, "DebugLevel", 1));
        for (const platform::PlatformDirectory& d : platform::platformDirectories()) {
            bool exists = ::access(d.path.c_str(), F_OK) == 0;
            bool writable = exists && ::access(d.path.c_str(), W_OK | X_OK) == 0;
            std::printf("%-15s %s (%s) exists: %s, writable: %s\n", (d.name + ":").c_str(),
                        d.path.c_str(), d.configured ? "configured" : "default", yesNo(exists),
                        yesNo(writable));
            if (!exists || !writable)
                ctx.exitCode = 1;
        }
    });
}

} // namespace cli
