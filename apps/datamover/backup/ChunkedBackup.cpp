#include "apps/datamover/backup/ChunkedBackup.h"

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
                          std::string& error)
{
    try {
        // The claim lands before the first lookup, so a collection running
        // now either sees it or has finished deleting before we look.
        m_claim = std::make_unique<repo3::BackupClaim>(*m_repo.store, meta.backupId);
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
    } else {
        try {
            const repo3::PutResult put = m_repo.chunks->Put(data, length);
            m_index.blocks[index] = put.id;
            if (put.stored) {
                ++m_stored;
                m_bytesStored += put.storedBytes;
            } else {
                ++m_deduplicated;
            }
        } catch (const std::exception& e) {
            error = "cannot store block " + std::to_string(index) + ": " + e.what();
            return false;
        }
    }
    if (++m_done == (m_expected + 1) / 2) dmtask::CrashPoint("backup3-half-stored");
    return true;
}

bool ChunkedBackup::Commit(std::string& error)
{
    dmtask::CrashPoint("backup3-before-index");
    try {
        m_repo.indexes->Write(m_index);
    } catch (const std::exception& e) {
        error = std::string("cannot write the backup's index: ") + e.what();
        return false;
    }
    dmtask::CrashPoint("backup3-index-written");
    Abandon();
    return true;
}

void ChunkedBackup::Abandon()
{
    if (!m_claim) return;
    try {
        m_claim->Release();
    } catch (const std::exception&) {
        // A claim left behind only defers collections; 'datamover clean --repo' breaks it.
    }
    m_claim.reset();
}

}  // namespace dmbackup3
