// idxcache service start|stop|status: the local storage-node service that
// runs reservations and clean-ups for other processes.
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Json.h"
#include "cachefs/CacheOpsService.h"
#include "platform/CXmlMsgRouter.h"

namespace cli {

void addServiceCommands(CLI::App& app, Context& ctx) {
    CLI::App* svc = app.add_subcommand("service", "The local storage-node service");
    svc->require_subcommand(1);
    auto foreground = std::make_shared<bool>(false);
    CLI::App* start = svc->add_subcommand("start", "Start the service (in the background)");
    start->add_flag("--foreground", *foreground, "Serve in this process until stopped");
    start->callback([foreground, &ctx] {
        CacheOpsService service;
        ctx.exitCode = service.start(*foreground);
        if (ctx.exitCode == 0 && !*foreground)
            std::printf("service started, pid %d, socket %s\n",
                        static_cast<int>(CacheOpsService::runningPid()),
                        platform::depotSvcSocketPath().c_str());
    });
    svc->add_subcommand("stop", "Stop the service after its current request")->callback([&ctx] {
        std::string message;
        ctx.exitCode = CacheOpsService::stop(message);
        std::printf("%s\n", message.c_str());
    });
    auto json = std::make_shared<bool>(false);
    CLI::App* status = svc->add_subcommand("status", "Whether the service runs");
    status->add_flag("--json", *json, "Print JSON instead of a line");
    status->callback([json, &ctx] {
        pid_t pid = CacheOpsService::runningPid();
        ctx.exitCode = pid ? 0 : 3;
        if (*json) {
            nlohmann::ordered_json out;
            out["running"] = pid != 0;
            out["pid"] = pid ? nlohmann::ordered_json(pid) : nlohmann::ordered_json(nullptr);
            out["socket"] = platform::depotSvcSocketPath();
            out["pidFile"] = CacheOpsService::pidFilePath();
            printJsonDocument(out);
        } else if (pid) {
            std::printf("running, pid %d, socket %s\n", static_cast<int>(pid),
                        platform::depotSvcSocketPath().c_str());
        } else {
            std::printf("not running\n");
        }
    });
}

} // namespace cli
