// What every datamover subcommand shares: the installation root, output mode
// and the exit status the subcommand sets. Subcommands live one per file and
// register themselves from main.cpp through a Register<Name>Command function.
#pragma once
#include <CLI/CLI.hpp>

#include <string>

#include "apps/datamover/output/ErrorCode.h"

struct CommandContext {
    std::string root;       // installation root (absolute)
    bool json = false;      // machine-readable output
    bool verbose = false;   // echo warnings and errors to standard error
    int exitStatus = 0;     // set by the subcommand that ran
};

// Points the host stand-ins at the root: path singleton, configuration file,
// log directory (<root>/var/log). Returns false with a one-line reason.
bool InitHostForRoot(CommandContext& ctx, std::string& error);

// Prints a one-line error ("datamover: <text>"), or with --json
// {"ok":false,"error":{"code":<code>,"message":<text>}}.
void PrintError(const CommandContext& ctx, dmout::ErrorCode code, const std::string& text);

// --password-file of the commands that open a repository: its passphrase, never
// the passphrase itself on the command line.
inline void AddPasswordFileOption(CLI::App* sub, std::string& target)
{
    sub->add_option("--password-file", target,
                    "Passphrase of an encrypted format-3 repository ('-': standard input; default: "
                    "$DATAMOVER_PASSWORD_FILE)");
}

// Subcommand registration functions.
void RegisterPluginsCommand(CLI::App& app, CommandContext& ctx);
