// "datamover pair-check": asks the storage management service whether the
// active-active pair of two volumes runs normally on any control cluster.
// The password is read from a file (or standard input), never from arguments.
#pragma once
#include <CLI/CLI.hpp>

#include <string>

#include "apps/datamover/CommandContext.h"

void RegisterPairCheckCommand(CLI::App& app, CommandContext& ctx);

namespace pair_check {
// Splits "HOST:PORT" ("[v6]:PORT" for IPv6). False with a reason for anything
// that is not a plain host name or address and a port from 1 to 65535.
bool ParseManagerAddress(const std::string& text, std::string& host, std::string& port, std::string& error);
// Reads the password: the file's content without one trailing line break;
// "-" reads standard input. Refuses empty, oversized and non-regular files.
// `warning` is set when the file can be read by group or others.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& warning, std::string& error);
}  // namespace pair_check
