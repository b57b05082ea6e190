// What a chain's journal (chain.db) says about backups whose manifest is
// missing or unreadable. Data is removed only when the journal shows the
// backup never completed; everything else is damage, reported and kept.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "apps/datamover/RepoFormat.h"

namespace dmjournal {

struct Unfinished {
    repo::PartialBackup backup;
    bool removable = false;  // the journal shows it never completed
    std::string text;        // why it is damaged, or that it was interrupted
};

// The journal's state of every backup of a chain ("running", "complete", ...);
// empty when the chain has no readable journal.
std::map<std::string, std::string> JournalStates(const std::string& chainDir);
// The backups of `volumeId` (every chain when empty) without a readable manifest.
std::vector<Unfinished> Classify(const repo::Repository& r, const std::string& volumeId = "");
// Removes one removable backup's directory and changed-range file; the
// caller holds the chain lock. False with the reason when something stays.
bool RemoveInterrupted(const Unfinished& u, std::string& error);
// Removes one complete backup at the user's word; the caller holds the chain
// lock and has made sure no kept backup needs it. The journal says
// "forgotten" before anything goes, so a kill at any later point leaves either
// the whole backup or data the journal shows removable.
bool ForgetBackup(const repo::BackupInfo& b, std::string& error);

}  // namespace dmjournal
