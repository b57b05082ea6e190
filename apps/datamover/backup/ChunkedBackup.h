// The format-3 end of "datamover backup": the plug-in flow (attach, changed
// ranges, reads) stays in BackupJob; here blocks become chunks under a backup
// claim and the backup's complete index is written last.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/GarbageCollector.h"

namespace dmbackup3 {

class ChunkedBackup {
public:
    // Opens the repository; for an incremental, finds the newest readable index
    // of `volumeId` whose snapshot is `parentSnapshot`. False with the code.
    bool Open(const std::string& repoPath, const std::string& passwordFlag, const std::string& volumeId,
              const std::string& parentSnapshot, dmout::ErrorCode& code, std::string& error,
              const std::string* knownPassphrase = nullptr);
    const repo3::IndexMeta& Parent() const { return m_parent.meta; }
    std::string Root() const { return m_repo.store ? m_repo.store->Describe() : ""; }

    // Takes the claim (before any chunk is looked up) and lays out the index:
    // the parent's blocks for an incremental, every block zero for a full one.
    // `blocksToStore`: how many blocks will come, for progress and crash points.
    bool Begin(const repo3::IndexMeta& meta, uint64_t blocksToStore, dmout::ErrorCode& code, std::string& error);
    // Block `index` read from the snapshot; all-zero blocks are recorded, not
    // stored. Any number of threads, each block once.
    bool Store(uint64_t index, const char* data, uint32_t length, std::string& error);
    // Writes the index, then drops the claim.
    bool Commit(std::string& error);
    // A failed backup: the claim goes; stored chunks stay for a re-run (or a collection).
    void Abandon();

    uint64_t ChunksStored() const { return m_stored.load(); }
    uint64_t ChunksDeduplicated() const { return m_deduplicated.load(); }
    uint64_t ZeroBlocks() const { return m_zero.load(); }
    uint64_t BytesStored() const { return m_bytesStored.load(); }

private:
    dmrepo3::Repo3 m_repo;
    repo3::BackupIndex m_parent;
    bool m_hasParent = false;
    repo3::BackupIndex m_index;
    std::unique_ptr<repo3::BackupClaim> m_claim;
    uint64_t m_expected = 0;
    std::atomic<uint64_t> m_done{0};
    std::atomic<uint64_t> m_stored{0};
    std::atomic<uint64_t> m_deduplicated{0};
    std::atomic<uint64_t> m_zero{0};
    std::atomic<uint64_t> m_bytesStored{0};
};

}  // namespace dmbackup3
