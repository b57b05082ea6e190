// Small RAII helpers over the SQLite C API shared by the host's databases.
// A Statement belongs to the thread that holds its connection's lock.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace sqlite_util {

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_stmt != nullptr; }
    Statement& Bind(int index, const std::string& value);
    Statement& Bind(int index, int64_t value);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    std::string Text(int column) const;
    int64_t Int(int column) const;

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Opens `path` with the given VFS (null: default); on failure closes the
// half-open handle and returns null with the reason in `error`.
sqlite3* OpenDatabase(const std::string& path, bool create, const char* vfs, std::string& error);

}  // namespace sqlite_util
