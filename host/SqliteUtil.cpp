#include "host/SqliteUtil.h"

namespace sqlite_util {

Statement::Statement(sqlite3* db, const std::string& sql)
{
    if (db != nullptr && sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr) != SQLITE_OK) {
        m_stmt = nullptr;
    }
}

Statement::~Statement()
{
    if (m_stmt != nullptr) {
        sqlite3_finalize(m_stmt);
    }
}

Statement& Statement::Bind(int index, const std::string& value)
{
    if (m_stmt != nullptr) {
        sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::Bind(int index, int64_t value)
{
    if (m_stmt != nullptr) {
        sqlite3_bind_int64(m_stmt, index, value);
    }
    return *this;
}

int Statement::Step()
{
    return m_stmt == nullptr ? SQLITE_MISUSE : sqlite3_step(m_stmt);
}

std::string Statement::Text(int column) const
{
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

int64_t Statement::Int(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

sqlite3* OpenDatabase(const std::string& path, bool create, const char* vfs, std::string& error)
{
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, vfs);
    if (rc != SQLITE_OK) {
        error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    // Another process of the same chain may hold the write lock for a moment.
    sqlite3_busy_timeout(db, 5000);
    return db;
}

}  // namespace sqlite_util
