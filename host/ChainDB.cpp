#include "host/ChainDB.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "host/DataMoverDB.h"
#include "host/Logger.h"
#include "host/SqliteUtil.h"

namespace {
const char MODULE_NAME[] = "ChainDB";
const char DB_FILE_NAME[] = "chain.db";

void Log(int level, const std::string& text)
{
    CLogger::GetInstance()->LogEx(level, MODULE_NAME, 0, "ChainDB", 0, text);
}
}  // namespace

VFS_TYPE GetDbVfsTypeByBrickType(BrickType brickType)
{
    return brickType == BRICK_TYPE_NAS_SHARE ? VFS_TYPE_UNIX_DOTFILE : VFS_TYPE_DEFAULT;
}

const char* VfsNameOf(VFS_TYPE type)
{
    return type == VFS_TYPE_UNIX_DOTFILE ? "unix-dotfile" : nullptr;
}

ChainDB::ChainDB(VFS_TYPE vfsType, bool create) : m_vfsType(vfsType), m_create(create) {}

ChainDB::~ChainDB()
{
    if (m_db != nullptr) {
        sqlite3_close(m_db);
    }
}

std::string ChainDB::GetDBFileName() const
{
    return DB_FILE_NAME;
}

int32_t ChainDB::OpenDB(const std::string& fullPath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_db != nullptr) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    m_path = fullPath;
    if (m_create) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(fullPath).parent_path(), ec);
        if (ec) {
            m_error = ec.message();
            Log(4, "Create chain database directory for [" + fullPath + "] failed: " + m_error);
            return -1;
        }
    }
    m_db = sqlite_util::OpenDatabase(fullPath, m_create, VfsNameOf(m_vfsType), m_error);
    if (m_db == nullptr) {
        Log(4, "Open chain database [" + fullPath + "] failed: " + m_error);
        return -1;
    }
    if (ExecLocked("CREATE TABLE IF NOT EXISTS backups (backup_id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, "
                   "kind TEXT NOT NULL, snapshot TEXT NOT NULL, state TEXT NOT NULL, created_at INTEGER NOT NULL, "
                   "stored_bytes INTEGER NOT NULL)") != 0) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return -1;
    }
    return 0;
}

int32_t ChainDB::SetDataMoverDB(const std::shared_ptr<DataMoverDB>& db)
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_db == nullptr || db == nullptr) {
            m_error = m_db == nullptr ? "chain database not open" : "no data mover database";
            return -1;
        }
        path = m_path;
    }
    // <storagePath>/SNAPS_DIR/<file>: the chain is known by its storage path.
    std::string storagePath = std::filesystem::path(path).parent_path().parent_path().string();
    return db->RegisterChain(storagePath, path);
}

bool ChainDB::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_db != nullptr;
}

std::string ChainDB::GetDBPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

int32_t ChainDB::ExecLocked(const std::string& sql)
{
    char* err = nullptr;
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        m_error = err != nullptr ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        Log(4, "Chain database statement failed: " + m_error);
        return -1;
    }
    return 0;
}

int32_t ChainDB::PutBackup(const BackupRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sqlite_util::Statement st(m_db,
                              "INSERT OR REPLACE INTO backups (backup_id, parent_id, kind, snapshot, state, "
                              "created_at, stored_bytes) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!st.Ok()) {
        m_error = m_db != nullptr ? sqlite3_errmsg(m_db) : "chain database not open";
        return -1;
    }
    int64_t created = record.createdAt != 0 ? record.createdAt : static_cast<int64_t>(::time(nullptr));
    st.Bind(1, record.backupId).Bind(2, record.parentId).Bind(3, record.kind).Bind(4, record.snapshot);
    st.Bind(5, record.state).Bind(6, created).Bind(7, static_cast<int64_t>(record.storedBytes));
    if (st.Step() != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        Log(4, "Record backup [" + record.backupId + "] failed: " + m_error);
        return -1;
    }
    return 0;
}

int32_t ChainDB::SetBackupState(const std::string& backupId, const std::string& state, uint64_t storedBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sqlite_util::Statement st(m_db, "UPDATE backups SET state = ?2, stored_bytes = ?3 WHERE backup_id = ?1");
    if (!st.Ok()) {
        m_error = m_db != nullptr ? sqlite3_errmsg(m_db) : "chain database not open";
        return -1;
    }
    st.Bind(1, backupId).Bind(2, state).Bind(3, static_cast<int64_t>(storedBytes));
    if (st.Step() != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        return -1;
    }
    return sqlite3_changes(m_db) == 1 ? 0 : -1;
}

int32_t ChainDB::RemoveBackup(const std::string& backupId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sqlite_util::Statement st(m_db, "DELETE FROM backups WHERE backup_id = ?1");
    if (!st.Ok()) {
        return -1;
    }
    st.Bind(1, backupId);
    return st.Step() == SQLITE_DONE ? 0 : -1;
}

std::vector<ChainDB::BackupRecord> ChainDB::ListBackups()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<BackupRecord> out;
    sqlite_util::Statement st(m_db,
                              "SELECT backup_id, parent_id, kind, snapshot, state, created_at, stored_bytes "
                              "FROM backups ORDER BY created_at, backup_id");
    while (st.Ok() && st.Step() == SQLITE_ROW) {
        BackupRecord r;
        r.backupId = st.Text(0);
        r.parentId = st.Text(1);
        r.kind = st.Text(2);
        r.snapshot = st.Text(3);
        r.state = st.Text(4);
        r.createdAt = st.Int(5);
        r.storedBytes = static_cast<uint64_t>(st.Int(6));
        out.push_back(std::move(r));
    }
    return out;
}

std::string ChainDB::GetLastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}
