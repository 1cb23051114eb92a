// idxcache monitor: a job's monitor loop with heartbeats over an in-process
// session, until the job controller's quit flag is set
// (idxcache config set J quit -s idxcache.jobs), Ctrl-C, or --for seconds.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "Commands.h"
#include "common/TMonitorJob.h"
#include "platform/COxNetworkServer.h"
#include "platform/Env.h"
#include "platform/OXJobCtrlClient.h"

namespace cli {

namespace {

std::atomic<char> interrupted{0};

extern "C" void onInterrupt(int) {
    interrupted.store(1);
}

struct MonitorArgs {
    long long job = 0;
    unsigned seconds = 0;
    int heartbeatType = 2;
    unsigned long long heartbeatPeriod = 10;
    unsigned long long quitCheckPeriod = 1;
};

} // namespace

void addMonitorCommand(CLI::App& app, Context& /*ctx: every way out is a normal stop*/) {
    auto args = std::make_shared<MonitorArgs>();
    CLI::App* cmd = app.add_subcommand(
        "monitor", "Run a job's monitor until its quit flag is set (config set J quit -s "
                   "idxcache.jobs), Ctrl-C or --for seconds");
    cmd->add_option("--job", args->job, "Job id")->required();
    cmd->add_option("--for", args->seconds, "Stop after this many seconds (0: no limit)")
        ->capture_default_str();
    cmd->add_option("--heartbeat-type", args->heartbeatType, "0 none, 1 XDR, 2 XML")
        ->capture_default_str();
    cmd->add_option("--heartbeat-period", args->heartbeatPeriod,
                    "Seconds between heartbeats (0: Depot/heartBeatPeriod, else 300)")
        ->capture_default_str();
    cmd->add_option("--quit-check-period", args->quitCheckPeriod,
                    "Seconds between quit-flag checks (0: Depot/JMQuitCheckPeriod, else 60)")
        ->capture_default_str();
    cmd->callback([args] {
        std::signal(SIGINT, onInterrupt);
        std::signal(SIGTERM, onInterrupt);
        COxNetworkServer server;
        OXJobCtrlClient control(args->job);
        TMonitorJobInput input;
        input.heartbeatType = args->heartbeatType;
        input.heartBeatPeriod = args->heartbeatPeriod;
        input.quitCheckPeriod = args->quitCheckPeriod;
        input.networkServer = &server;
        input.sessionHandle = server.openSession();
        input.interruptFlag = &interrupted;
        input.jobControl = &control;
        input.jobId = args->job;
        TMonitorJob monitor(&input);
        std::printf("job %lld: heartbeat every %llu s, quit check every %llu s\n", args->job,
                    static_cast<unsigned long long>(input.heartBeatPeriod),
                    static_cast<unsigned long long>(input.quitCheckPeriod));
        std::fflush(stdout);
        long long start = platform::monotonicNs();
        size_t shown = 0;
        for (;;) {
            bool quit = monitor.shouldQuit();
            double at = static_cast<double>(platform::monotonicNs() - start) / 1e9;
            for (; shown < server.sent().size(); ++shown)
                std::printf("+%.1fs heartbeat %zu (%s) sent\n", at, shown + 1,
                            server.sent()[shown].kind == COxNetworkServer::SendXdr ? "XDR" : "XML");
            if (quit) {
                std::printf("+%.1fs job %lld: quit (%s) after %lu quit checks\n", at, args->job,
                            interrupted.load() ? "interrupted" : "quit flag",
                            control.getQueryCount());
                break;
            }
            if (args->seconds && at >= args->seconds) {
                std::printf("+%.1fs job %lld: still running, stopping after %u s\n", at, args->job,
                            args->seconds);
                break;
            }
            std::fflush(stdout);
            platform::sleepMs(200);
        }
    });
}

} // namespace cli
