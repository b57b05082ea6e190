// "datamover health": the plug-in's health check (agent installed and running,
// storage answering), with the retry count and pause overridable for one run.
#include <sys/stat.h>

#include <iostream>

#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"
#include "host/ConfigReader.h"

namespace {

struct HealthOptions {
    std::string url = "strata://127.0.0.1/pool0/health-probe";
    int retries = -2;  // -2: as configured
    int wait = -1;     // -1: as configured
};

// A fresh installation root on the simulated storage has no agent yet: say
// how to get one instead of leaving the user with the agent's path.
std::string AgentHint(const CommandContext& ctx, const std::string& why)
{
    struct stat st {};
    std::string sim = ctx.root + "/bin/strata-sim";
    if (why.find("strata_agent") == std::string::npos || ::stat(sim.c_str(), &st) != 0) return "";
    return "this root runs the simulated storage; start its agent with '" + sim + " --root " + ctx.root +
           " admin agent install' and '" + sim + " --root " + ctx.root + " admin agent start'";
}

int RunHealth(CommandContext& ctx, const HealthOptions& o)
{
    dmtask::InstallPauseDivisorFromEnvironment();
    dmtask::StrataUrl url;
    std::string error;
    if (!dmtask::ParseStrataUrl(o.url, url, error)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    if (o.retries < -2 || o.retries > 100 || o.wait < -1 || o.wait > 3600) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "bad --retries or --wait");
        return 2;
    }
    if (o.retries != -2) ConfigReader::SetOverride("BackupNode", "RetryHealthStatusTimes", std::to_string(o.retries));
    if (o.wait != -1) ConfigReader::SetOverride("BackupNode", "RetryHealthStatusWaitTime", std::to_string(o.wait));
    HostMessageSink sink("");
    VolumeParas paras;
    paras.volumeID = "00000000-0000-0000-0000-000000000000";
    paras.volumeName = "health";
    paras.isBackup = true;
    paras.currentSnapshotURL = o.url;
    paras.msgNotify = &sink;
    auto flag = std::make_shared<boost::atomics::atomic<bool>>(false);
    paras.abortFun = [flag]() -> boost::atomics::atomic<bool>& { return *flag; };
    std::shared_ptr<CDiskDescriptor> disk;
    if (!dmtask::CreateDescriptor(paras, disk, error)) {
        PrintError(ctx, dmout::ErrorCode::Internal, error);
        return 1;
    }
    uint64_t started = dmtask::NowMicros();
    std::string why;
    bool healthy = disk->CheckHealthStatus(why);
    double seconds = static_cast<double>(dmtask::NowMicros() - started) / 1e6;
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = healthy;
        out["healthy"] = healthy;
        out["manager"] = url.manager;
        out["seconds"] = seconds;
        if (!healthy) out["error"] = dmout::ErrorObject(dmout::ErrorCode::Storage, why);
        if (!healthy && !AgentHint(ctx, why).empty()) out["hint"] = AgentHint(ctx, why);
        dmtask::PrintJson(out);
    } else if (healthy) {
        std::cout << "healthy: the storage agent runs and storage " << url.manager << " answers" << std::endl;
    } else {
        std::cerr << "datamover: unhealthy: " << why << std::endl;
        std::string hint = AgentHint(ctx, why);
        if (!hint.empty()) std::cerr << "datamover: hint: " << hint << std::endl;
    }
    return healthy ? 0 : 1;
}

}  // namespace

void RegisterHealthCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<HealthOptions>();
    CLI::App* sub = app.add_subcommand("health", "Check that the storage agent runs and the storage answers");
    sub->add_option("--url", opts->url, "strata://MANAGER/POOL/NAME naming the storage to probe")
        ->capture_default_str();
    sub->add_option("--retries", opts->retries, "Probe retries (default: BackupNode/RetryHealthStatusTimes)");
    sub->add_option("--wait", opts->wait, "Seconds between probes (default: BackupNode/RetryHealthStatusWaitTime)");
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunHealth(ctx, *opts); });
}
