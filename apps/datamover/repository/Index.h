// A backup's complete index: for every block of its volume point, the chunk
// holding it or "zero", with the backup's metadata. Stored once under
// indexes/<volume-id>/<backup-id>, sealed (or hashed, unencrypted) together
// with both names, so an index read under another backup's name is refused.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"

namespace repo3 {

extern const char kIndexesPrefix[];  // "indexes/"

struct IndexMeta {
    std::string backupId;
    std::string volumeId;
    uint64_t volumeSize = 0;  // bytes of the data area
    uint64_t dataOffset = 0;
    uint64_t blockSize = 4194304;
    std::string parentBackup;  // empty for a full backup
    std::string snapshot;
    std::string snapshotIdentity;
    int64_t createdAtMicros = 0;
    // Optional members (absent from indexes written before they existed):
    int storageType = -1;        // the product's storage type; -1 when not recorded
    std::string snapshotUrl;     // the snapshot read, as the user named it
    std::string parentSnapshot;  // the snapshot an incremental's changed ranges were taken against
};

struct BackupIndex {
    IndexMeta meta;
    std::vector<std::optional<ChunkId>> blocks;  // nullopt: an all-zero block
};

// An index that cannot be used (missing, damaged, forged, another backup's); names it.
class IndexError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct IndexName {
    std::string volumeId;
    std::string backupId;
};

// Letters, digits, '-' and '_', 1 to 128 of them: what a volume or backup id may be.
bool ValidIndexId(const std::string& id);
uint64_t IndexBlockCount(uint64_t volumeSize, uint64_t blockSize);

// Bytes of block `i` of the index's volume (the last one may be short); 0 past the end.
uint64_t IndexBlockLength(const IndexMeta& meta, uint64_t i);
// Block `i`'s bytes: zeros, or its chunk, which must be exactly the block's
// length. ChunkError or IndexError otherwise, never short or foreign data.
std::string ReadBlock(const ChunkStore& chunks, const BackupIndex& index, uint64_t i);
// The same into `out`, which has room for IndexBlockLength(index.meta, i) bytes.
void ReadBlockInto(const ChunkStore& chunks, const BackupIndex& index, uint64_t i, char* out);
// An incremental's starting point: the parent's blocks under `meta`, which must
// name the parent and keep its volume, size, offset and block size.
BackupIndex ChildIndex(const BackupIndex& parent, const IndexMeta& meta);

class IndexStore {
public:
    IndexStore(ObjectStore& store, const RepoKeys& keys);
    // Stores the index once; IndexError when it is inconsistent or one of that name exists.
    void Write(const BackupIndex& index);
    // The authenticated index of that name; IndexError otherwise.
    BackupIndex Read(const std::string& volumeId, const std::string& backupId) const;
    // Every index object whose name is well-formed (not read), sorted by volume then backup.
    std::vector<IndexName> List() const;
    bool Remove(const std::string& volumeId, const std::string& backupId);
    static std::string ObjectName(const std::string& volumeId, const std::string& backupId);
    // The inverse of ObjectName; false for anything else.
    static bool ParseObjectName(const std::string& object, IndexName& name);

    // The index file's bytes and their inverse (for tests and the format description).
    std::string Encode(const BackupIndex& index) const;
    BackupIndex Decode(const std::string& volumeId, const std::string& backupId, const std::string& file) const;

private:
    ObjectStore& m_store;
    RepoKeys m_keys;
};

}  // namespace repo3
