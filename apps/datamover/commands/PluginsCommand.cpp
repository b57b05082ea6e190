// "datamover plugins": asks the factory for a descriptor of every storage type
// and prints what happened, so an installation can be checked at a glance.
#include <iomanip>
#include <iostream>
#include <sstream>

#include "apps/datamover/CommandContext.h"
#include "apps/datamover/output/Console.h"
#include "factory/DiskDescriptorFactory.h"
#include "foundation/JsonUtils.h"
#include "host/HostMessageSink.h"
#include "host/Logger.h"

namespace {

struct Row {
    int type;
    const char* name;
};
const Row kRows[] = {{0, "QRM_STRATA"}, {1, "KVM_STRATA"}, {2, "XDS"},           {3, "KVM_T9"},
                     {4, "QRM_T9"},     {5, "QRM_T9_RDM"}, {6, "QRM_STRATA_RDM"}};

int RunPlugins(CommandContext& ctx)
{
    DiskDescriptorFactory* factory = DiskDescriptorFactory::getInstance();
    if (factory == nullptr) {
        PrintError(ctx, dmout::ErrorCode::Internal, "the descriptor factory could not be created");
        return 1;
    }
    Json::Value out(Json::arrayValue);
    int failures = 0;
    if (!ctx.json) {
        std::cout << std::left << std::setw(6) << "TYPE" << std::setw(16) << "NAME" << std::setw(8) << "RESULT"
                  << "OUTCOME" << "\n";
    }
    for (const Row& row : kRows) {
        // Capture the factory's last level-4 line to say why a row failed.
        std::string reason;
        CLogger::Hook old = CLogger::GetInstance()->SetCaptureHook([&reason](const LogRecord& r) {
            if (r.level >= 4 && reason.empty()) {
                reason = r.text;
            }
        });
        // A well-formed backup request that names no real snapshot: creating
        // the descriptor touches no storage, so only a broken plug-in fails.
        HostMessageSink sink("");
        VolumeParas paras;
        paras.productStorageType = static_cast<ProductStorageType>(row.type);
        paras.volumeName = "probe";
        paras.volumeID = "00000000-0000-0000-0000-000000000000";
        paras.volumeSize = 4194304;
        paras.isBackup = true;
        paras.currentSnapshotURL = "strata://127.0.0.1/probe-pool/probe-snapshot";
        paras.msgNotify = &sink;
        auto flag = std::make_shared<boost::atomics::atomic<bool>>(false);
        paras.abortFun = [flag]() -> boost::atomics::atomic<bool>& { return *flag; };
        std::shared_ptr<CDiskDescriptor> disk;
        int rc = factory->CreateDiskDescriptor(paras, disk);
        CLogger::GetInstance()->SetCaptureHook(old);
        std::string outcome = (rc == 0 && disk) ? "descriptor created" : (reason.empty() ? "not supported" : reason);
        failures += (rc == 0) ? 0 : 1;
        if (ctx.json) {
            Json::Value item;
            item["type"] = row.type;
            item["name"] = row.name;
            item["result"] = rc;
            item["outcome"] = outcome;
            out.append(item);
        } else {
            std::cout << std::left << std::setw(6) << row.type << std::setw(16) << row.name << std::setw(8) << rc
                      << outcome << "\n";
        }
    }
    // XDS never has a plug-in; any other failure means the installation is incomplete.
    const bool ok = failures <= 1;
    if (ctx.json) {
        Json::Value doc(Json::objectValue);
        doc["ok"] = ok;
        doc["plugins"] = out;
        if (!ok) {
            doc["error"] = dmout::ErrorObject(dmout::ErrorCode::Internal,
                                              std::to_string(failures) + " storage types have no usable plug-in");
        }
        dmtask::PrintJson(doc);
    }
    return ok ? 0 : 1;
}

}  // namespace

void RegisterPluginsCommand(CLI::App& app, CommandContext& ctx)
{
    CLI::App* sub = app.add_subcommand("plugins", "Ask the factory for a descriptor of every storage type and "
                                                  "print the outcome (exit 1 when a plug-in cannot be used)");
    sub->callback([&ctx]() { ctx.exitStatus = RunPlugins(ctx); });
}
