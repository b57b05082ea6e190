#include "apps/datamover/ChainJournal.h"

#include <filesystem>

#include "apps/datamover/TaskSupport.h"
#include "host/ChainDB.h"
#include "management/ChainManager.h"

namespace dmjournal {

std::map<std::string, std::string> JournalStates(const std::string& chainDir)
{
    std::map<std::string, std::string> states;
    ChainDB db(GetDbVfsTypeByBrickType(BRICK_TYPE_BLOCK_VOLUME), false);
    std::string path = chainDir + "/" + ChainManager::metaDataDirectoryName + "/" + db.GetDBFileName();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) || db.OpenDB(path) != 0) return states;
    for (const ChainDB::BackupRecord& r : db.ListBackups()) states[r.backupId] = r.state;
    return states;
}

std::vector<Unfinished> Classify(const repo::Repository& r, const std::string& volumeId)
{
    std::vector<Unfinished> out;
    std::map<std::string, std::map<std::string, std::string>> journals;
    for (const repo::PartialBackup& p : r.ListPartial(volumeId)) {
        auto found = journals.find(p.chainDir);
        if (found == journals.end()) found = journals.emplace(p.chainDir, JournalStates(p.chainDir)).first;
        auto state = found->second.find(p.backupId);
        Unfinished u{p, false, ""};
        if (!p.manifestMissing) {
            u.text = "damaged: " + p.reason;
        } else if (state == found->second.end()) {
            u.text = "damaged: no manifest, and the chain's journal has no record of it";
        } else if (state->second == "complete") {
            u.text = "damaged: the manifest is missing although the chain's journal says complete";
        } else {
            u.removable = true;
            u.text = "interrupted (journal: " + state->second + "); its data is removable";
        }
        out.push_back(u);
    }
    return out;
}

bool RemoveInterrupted(const Unfinished& u, std::string& error)
{
    if (!u.removable) {
        error = "backup " + u.backup.backupId + " is not known to be interrupted";
        return false;
    }
    std::error_code ec;
    std::filesystem::remove_all(u.backup.dir, ec);
    std::error_code ec2;
    std::filesystem::remove(u.backup.chainDir + "/" + ChainManager::metaDataDirectoryName + "/" + u.backup.backupId +
                                ".dirtyRanges",
                            ec2);
    if (ec || ec2) {
        error = "cannot remove " + u.backup.dir + ": " + (ec ? ec : ec2).message();
        return false;
    }
    return true;
}

bool ForgetBackup(const repo::BackupInfo& b, std::string& error)
{
    ChainDB db(GetDbVfsTypeByBrickType(BRICK_TYPE_BLOCK_VOLUME), false);
    std::string path = b.chainDir + "/" + ChainManager::metaDataDirectoryName + "/" + db.GetDBFileName();
    ChainDB::BackupRecord row;
    row.backupId = b.manifest.backupId;
    row.parentId = b.manifest.parentBackup;
    row.kind = b.manifest.kind;
    row.snapshot = b.manifest.snapshot;
    row.state = "forgotten";
    row.createdAt = b.manifest.createdAt;
    row.storedBytes = b.manifest.storedBytes;
    if (db.OpenDB(path) != 0 || db.PutBackup(row) != 0) {
        error = "cannot record the removal of " + row.backupId + " in the chain's journal: " + db.GetLastError() +
                "; nothing was removed";
        return false;
    }
    dmtask::CrashPoint("forget-journaled");
    // The manifest first: from here on the backup is no longer listed, and the
    // journal row makes what is left removable.
    std::error_code ec;
    std::filesystem::remove(b.dir + "/" + repo::kManifestFile, ec);
    if (ec) {
        error = "cannot remove the manifest of " + row.backupId + ": " + ec.message();
        return false;
    }
    repo::FsyncDir(b.dir);
    dmtask::CrashPoint("forget-manifest-removed");
    Unfinished u{repo::PartialBackup{}, true, ""};
    u.backup.chainDir = b.chainDir;
    u.backup.backupId = row.backupId;
    u.backup.dir = b.dir;
    return RemoveInterrupted(u, error);
}

}  // namespace dmjournal
