#include "apps/datamover/backup/ChunkedBackup.h"

#include <algorithm>

#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/session/Task.h"

namespace dmbackup3 {

bool ChunkedBackup::Open(const std::string& repoPath, const std::string& passwordFlag, const std::string& volumeId,
                         const std::string& parentSnapshot, dmout::ErrorCode& code, std::string& error,
                         const std::string* knownPassphrase)
{
    if (!dmrepo3::Open(repoPath, passwordFlag, m_repo, code, error, knownPassphrase)) return false;
    if (parentSnapshot.empty()) return true;
    std::string unreadable;
    try {
        for (const repo3::IndexName& n : m_repo.indexes->List()) {
            if (n.volumeId != volumeId) continue;
            try {
                repo3::BackupIndex index = m_repo.indexes->Read(n.volumeId, n.backupId);
                if (index.meta.snapshot != parentSnapshot) continue;
                if (!m_hasParent || index.meta.createdAtMicros > m_parent.meta.createdAtMicros) {
                    m_parent = std::move(index);
                    m_hasParent = true;
                }
            } catch (const std::exception& e) {
                if (unreadable.empty()) unreadable = e.what();
            }
        }
    } catch (const std::exception& e) {
        code = dmout::ErrorCode::Io;
        error = e.what();
        return false;
    }
    if (m_hasParent) return true;
    if (!unreadable.empty()) {
        // The parent may be the one that cannot be read: never guess.
        code = dmout::ErrorCode::Damaged;
        error = "no readable backup of snapshot " + parentSnapshot + " for volume " + volumeId + " in " + repoPath +
                " (" + unreadable + "); nothing was backed up. Take a full backup (leave out --parent-snapshot), "
                "and run 'datamover verify' on the repository";
        return false;
    }
    code = dmout::ErrorCode::NotFound;
    error = "no complete backup of snapshot " + parentSnapshot + " for volume " + volumeId + " in " + repoPath +
            " ('datamover list' shows the backups; without --parent-snapshot the backup is full)";
    return false;
}

bool ChunkedBackup::Begin(const repo3::IndexMeta& meta, uint64_t blocksToStore, dmout::ErrorCode& code,
                          std::string& error, int storeThreads)
{
    try {
        // The claim lands before the first lookup, so a collection running
        // now either sees it or has finished deleting before we look.
        m_claim = std::make_unique<repo3::BackupClaim>(*m_repo.store, meta.backupId);
        if (!m_cacheDir.empty() && repo3::IsRemoteLocation(m_repo.store->Describe())) {
            // Under the claim: no collection deletes while the cache is read or used.
            m_cache = std::make_unique<repo3::ChunkCache>(*m_repo.store, *m_repo.chunks,
                                                          m_cacheDir + "/" + m_repo.keys.repositoryId);
            m_repo.chunks->UseCache(m_cache.get());
        }
        if (m_hasParent) {
            m_index = repo3::ChildIndex(m_parent, meta);
        } else {
            m_index.meta = meta;
            m_index.blocks.assign(repo3::IndexBlockCount(meta.volumeSize, meta.blockSize), std::nullopt);
        }
    } catch (const repo3::RepositoryBusy& e) {
        code = dmout::ErrorCode::InUse;
        error = std::string(e.what()) + "; nothing was backed up, try again when it ends";
        return false;
    } catch (const std::exception& e) {
        code = dmout::ErrorCode::Io;
        error = e.what();
        return false;
    }
    m_expected = blocksToStore;
    // As many sealed chunks wait as there are threads to take them: enough to
    // keep every store thread busy, few enough to bound the memory.
    const int threads = std::max(1, storeThreads);
    m_queueLimit = static_cast<size_t>(threads);
    for (int i = 0; i < threads; ++i) m_storers.emplace_back([this]() { StoreLoop(); });
    return true;
}

bool ChunkedBackup::Store(uint64_t index, const char* data, uint32_t length, std::string& error)
{
    if (index >= m_index.blocks.size() || length != repo3::IndexBlockLength(m_index.meta, index)) {
        error = "block " + std::to_string(index) + " does not fit the volume";
        return false;
    }
    if (repo3::IsAllZero(data, length)) {
        m_index.blocks[index] = std::nullopt;
        ++m_zero;
        BlockDone();
        return true;
    }
    Sealed sealed;
    sealed.index = index;
    try {
        const repo3::ChunkId id = m_repo.chunks->IdOf(data, length);
        m_index.blocks[index] = id;
        sealed.id = id;
        sealed.name = repo3::ChunkStore::ObjectName(id);
        // A cheap look first: a duplicate costs neither compression nor sealing.
        if (m_repo.chunks->Present(id)) {
            ++m_deduplicated;
            BlockDone();
            return true;
        }
        sealed.file = m_repo.chunks->Encode(id, data, length);
    } catch (const std::exception& e) {
        error = "cannot store block " + std::to_string(index) + ": " + e.what();
        return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this]() { return m_queue.size() < m_queueLimit || !m_storeError.empty(); });
    if (!m_storeError.empty()) {
        error = m_storeError;
        return false;
    }
    m_queue.push_back(std::move(sealed));
    m_changed.notify_all();
    return true;
}

