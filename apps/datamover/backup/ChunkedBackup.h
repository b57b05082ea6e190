// The format-3 end of "datamover backup": the plug-in flow (attach, changed
// ranges, reads) stays in BackupJob; here blocks become chunks under a backup
// claim and the backup's complete index is written last.
//
// Store() runs on the reader threads: it hashes, compresses and seals a block
// there (the processor's share) and hands the sealed file to store threads of
// its own, which write and fsync it, so the next blocks are read and sealed
// while earlier ones wait on the disk. A bounded queue between them keeps the
// memory in use to a few blocks whatever the volume's size.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apps/datamover/repository/ChunkCache.h"
#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/cli/Format3Repo.h"

namespace dmbackup3 {

class ChunkedBackup {
public:
    ChunkedBackup() = default;
    ~ChunkedBackup();
    ChunkedBackup(const ChunkedBackup&) = delete;
    ChunkedBackup& operator=(const ChunkedBackup&) = delete;

    // Opens the repository; for an incremental, finds the newest readable index
    // of `volumeId` whose snapshot is `parentSnapshot`. False with the code.
    bool Open(const std::string& repoPath, const std::string& passwordFlag, const std::string& volumeId,
              const std::string& parentSnapshot, dmout::ErrorCode& code, std::string& error,
              const std::string* knownPassphrase = nullptr);
    // A remote repository's chunk list is cached in `dir`/<repository id> (see ChunkCache.h).
    void UseChunkCache(const std::string& dir) { m_cacheDir = dir; }
    const repo3::IndexMeta& Parent() const { return m_parent.meta; }
    std::string Root() const { return m_repo.store ? m_repo.store->Describe() : ""; }

    // Takes the claim (before any chunk is looked up), lays out the index (the
    // parent's blocks for an incremental, every block zero for a full one) and
    // starts `storeThreads` store threads. `blocksToStore`: how many blocks
    // will come, for the crash points.
    bool Begin(const repo3::IndexMeta& meta, uint64_t blocksToStore, dmout::ErrorCode& code, std::string& error,
               int storeThreads = 2);
    // Block `index` read from the snapshot; all-zero blocks are recorded, not
    // stored. Any number of threads, each block once. The chunk may still be
    // on its way to the disk when this returns; false once any store failed.
    bool Store(uint64_t index, const char* data, uint32_t length, std::string& error);
    // Waits for every chunk to be durable, writes the index, then drops the claim.
    bool Commit(std::string& error);
    // A failed backup: the store threads stop, the claim goes; stored chunks
    // stay for a re-run (or a collection).
    void Abandon();

    uint64_t ChunksStored() const { return m_stored.load(); }
    uint64_t ChunksDeduplicated() const { return m_deduplicated.load(); }
    uint64_t ZeroBlocks() const { return m_zero.load(); }
    uint64_t BytesStored() const { return m_bytesStored.load(); }

private:
    struct Sealed {
        uint64_t index = 0;
        repo3::ChunkId id{};
        std::string name;
        std::string file;
    };
    void StoreLoop();
    // Joins the store threads after the queue ran dry (or a failure); the first failure, if any.
    std::string StopStoring();
    void BlockDone();

    dmrepo3::Repo3 m_repo;
    repo3::BackupIndex m_parent;
    bool m_hasParent = false;
    repo3::BackupIndex m_index;
    std::unique_ptr<repo3::BackupClaim> m_claim;
    std::string m_cacheDir;
    std::unique_ptr<repo3::ChunkCache> m_cache;
    uint64_t m_expected = 0;
    std::atomic<uint64_t> m_done{0};
    std::atomic<uint64_t> m_stored{0};
    std::atomic<uint64_t> m_deduplicated{0};
    std::atomic<uint64_t> m_zero{0};
    std::atomic<uint64_t> m_bytesStored{0};

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Sealed> m_queue;  // sealed, not yet handed to a store thread
    size_t m_queueLimit = 4;
    bool m_closing = false;      // no more blocks come: the store threads drain and end
    std::string m_storeError;    // the first failure of a store thread
    std::vector<std::thread> m_storers;
};

}  // namespace dmbackup3
