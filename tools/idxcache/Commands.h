// Each subcommand family registers itself on the application and sets the
// exit code the tool returns.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace cli {

struct Context {
    int exitCode = 0;
};

// The client, realm, application and job a cache-directory subcommand acts on.
struct Target {
    std::string client;
    unsigned long realm = 2;
    unsigned long app = 0;
    long long job = 0;
};

enum class JobOption { None, Optional, Required };

inline void addTargetOptions(CLI::App* cmd, Target& t, JobOption job) {
    cmd->add_option("--client", t.client, "Client name (default: the focus client)");
    cmd->add_option("--realm", t.realm, "Realm number")->capture_default_str();
    cmd->add_option("--app", t.app, "Application number")->required();
    if (job == JobOption::Required)
        cmd->add_option("--job", t.job, "Job id")->required();
    else if (job == JobOption::Optional)
        cmd->add_option("--job", t.job, "Job id (0: the newest index of the application)");
}

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
