#include <cstdio>

#include "Commands.h"
#include "cachefs/CacheFsBase.h"

int main(int argc, char** argv) {
    // The tool and the jobs its demo forks run one thread each: every
    // reservation replaces the process's line instead of adding to it.
    CacheFsBase::setMultiThreaded(false);
    CLI::App app{"idxcache: index cache and job results directories of a storage node.\n"
                 "The platform home is $IDXCACHE_HOME (default ~/.local/state/idxcache)."};
    app.require_subcommand(1);
    cli::Context ctx;

    app.add_subcommand("version", "Print the version")->callback([] {
        std::printf("idxcache %s\n", IDXCACHE_VERSION);
    });
    cli::addConfigCommands(app, ctx);
    cli::addDoctorCommand(app, ctx);
    cli::addReserveCommands(app, ctx);
    cli::addLifecycleCommands(app, ctx);
    cli::addDemoCommand(app, ctx);
    cli::addLsCommand(app, ctx);
    cli::addSortCommand(app, ctx);
    cli::addMonitorCommand(app, ctx);
    cli::addResultsCommands(app, ctx);
    cli::addServiceCommands(app, ctx);
    cli::addProtectCommands(app, ctx);
    cli::addSoakCommand(app, ctx);

    CLI11_PARSE(app, argc, argv);
    return ctx.exitCode;
}
