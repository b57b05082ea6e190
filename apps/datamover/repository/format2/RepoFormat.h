// The backup repository on disk (described in REPOSITORY_FORMAT.md): one
// directory per chain (per volume), each backup a directory holding its data
// file, its block table and, written last and atomically, its manifest. A
// backup without a manifest is incomplete and never listed or restored.
// Functions here touch only the repository; callers serialise writers of one
// chain through the chain lock. Safe to call from any thread on distinct objects.
#pragma once
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace repo {

constexpr uint64_t kBlockSize = 4194304;  // the changed-range granularity
constexpr int kFormatVersion = 2;     // manifests and repositories written now
constexpr int kOldestFormatVersion = 1;  // still read: tables not bound to their backup
constexpr size_t kTableIdField = 64;  // bytes of the backup id in a version-2 table
extern const char kMarkerFile[];      // "DATAMOVER-REPOSITORY"
extern const char kMoverDbFile[];     // "datamover.db"
extern const char kChainsDir[];       // "chains"
extern const char kManifestFile[];    // "manifest.json"
extern const char kTableFile[];       // "blocks.crc"
extern const char kFullDataFile[];    // "volume.img"  (sparse image, block i at i * block size)
extern const char kIncrDataFile[];    // "blocks.dat"  (changed blocks packed in table order)

// One stored block: its index in the volume, its length (the last block of a
// volume may be short) and the CRC-32 of its bytes.
struct BlockEntry {
    uint64_t index = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
};

struct Manifest {
    int format = kFormatVersion;
    std::string backupId;
    std::string kind;  // "full" or "incremental"
    std::string volumeId;
    uint64_t volumeSize = 0;   // bytes of the data area that was backed up
    uint64_t dataOffset = 0;   // data-area offset on the device
    int storageType = 0;
    uint64_t blockSize = kBlockSize;
    std::string snapshotUrl;
    std::string snapshot;
    std::string parentBackup;    // empty for a full backup
    std::string parentSnapshot;  // empty for a full backup
    int64_t createdAt = 0;
    int64_t createdAtMicros = 0;  // the same instant in microseconds (orders backups of one second)
    int64_t finishedAt = 0;
    uint64_t blocks = 0;        // entries of the block table
    uint64_t changedBytes = 0;  // bytes the table covers (read from the snapshot)
    uint64_t storedBytes = 0;   // bytes written to the data file (zero blocks stay holes)
    bool usedFull = false;      // incremental that had to read everything
    std::string dataFile;
    // Format 2: CRC-32C of the table without its trailer (binds the table);
    // format 1: of the whole file, which is the same for every table.
    uint32_t tableCrc = 0;
    std::string dirtyRangesFile;  // relative to the chain directory; empty for a full backup
    uint32_t dirtyRangesCrc = 0;  // CRC-32 of that whole file
    // The storage's identity of the snapshot read, and of the parent's (empty
    // where the storage gave none): a snapshot deleted and re-created under the
    // same name has another identity.
    std::string snapshotIdentity;
    std::string parentSnapshotIdentity;
    // Whether the manifest carried its own checksum (written since the
    // checksum was added; older manifests are checked field by field only).
    bool checksummed = false;

    // ToJson includes "manifest_crc", the checksum of every other field
    // (ManifestCrc); FromJson refuses a manifest whose checksum does not hold.
    Json::Value ToJson() const;
    bool FromJson(const Json::Value& v, std::string& error);
};

// CRC-32C of the manifest's fields other than "manifest_crc": for each member
// in ascending key order, "key=value\n", a string's value as its bytes, a
// number in decimal, a boolean as true or false.
uint32_t ManifestCrc(const Json::Value& v);
// Whether `child` may follow `parent` in a chain: the id it names, the same
// volume and geometry, the snapshot (and its identity, where both recorded
// one) it names as its parent's, and an earlier creation. False with the reason.
bool FollowsParent(const Manifest& parent, const Manifest& child, std::string& error);

struct BackupInfo {
    std::string chainDir;
    std::string dir;
    Manifest manifest;
};

// A backup directory whose manifest is missing or cannot be read.
struct PartialBackup {
    std::string chainDir;
    std::string backupId;
    std::string dir;
    bool manifestMissing = true;  // false: present but unreadable
    std::string reason;
};

// A block table as read: its version, the backup it names (version 2) and the
// checksums that bind it to a manifest.
struct BlockTable {
    uint32_t version = 0;
    std::string backupId;   // empty in version 1
    uint32_t bodyCrc = 0;   // of every byte before the trailer
    uint32_t fileCrc = 0;   // of the whole file
    std::vector<BlockEntry> entries;
};

// CRC-32C (Castagnoli), in hardware where the processor has it; `seed` is the
// checksum of the bytes before `data` (0 to start).
uint32_t BlockCrc(const void* data, size_t length, uint32_t seed = 0);
// The same, always computed by table (for tests and machines without SSE4.2).
uint32_t BlockCrcPortable(const void* data, size_t length, uint32_t seed = 0);
bool IsAllZero(const void* data, size_t length);
// The checksum of `length` zero bytes (a block of a hole).
uint32_t ZeroBlockCrc(uint32_t length);
uint64_t BlockCount(uint64_t volumeSize, uint64_t blockSize);
uint32_t BlockLength(uint64_t index, uint64_t volumeSize, uint64_t blockSize);
std::string NewBackupId();
bool ValidBackupId(const std::string& id);

// Writes `data` to `path` through a temporary file, fsync and rename, then
// fsyncs the directory: readers see the old file or the whole new one.
bool WriteFileAtomic(const std::string& path, const std::string& data, std::string& error);
bool ReadWholeFile(const std::string& path, std::string& data, std::string& error);
bool FileCrc(const std::string& path, uint32_t& crc, std::string& error);
bool FsyncDir(const std::string& dir);

// Writes a version-2 table naming `backupId`; `bodyCrc` is what the manifest keeps.
bool WriteTable(const std::string& path, const std::string& backupId, const std::vector<BlockEntry>& entries,
                uint32_t& bodyCrc, std::string& error);
bool ReadTable(const std::string& path, BlockTable& table, std::string& error);
// Whether `table` is the one `manifest` was written with; false with the reason.
bool TableMatches(const Manifest& manifest, const BlockTable& table, std::string& error);

bool WriteManifest(const std::string& backupDir, const Manifest& manifest, std::string& error);
bool ReadManifest(const std::string& backupDir, Manifest& manifest, std::string& error);

class Repository {
public:
    // Opens the repository at `path`; with `create` a missing one is made.
    bool Open(const std::string& path, bool create, std::string& error);
    const std::string& Root() const { return m_root; }
    std::string ChainDir(const std::string& volumeId) const;
    std::string MoverDbPath() const { return m_root + "/" + kMoverDbFile; }
    std::vector<std::string> ListChains() const;  // volume ids
    // Complete backups of one chain (or of all when empty), oldest first.
    std::vector<BackupInfo> ListBackups(const std::string& volumeId = "") const;
    // Backups whose manifest is missing or unreadable.
    std::vector<PartialBackup> ListPartial(const std::string& volumeId = "") const;
    // The complete backup `backupId`; false with the reason, and `missing` set
    // when no backup directory of that id exists at all (not incomplete or damaged).
    bool FindBackup(const std::string& backupId, BackupInfo& info, std::string& error, bool* missing = nullptr) const;
    // The backups a restore of `target` reads, the full backup first; each
    // parent is looked up in the target's own chain by the id its child names.
    bool ResolveChain(const BackupInfo& target, std::vector<BackupInfo>& chain, std::string& error) const;

private:
    std::string m_root;
};

}  // namespace repo
