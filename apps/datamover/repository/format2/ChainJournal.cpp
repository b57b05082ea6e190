#include "apps/datamover/repository/format2/ChainJournal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "apps/datamover/session/Task.h"
#include "host/ChainDB.h"
#include "management/ChainManager.h"
#include "proto/chain.pb.h"

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

bool JournalReadable(const std::string& chainDir, std::string& error)
{
    ChainDB db(GetDbVfsTypeByBrickType(BRICK_TYPE_BLOCK_VOLUME), false);
    std::string path = chainDir + "/" + ChainManager::metaDataDirectoryName + "/" + db.GetDBFileName();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "the chain's journal " + path + " is missing";
        return false;
    }
    if (db.OpenDB(path) != 0) {
        error = "the chain's journal " + path + " cannot be opened (" + db.GetLastError() +
                "): no backup of this chain can be made or removed until it is restored from a copy or the "
                "chain is moved aside";
        return false;
    }
    return true;
}

bool LockChain(const repo::Repository& r, const std::string& volumeId, SnapStore& store, dmout::ErrorCode& code,
               std::string& error)
{
    ChainID id;
    id.add_brick_data()->add_type(BRICK_TYPE_BLOCK_VOLUME);
    const std::string chainDir = r.ChainDir(volumeId);
    if (store.Init(chainDir, SnapStore::SNAPSTORE_EXCLUSIVE, id.SerializeAsString())) return true;
    const std::string why = store.GetErrorInfo();
    if (why.find("in use by another task") != std::string::npos) {
        code = dmout::ErrorCode::InUse;
        error = "chain " + volumeId + " is in use by a running task; try again when it has finished";
    } else if (::access(chainDir.c_str(), W_OK) != 0 && (errno == EROFS || errno == EACCES)) {
        code = dmout::ErrorCode::ReadOnly;
        error = "the repository " + r.Root() + " cannot be written (" + std::strerror(errno) +
                "); nothing was removed";
    } else if (why.find("holds a different chain") != std::string::npos) {
        code = dmout::ErrorCode::Damaged;
        error = "chain " + volumeId + " has a damaged identity file (" + chainDir + "/" +
                ChainManager::metaDataDirectoryName + "/chain.id); nothing was removed";
    } else {
        code = dmout::ErrorCode::Io;
        error = "cannot lock chain " + volumeId + ": " + why;
    }
    return false;
}

bool ChainBusy(const std::string& chainDir)
{
    // Read from the kernel's table of locks rather than probed with a lock of
    // our own: a probe held for an instant would make a backup starting at
    // that instant fail with "in use".
    struct stat st {};
    std::string path = chainDir + "/" + ChainManager::metaDataDirectoryName + "/chain.lock";
    if (::stat(path.c_str(), &st) != 0) return false;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line starts "1: -> FLOCK ..."
        if (f.size() >= 6 && f[1] == "FLOCK" && f[5] == id) return true;
    }
    return false;
}

std::vector<Unfinished> Classify(const repo::Repository& r, const std::string& volumeId, bool callerHoldsLock)
{
    std::vector<Unfinished> out;
    std::map<std::string, std::map<std::string, std::string>> journals;
    std::map<std::string, bool> busy;
    for (const repo::PartialBackup& p : r.ListPartial(volumeId)) {
        auto found = journals.find(p.chainDir);
        if (found == journals.end()) found = journals.emplace(p.chainDir, JournalStates(p.chainDir)).first;
        if (busy.count(p.chainDir) == 0) busy[p.chainDir] = !callerHoldsLock && ChainBusy(p.chainDir);
        auto state = found->second.find(p.backupId);
        Unfinished u{p, false, ""};
        if (p.manifestMissing && busy[p.chainDir]) {
            // The writer holds the journal too: what it says may be a moment old.
            u.text = "in progress (a running task holds the chain)";
        } else if (!p.manifestMissing) {
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

std::vector<std::string> OrphanRangeFiles(const std::string& chainDir)
{
    std::vector<std::string> out;
    const std::map<std::string, std::string> states = JournalStates(chainDir);
    const std::string meta = chainDir + "/" + ChainManager::metaDataDirectoryName;
    const std::string suffix = ".dirtyRanges";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(meta, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string id = name.substr(0, name.size() - suffix.size());
        auto state = states.find(id);
        std::error_code ec2;
        // Only what the journal itself says is gone: a file with no row, or of a
        // complete backup, is somebody's data and stays.
        if (repo::ValidBackupId(id) && state != states.end() && state->second != "complete" &&
            state->second != "running" && !std::filesystem::exists(chainDir + "/backups/" + id, ec2)) {
            out.push_back(it->path().string());
        }
    }
    return out;
}

bool RemoveInterrupted(const Unfinished& u, std::string& error)
{
    if (!u.removable) {
        error = "backup " + u.backup.backupId + " is not known to be interrupted";
        return false;
    }
    // The changed-range file first: a kill between the two leaves a directory
    // that is still classified and removed, never a file nothing lists.
    std::error_code ec2;
    std::filesystem::remove(u.backup.chainDir + "/" + ChainManager::metaDataDirectoryName + "/" + u.backup.backupId +
                                ".dirtyRanges",
                            ec2);
    std::error_code ec;
    std::filesystem::remove_all(u.backup.dir, ec);
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
