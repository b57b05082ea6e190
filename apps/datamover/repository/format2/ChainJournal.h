// What a chain's journal (chain.db) says about backups whose manifest is
// missing or unreadable. Data is removed only when the journal shows the
// backup never completed; everything else is damage, reported and kept.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/output/ErrorCode.h"
#include "host/SnapStore.h"

namespace dmjournal {

struct Unfinished {
    repo::PartialBackup backup;
    bool removable = false;  // the journal shows it never completed
    std::string text;        // why it is damaged, or that it was interrupted
};

// The journal's state of every backup of a chain ("running", "complete", ...);
// empty when the chain has no readable journal.
std::map<std::string, std::string> JournalStates(const std::string& chainDir);
// Whether the chain's journal exists and opens; false with the reason.
bool JournalReadable(const std::string& chainDir, std::string& error);
// Takes the chain lock of `volumeId` into `store` for a change (forget, prune,
// clean). False with a reason that says what is wrong and what to do, and its
// code: in_use (a running task holds it), read_only, damaged (chain.id), io.
bool LockChain(const repo::Repository& r, const std::string& volumeId, SnapStore& store, dmout::ErrorCode& code,
               std::string& error);
// Whether a task (of any process) holds the chain lock now.
bool ChainBusy(const std::string& chainDir);
// The backups of `volumeId` (every chain when empty) without a readable
// manifest. Unless the caller holds the chain's lock, a chain that a running
// task holds has nothing removable: its unfinished backup may be the live one.
std::vector<Unfinished> Classify(const repo::Repository& r, const std::string& volumeId = "",
                                 bool callerHoldsLock = false);
// Changed-range files of backups that are gone, which the journal shows were
// removed or never completed (left by a task killed between the two removals);
// paths relative to nothing, ready to unlink under the chain lock.
std::vector<std::string> OrphanRangeFiles(const std::string& chainDir);
// Removes one removable backup's directory and changed-range file; the
// caller holds the chain lock. False with the reason when something stays.
bool RemoveInterrupted(const Unfinished& u, std::string& error);
// Removes one complete backup at the user's word; the caller holds the chain
// lock and has made sure no kept backup needs it. The journal says
// "forgotten" before anything goes, so a kill at any later point leaves either
// the whole backup or data the journal shows removable.
bool ForgetBackup(const repo::BackupInfo& b, std::string& error);

}  // namespace dmjournal
