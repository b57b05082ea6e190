// The adapter's admin interface for tests, benchmarks and the demo: the same small command set as
// the simulator's (volumes, writes, snapshots, path, state, agent, teardown) plus `configure`,
// which points an installation root's tool scripts at this program.
#pragma once
#include <string>
#include <vector>

namespace rbdtool {

int RunAdmin(const std::string& root, const std::string& self, const std::vector<std::string>& args);
// The agent stand-in's life: stays until stopped or until the pid file no longer names it.
int RunAgent(const std::string& stateDir);

}  // namespace rbdtool
