// The snapshot store of one backup chain: a directory store under the chain's
// storage path. Metadata lives in <storagePath>/SNAPS_DIR (the chain's
// identity and its lock file); each stored backup is one directory under
// <storagePath>/backups. With SNAPSTORE_EXCLUSIVE the store holds an advisory
// lock on the chain for its lifetime, so a second process cannot open the same
// chain while a backup writes it; the kernel drops the lock if the process dies.
// One object per chain user; not shared between threads without outside locking.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class SnapStore {
public:
    // Bits of the initialisation parameter.
    static constexpr uint32_t SNAPSTORE_CREATE = 1u;     // create the storage path when missing
    static constexpr uint32_t SNAPSTORE_EXCLUSIVE = 2u;  // hold the chain lock (writers)
    static const char META_DIR[];                        // "SNAPS_DIR"
    static const char ENTRIES_DIR[];                     // "backups"

    SnapStore();
    virtual ~SnapStore();
    SnapStore(const SnapStore&) = delete;
    SnapStore& operator=(const SnapStore&) = delete;

    // Prepares the store at `storagePath` for the chain whose serialized
    // ChainID is `chainId`. False when the path cannot be used, the identity is
    // not a valid ChainID, the path already holds a different chain, or (with
    // SNAPSTORE_EXCLUSIVE) another holder has the chain locked.
    virtual bool Init(const std::string& storagePath, uint32_t param, const std::string& chainId);
    void setDomainUuid(const std::string& domainUuid);
    std::string getDomainUuid() const { return m_domainUuid; }

    bool IsReady() const { return m_ready; }
    bool IsLocked() const { return m_lockFd >= 0; }
    std::string GetStoragePath() const { return m_storagePath; }
    std::string GetMetaDir() const;
    std::string GetErrorInfo() const { return m_error; }

    // Entry names are plain file names: letters, digits, '.', '_' and '-', not
    // starting with '.'.
    static bool ValidEntryName(const std::string& name);
    std::string EntryPath(const std::string& name) const;
    // Creates the entry's directory; false if it exists or the name is unsafe.
    bool CreateEntry(const std::string& name, std::string& path);
    bool EntryExists(const std::string& name) const;
    // Entry names in ascending order.
    std::vector<std::string> ListEntries() const;
    // Removes the entry's directory and everything in it.
    bool RemoveEntry(const std::string& name);

private:
    bool CheckIdentity(const std::string& chainId);
    bool TakeLock();

    std::string m_storagePath;
    std::string m_domainUuid;
    std::string m_error;
    int m_lockFd = -1;
    bool m_ready = false;
};
