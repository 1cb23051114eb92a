// Each subcommand family registers itself on the application and sets the
// exit code the tool returns.
#pragma once

#include <CLI/CLI.hpp>

namespace cli {

struct Context {
    int exitCode = 0;
};

void addConfigCommands(CLI::App& app, Context& ctx);
void addDoctorCommand(CLI::App& app, Context& ctx);
void addReserveCommands(CLI::App& app, Context& ctx);
void addLifecycleCommands(CLI::App& app, Context& ctx);
void addDemoCommand(CLI::App& app, Context& ctx);
void addLsCommand(CLI::App& app, Context& ctx);
void addSortCommand(CLI::App& app, Context& ctx);
void addMonitorCommand(CLI::App& app, Context& ctx);
void addResultsCommands(CLI::App& app, Context& ctx);
void addServiceCommands(CLI::App& app, Context& ctx);
void addProtectCommands(CLI::App& app, Context& ctx);
void addSoakCommand(CLI::App& app, Context& ctx);

} // namespace cli
