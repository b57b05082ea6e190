// The admin interface of the simulated storage (`strata-sim admin <command>`), for tests,
// the demo and users: volumes, data, snapshots, settings, faults, the agent stand-in and
// machine-readable views of the state. Run `strata-sim admin --help` for the commands.
#pragma once
#include <string>
#include <vector>

#include "SimStore.h"

namespace sim {

// Returns the exit status; output on standard output, errors on standard error.
int RunAdmin(SimStore& store, const std::vector<std::string>& args);

// The agent stand-in's own loop: lives until stopped or until the state no longer
// names it as the agent (its root was removed or the agent was stopped).
int RunAgent(const std::string& stateDir);

const char* AdminHelp();

}  // namespace sim
