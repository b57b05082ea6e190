#include "host/DataMoverDB.h"

#include <ctime>

#include "host/Logger.h"
#include "host/SqliteUtil.h"

namespace {
const char MODULE_NAME[] = "DataMoverDB";

void Log(int level, const std::string& text)
{
    CLogger::GetInstance()->LogEx(level, MODULE_NAME, 0, "DataMoverDB", 0, text);
}
}  // namespace

DataMoverDB::~DataMoverDB()
{
    if (m_db != nullptr) {
        sqlite3_close(m_db);
    }
}

bool DataMoverDB::Open(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_db != nullptr) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    m_db = sqlite_util::OpenDatabase(path, true, nullptr, m_error);
    if (m_db == nullptr) {
        Log(4, "Open data mover database [" + path + "] failed: " + m_error);
        return false;
    }
    char* err = nullptr;
    int rc = sqlite3_exec(m_db,
                          "CREATE TABLE IF NOT EXISTS chains (storage_path TEXT PRIMARY KEY, "
                          "chain_db TEXT NOT NULL, registered_at INTEGER NOT NULL)",
                          nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        m_error = err != nullptr ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        Log(4, "Create data mover schema failed: " + m_error);
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    return true;
}

bool DataMoverDB::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_db != nullptr;
}

int32_t DataMoverDB::RegisterChain(const std::string& storagePath, const std::string& chainDbPath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sqlite_util::Statement st(m_db, "INSERT OR REPLACE INTO chains (storage_path, chain_db, registered_at) "
                                    "VALUES (?1, ?2, ?3)");
    if (!st.Ok()) {
        m_error = m_db != nullptr ? sqlite3_errmsg(m_db) : "database not open";
        return -1;
    }
    st.Bind(1, storagePath).Bind(2, chainDbPath).Bind(3, static_cast<int64_t>(::time(nullptr)));
    if (st.Step() != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        Log(4, "Register chain [" + storagePath + "] failed: " + m_error);
        return -1;
    }
    return 0;
}

int32_t DataMoverDB::UnregisterChain(const std::string& storagePath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sqlite_util::Statement st(m_db, "DELETE FROM chains WHERE storage_path = ?1");
    if (!st.Ok()) {
        m_error = m_db != nullptr ? sqlite3_errmsg(m_db) : "database not open";
        return -1;
    }
    st.Bind(1, storagePath);
    return st.Step() == SQLITE_DONE ? 0 : -1;
}

std::vector<DataMoverDB::ChainRecord> DataMoverDB::ListChains()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ChainRecord> out;
    sqlite_util::Statement st(m_db, "SELECT storage_path, chain_db, registered_at FROM chains ORDER BY storage_path");
    while (st.Ok() && st.Step() == SQLITE_ROW) {
        out.push_back(ChainRecord{st.Text(0), st.Text(1), st.Int(2)});
    }
    return out;
}

std::string DataMoverDB::GetLastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}
