// datamover: the host program a user runs to move Strata volumes in and out of
// backups through the plug-in library.
#include <limits.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "apps/datamover/CommandContext.h"
#include "apps/datamover/commands/PairCheckCommand.h"
#include "apps/datamover/commands/DataCommands.h"
#include "foundation/JsonUtils.h"
#include "host/ConfigReader.h"
#include "host/Logger.h"
#include "host/RootPath.h"

namespace {

// <root> is the parent of the directory holding this executable (<root>/bin).
std::string RootFromExecutable()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return "";
    }
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
    slash = dir.find_last_of('/');
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

}  // namespace

bool InitHostForRoot(CommandContext& ctx, std::string& error)
{
    if (ctx.root.empty()) {
        const char* env = std::getenv("DATAMOVER_ROOT");
        ctx.root = (env != nullptr && *env != '\0') ? env : RootFromExecutable();
    }
    char resolved[PATH_MAX];
    if (::realpath(ctx.root.c_str(), resolved) == nullptr) {
        error = "installation root " + ctx.root + " does not exist";
        return false;
    }
    ctx.root = resolved;
    SetRootPath(ctx.root);
    ConfigReader::SetConfigFile(ctx.root + "/conf/datamover.ini");
    CLogger* log = CLogger::GetInstance();
    log->SetStderrLevel(ctx.verbose ? 3 : 5);
    std::string logDir = ctx.root + "/var/log";
    if (::access(logDir.c_str(), W_OK) == 0) {
        log->SetLogDirectory(logDir);
    }
    return true;
}

void PrintError(const CommandContext& ctx, dmout::ErrorCode code, const std::string& text)
{
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = false;
        out["error"] = dmout::ErrorObject(code, text);
        std::cout << CJsonUtils::JsonToString(out) << std::endl;
    } else {
        std::cerr << "datamover: " << text << std::endl;
    }
}

int main(int argc, char** argv)
{
    // One malloc arena: the 4 MiB block and chunk buffers are made on reader
    // threads and freed on store threads, and an arena per thread kept each
    // one's freed buffers, which grew a backup's memory with its thread count.
    ::mallopt(M_ARENA_MAX, 1);
    CommandContext ctx;
    CLI::App app{"datamover: back up and restore Strata volumes through the block-storage plug-in.\n"
                 "Logs go to <root>/var/log/datamover.log."};
    app.set_help_all_flag("--help-all", "Show help for every subcommand");
    app.add_option("--root", ctx.root, "Installation root (default: $DATAMOVER_ROOT, else the parent of bin/)");
    // Before or after the subcommand alike.
    app.add_flag("--json", ctx.json, "Machine-readable output")->configurable(false);
    app.fallthrough();
    app.add_flag("-v,--verbose", ctx.verbose, "Echo warnings and errors of the log to standard error");
    app.require_subcommand(1);
    app.allow_extras(false);

    RegisterPluginsCommand(app, ctx);
    RegisterPairCheckCommand(app, ctx);
    RegisterInitCommands(app, ctx);
    RegisterBackupCommand(app, ctx);
    RegisterRestoreCommand(app, ctx);
    RegisterVerifyCommand(app, ctx);
    RegisterCleanCommand(app, ctx);
    RegisterHealthCommand(app, ctx);
    RegisterListCommand(app, ctx);
    RegisterForgetCommands(app, ctx);
    RegisterUnlockCommand(app, ctx);
    RegisterDemoCommand(app, ctx);

    app.parse_complete_callback([&ctx]() {
        std::string error;
        if (!InitHostForRoot(ctx, error)) {
            PrintError(ctx, dmout::ErrorCode::BadArgument, error);
            std::exit(2);
        }
    });
    // Name an unknown subcommand instead of saying that one is required.
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--root") {
            ++i;
            continue;
        }
        if (arg.empty() || arg[0] == '-') continue;
        bool known = false;
        for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
            known = known || sub->check_name(arg);
        }
        if (!known) {
            ctx.json = ctx.json || std::find(argv + 1, argv + argc, std::string("--json")) != argv + argc;
            PrintError(ctx, dmout::ErrorCode::BadArgument,
                       "unknown subcommand '" + arg + "'; 'datamover --help' lists them");
            return 2;
        }
        break;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, e.what());
        return e.get_exit_code() == 0 ? 0 : 2;
    } catch (const std::exception& e) {
        PrintError(ctx, dmout::ErrorCode::Internal, e.what());
        return 1;
    }
    return ctx.exitStatus;
}