void ChunkedBackup::StoreLoop()
{
    for (;;) {
        Sealed sealed;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this]() { return !m_queue.empty() || m_closing || !m_storeError.empty(); });
            if (!m_storeError.empty() || m_queue.empty()) return;  // failed, or closing and drained
            sealed = std::move(m_queue.front());
            m_queue.pop_front();
            m_changed.notify_all();  // a reader may queue the next one
        }
        try {
            // Another block of the same content may have stored it meanwhile.
            if (m_repo.store->PutIfAbsent(sealed.name, sealed.file)) {
                ++m_deduplicated;
            } else {
                m_bytesStored += sealed.file.size();
                // "backup3-chunk-N": killed right after the N-th chunk landed (crash tests).
                dmtask::CrashPoint(("backup3-chunk-" + std::to_string(++m_stored)).c_str());
            }
            m_repo.chunks->NoteStored(sealed.id);
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_storeError.empty()) {
                m_storeError = "cannot store block " + std::to_string(sealed.index) + ": " + e.what();
            }
            m_changed.notify_all();
            return;
        }
        BlockDone();
    }
}

void ChunkedBackup::BlockDone()
{
    // Counted once its chunk is durable (or needs none), so a kill here leaves
    // half the blocks' chunks for a re-run to reuse.
    if (++m_done == (m_expected + 1) / 2) dmtask::CrashPoint("backup3-half-stored");
}

std::string ChunkedBackup::StopStoring()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        m_changed.notify_all();
    }
    for (std::thread& t : m_storers) t.join();
    m_storers.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_closing = false;
    return m_storeError;
}

bool ChunkedBackup::Commit(std::string& error)
{
    // Every chunk the index names is durable before the index is written.
    error = StopStoring();
    if (!error.empty()) return false;
    dmtask::CrashPoint("backup3-before-index");
    try {
        m_claim->Check();  // a claim that may have lapsed cannot vouch for the chunks found present
        m_repo.indexes->Write(m_index);
    } catch (const std::exception& e) {
        error = std::string("cannot write the backup's index: ") + e.what();
        return false;
    }
    dmtask::CrashPoint("backup3-index-written");
    Abandon();
    return true;
}

ChunkedBackup::~ChunkedBackup()
{
    StopStoring();
}

void ChunkedBackup::Abandon()
{
    {
        // A failed backup's queued chunks are not waited for: the store threads stop at the next one.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_storeError.empty() && !m_storers.empty()) m_storeError = "abandoned";
        m_changed.notify_all();
    }
    StopStoring();
    if (m_cache) m_cache->Save();  // what was stored stays stored, index or not
    if (!m_claim) return;
    try {
        m_claim->Release();
    } catch (const std::exception&) {
        // A claim left behind only defers collections; 'datamover clean --repo' breaks it.
    }
    m_claim.reset();
}

}  // namespace dmbackup3
