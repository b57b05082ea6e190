// "verify --against-source": a backup point compared block by block with the
// snapshot it was taken of, read through the plug-in as a backup reads it. A
// changed-block backup is only as right as the storage's diff; this is the
// check of the diff itself, so a sample always takes blocks the diff called
// unchanged as well as changed ones.
#pragma once
#include <string>

#include "apps/datamover/CommandContext.h"
#include "apps/datamover/repository/format2/RepoFormat.h"

namespace dmverify {

// Compares `point` with the snapshot at `url`: every block, or `percent` of
// the blocks the point's newest backup stored and `percent` of those it took
// from older backups (at least one of each). Prints the outcome; returns the
// exit status (1 when a block differs or cannot be read).
int CompareWithSource(CommandContext& ctx, const repo::Repository& r, const repo::BackupInfo& point,
                      const std::string& url, double percent);

}  // namespace dmverify
