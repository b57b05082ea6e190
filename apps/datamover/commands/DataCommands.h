// Registration functions of the data-moving subcommands, one file each.
#pragma once
#include <CLI/CLI.hpp>

#include "apps/datamover/CommandContext.h"

void RegisterBackupCommand(CLI::App& app, CommandContext& ctx);
void RegisterRestoreCommand(CLI::App& app, CommandContext& ctx);
void RegisterVerifyCommand(CLI::App& app, CommandContext& ctx);
void RegisterCleanCommand(CLI::App& app, CommandContext& ctx);
void RegisterHealthCommand(CLI::App& app, CommandContext& ctx);
void RegisterListCommand(CLI::App& app, CommandContext& ctx);
void RegisterDemoCommand(CLI::App& app, CommandContext& ctx);
void RegisterInitCommands(CLI::App& app, CommandContext& ctx);    // init, key passwd
void RegisterForgetCommands(CLI::App& app, CommandContext& ctx);  // forget, prune
void RegisterUnlockCommand(CLI::App& app, CommandContext& ctx);
