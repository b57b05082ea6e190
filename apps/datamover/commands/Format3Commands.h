// The format-3 bodies of list, verify, forget, prune and clean: each command
// checks which format it was given and hands a chunked repository to these.
#pragma once
#include <string>
#include <vector>

#include "apps/datamover/CommandContext.h"
#include "apps/datamover/repository/Retention.h"

namespace dmcmd3 {

int List(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag);
// Every index, then the referenced chunks (each once), or the `subset` share of them.
int Verify(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
           const std::string& subset);
// Removes the index of `backupId` (nothing else depends on it), then collects the chunks no index references.
int Forget(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
           const std::string& backupId, bool dryRun);
int Prune(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
          const std::string& volumeId, const retention::Policy& policy, bool dryRun);

struct CleanOutcome {
    std::vector<std::string> claimsBroken;
    std::vector<std::string> temporariesRemoved;
    std::string error;
};
// Claims and temporaries left by processes of this host that are gone.
CleanOutcome Clean(const std::string& repoPath);

}  // namespace dmcmd3
