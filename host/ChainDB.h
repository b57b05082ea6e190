// One backup chain's database: the backups of the chain and their state, in
// SQLite at <storagePath>/SNAPS_DIR/<GetDBFileName()>. The state column is a
// journal only; a backup is complete when its manifest exists, and readers
// reconcile against that. One connection per object, serialised by the
// object's mutex; several processes may open the same file (SQLite locking,
// through the VFS chosen for the chain's brick type).
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proto/chain.pb.h"

class DataMoverDB;

// SQLite VFS per brick type. Shares served over the network do not honour
// POSIX advisory locks reliably, so their chains lock with dot-files.
enum VFS_TYPE : int32_t {
    VFS_TYPE_DEFAULT = 0,       // the platform's default VFS ("unix")
    VFS_TYPE_UNIX_DOTFILE = 1,  // "unix-dotfile"
};

VFS_TYPE GetDbVfsTypeByBrickType(BrickType brickType);
// The SQLite VFS name for a type; null selects the default VFS.
const char* VfsNameOf(VFS_TYPE type);

class ChainDB {
public:
    struct BackupRecord {
        std::string backupId;
        std::string parentId;  // empty for a full backup
        std::string kind;      // "full" or "incremental"
        std::string snapshot;  // the storage snapshot name
        std::string state;     // "running", "complete" or "abandoned"
        int64_t createdAt = 0;
        uint64_t storedBytes = 0;
    };

    // `create`: make the database (and its directory) when missing.
    ChainDB(VFS_TYPE vfsType, bool create);
    virtual ~ChainDB();
    ChainDB(const ChainDB&) = delete;
    ChainDB& operator=(const ChainDB&) = delete;

    // The database's file name inside SNAPS_DIR.
    std::string GetDBFileName() const;
    // Opens the database at `fullPath`; 0 on success, -1 on failure.
    int32_t OpenDB(const std::string& fullPath);
    // Registers this chain with the data mover's database; 0 on success.
    int32_t SetDataMoverDB(const std::shared_ptr<DataMoverDB>& db);

    bool IsOpen() const;
    std::string GetDBPath() const;
    // Inserts or replaces a backup's row.
    int32_t PutBackup(const BackupRecord& record);
    int32_t SetBackupState(const std::string& backupId, const std::string& state, uint64_t storedBytes);
    int32_t RemoveBackup(const std::string& backupId);
    // Rows in creation order (then identifier order).
    std::vector<BackupRecord> ListBackups();
    std::string GetLastError() const;

private:
    int32_t ExecLocked(const std::string& sql);

    const VFS_TYPE m_vfsType;
    const bool m_create;
    mutable std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_path;
    std::string m_error;
};
