// The data mover's own database: which backup chains exist on this node and
// where their chain databases live. A chain database registers itself here
// when the chain manager hands it the interface. SQLite underneath; one
// connection per object, serialised by the object's mutex, so one object may
// be shared by threads. Operations are virtual so tests can observe them.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class DataMoverDB {
public:
    struct ChainRecord {
        std::string storagePath;
        std::string chainDbPath;
        int64_t registeredAt = 0;
    };

    DataMoverDB() = default;
    virtual ~DataMoverDB();
    DataMoverDB(const DataMoverDB&) = delete;
    DataMoverDB& operator=(const DataMoverDB&) = delete;

    // Opens (creating when missing) the database file; its directory must exist.
    virtual bool Open(const std::string& path);
    bool IsOpen() const;
    // Records (or refreshes) the chain of `storagePath`. 0 on success, -1 on failure.
    virtual int32_t RegisterChain(const std::string& storagePath, const std::string& chainDbPath);
    virtual int32_t UnregisterChain(const std::string& storagePath);
    virtual std::vector<ChainRecord> ListChains();
    std::string GetLastError() const;

private:
    mutable std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_error;
};
