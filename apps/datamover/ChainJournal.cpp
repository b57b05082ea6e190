#include "apps/datamover/ChainJournal.h"

#include <filesystem>

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

}  // namespace dmjournal
