// An ObjectStore on a local directory: object "a/b/c" is the file <root>/a/b/c.
// Writes go to a dot-named temporary file that is fsynced, then linked (no
// clobber) or renamed into place, and the directory is fsynced; dot-named
// files are never listed, so a crash leaves at worst an invisible temporary.
#pragma once
#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

class LocalDirStore : public ObjectStore {
public:
    // `root` must exist (or be creatable with `create`); throws StorageError otherwise.
    explicit LocalDirStore(std::string root, bool create = false);
    bool PutIfAbsent(const std::string& name, const std::string& data) override;
    void Replace(const std::string& name, const std::string& data) override;
    bool Get(const std::string& name, std::string& data) const override;
    bool Exists(const std::string& name) const override;
    std::vector<std::string> List(const std::string& prefix) const override;
    bool Delete(const std::string& name) override;
    std::string Describe() const override { return m_root; }
    // Temporaries of writers on this host whose process is gone (a crash
    // between write and link); removes them and returns their paths.
    std::vector<std::string> RemoveDeadTemporaries();

private:
    std::string PathOf(const std::string& name) const;
    // Writes `data` to a fresh temporary next to `path`, fsynced; returns its path.
    std::string WriteTemporary(const std::string& path, const std::string& data) const;
    std::string m_root;
};

}  // namespace repo3
