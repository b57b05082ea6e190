// Questions the CLI asks the storage tools itself, beside the plug-in's own commands.
#pragma once
#include <string>

#include "apps/datamover/session/StorageUrl.h"

namespace dmtask {

// The storage's identity of the snapshot `url` names (bare or IMAGE@SNAPSHOT): a text that differs
// when a snapshot is deleted and re-created under the same name. False with the reason in `error`
// (no such snapshot, an ambiguous name, a tool that gave no answer).
bool SnapshotIdentity(const StrataUrl& url, std::string& identity, std::string& error);

}  // namespace dmtask
