// The three tool personalities of the simulated storage, entered through the scripts:
//   qrm: qrmQBCTool.sh   --op createBitmapVolume|queryBitmapVolume|deleteVolume --name value ...
//   cli: security_sudo_qbc_cli.sh  -c attachwithip|detachwithip -v VOL -i IP -p POOL
//   reg: reg_qs.sh       reg|unreg DEVICE
// Each call is counted per operation, matched against the fault rules, performed under the
// state lock and recorded (argument vector, operation, result) in calls.jsonl.
#pragma once
#include <string>
#include <vector>

#include "SimStore.h"

namespace sim {

// Runs one tool call; prints its answer on standard output and returns the exit status.
int RunTool(SimStore& store, const std::string& personality, const std::vector<std::string>& args);

// Shared with the admin interface: the backing path of a stem, the device node of an
// attachment, and releasing an attachment.
std::string BackingPath(const SimStore& store, const Json::Value& vol);
std::string DigestPath(const SimStore& store, const Json::Value& vol);
// Removes the device of an attachment (link or loop); false with `err` on failure.
bool ReleaseDevice(const Json::Value& attachment, std::string& err);

}  // namespace sim
