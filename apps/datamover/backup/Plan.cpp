// Before anything is read: the request checked, the repository found (or made) and the parent backup judged
// sound enough to lay an incremental on.
#include "apps/datamover/backup/BackupJob.h"

#include <fcntl.h>
#include <libaio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

#include "apps/datamover/backup/ChunkedBackup.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/repository/format2/BackupReader.h"
#include "apps/datamover/repository/format2/ChainJournal.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/session/StorageQuery.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"
#include "foundation/JsonUtils.h"
#include "host/TaskMgr.h"
#include "management/ChainManager.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/StrataApi.h"

namespace dmbackup {

namespace {

// The data-area offset the factory will hand the plug-in for these options.
uint64_t DataOffset(int storageType, int offsetKib)
{
    if (storageType == QRM_STRATA_RDM) return 0;
    if (offsetKib >= 0) return static_cast<uint64_t>(offsetKib) * 1024;
    return storageType == QRM_STRATA ? 4096 : 0;
}

}  // namespace

bool BackupJob::Validate(std::string& error)
{
    m_code = dmout::ErrorCode::BadArgument;
    // One chain per volume whatever the case the caller wrote its UUID in.
    m_o.volumeId = dmtask::NormalVolumeId(m_o.volumeId);
    if (!dmtask::ValidVolumeId(m_o.volumeId)) {
        error = "bad volume id '" + m_o.volumeId + "': expected a UUID like 1b4e28ba-2fa1-11d2-883f-0016d3cca427";
        return false;
    }
    if (!dmtask::ParseStrataUrl(m_o.snapshotUrl, m_url, error)) return false;
    if (m_o.storageType != QRM_STRATA && m_o.storageType != KVM_STRATA && m_o.storageType != QRM_STRATA_RDM) {
        error = "storage type " + std::to_string(m_o.storageType) + " is not a block-storage type (0, 1 or 6)";
        return false;
    }
    if (m_o.offsetKib < -1 || m_o.offsetKib > 1048576) {
        error = "bad --offset-kib " + std::to_string(m_o.offsetKib) + ": -1 (the storage type's default) to 1048576";
        return false;
    }
    if (m_o.io != "aio" && m_o.io != "threads") {
        error = "bad --io '" + m_o.io + "': aio or threads";
        return false;
    }
    if (m_o.depth < 1 || m_o.depth > 64) {
        error = "bad --depth " + std::to_string(m_o.depth) + ": 1 to 64";
        return false;
    }
    m_incremental = !m_o.parentSnapshot.empty();
    if (m_incremental && !dmtask::CheckStorageName("parent snapshot", m_o.parentSnapshot, error)) return false;
    if (m_incremental && m_o.parentSnapshot == m_url.name) {
        error = "the parent snapshot is the snapshot being backed up";
        return false;
    }
    m_dataOffset = DataOffset(m_o.storageType, m_o.offsetKib);
    uint64_t deviceSize = 0;
    if (!m_o.volumeSize.empty()) {
        if (!dmtask::ParseSize(m_o.volumeSize, deviceSize) || deviceSize > (1ULL << 60)) {
            error = "bad --volume-size '" + m_o.volumeSize + "': a number of bytes with an optional K, M, G or T " +
                    "suffix, at most 1024P";
            return false;
        }
        if (deviceSize % 512 != 0) {
            error = "bad --volume-size '" + m_o.volumeSize + "': " + std::to_string(deviceSize) +
                    " bytes is not a multiple of 512";
            return false;
        }
        if (deviceSize <= m_dataOffset) {
            error = "the data-area offset (" + std::to_string(m_dataOffset) + " bytes" +
                    (m_o.offsetKib >= 0 ? ", --offset-kib " + std::to_string(m_o.offsetKib) : std::string()) +
                    ") leaves nothing of a " + std::to_string(deviceSize) + "-byte volume (--volume-size " +
                    m_o.volumeSize + ")";
            return false;
        }
        m_dataSize = deviceSize - m_dataOffset;
    } else if (!m_incremental) {
        error = "a full backup needs --volume-size";
        return false;
    }
    if (dmrepo3::IsFormat3(m_o.repoPath)) return ValidateChunked(error);
    // Read-only look at the repository: a bad request must change nothing.
    std::error_code ec;
    bool exists = std::filesystem::exists(m_o.repoPath + "/" + repo::kMarkerFile, ec);
    if (m_incremental) {
        m_code = dmout::ErrorCode::NotFound;
        if (!exists) {
            error = m_o.repoPath + " is not a backup repository";
            return false;
        }
        if (!m_repo.Open(m_o.repoPath, false, error)) return false;
        bool found = false;
        for (const repo::BackupInfo& b : m_repo.ListBackups(m_o.volumeId)) {
            if (b.manifest.snapshot == m_o.parentSnapshot) {
                m_parent = b;  // the newest backup of that snapshot wins
                found = true;
            }
        }
        if (!found) {
            error = "no complete backup of snapshot " + m_o.parentSnapshot + " for volume " + m_o.volumeId + " in " +
                    m_repo.Root() +
                    " ('datamover list' shows the backups; without --parent-snapshot the backup is full)";
            return false;
        }
        // An incremental is only as good as what it is laid on: the parent's
        // whole chain must resolve and its tables and bindings hold before
        // anything is read, or the new backup would be unrestorable from birth.
        repo::ChainReader parentChain;
        if (!parentChain.Open(m_repo, m_parent, error)) {
            m_code = dmout::ErrorCode::Damaged;
            error = "the parent backup " + m_parent.manifest.backupId + " of snapshot " + m_o.parentSnapshot +
                    " cannot be restored (" + error + "); nothing was backed up. Take a full backup (leave out "
                    "--parent-snapshot), and run 'datamover verify' on the repository";
            return false;
        }
        m_code = dmout::ErrorCode::Refused;
        if (m_dataSize == 0) {
            m_dataSize = m_parent.manifest.volumeSize;
        }
        if (m_dataSize != m_parent.manifest.volumeSize || m_dataOffset != m_parent.manifest.dataOffset ||
            m_o.storageType != m_parent.manifest.storageType) {
            error = "the volume's geometry differs from backup " + m_parent.manifest.backupId +
                    "; take a full backup";
            return false;
        }
    } else if (!exists && std::filesystem::exists(m_o.repoPath, ec) &&
               !std::filesystem::is_empty(m_o.repoPath, ec)) {
        error = m_o.repoPath + " exists and is not a backup repository";
        return false;
    } else if (!exists) {
        return PlanNewRepository(error);
    }
    return true;
}

bool BackupJob::PlanNewRepository(std::string& error)
{
    // Everything that could refuse the request is asked here, before the
    // repository is made: a bad request must leave the path as it was.
    if (m_o.io == "aio") {
        error = "--io aio writes a format-2 data file, and a new repository is format 3: use --io threads, or "
                "make a format-2 repository first ('datamover init --format 2')";
        return false;
    }
    const std::string file = dmrepo3::PassphraseFile(m_o.passwordFile);
    if (!file.empty() && !dmrepo3::ReadPassphrase(file, m_newPassphrase, error)) return false;
    m_newEncrypted = !file.empty();
    m_createRepository = true;
    return true;
}

bool BackupJob::CreateRepository(std::string& error)
{
    std::string root, repositoryId;
    if (!dmrepo3::Create(m_o.repoPath, m_newEncrypted, m_newPassphrase, root, repositoryId, m_code, error)) {
        // Another backup into the same new path made it a moment ago: use that one.
        if (!dmrepo3::IsFormat3(m_o.repoPath)) return false;
    } else {
        m_created = std::string("format-3 repository created at ") + root + " (encryption " +
                    (m_newEncrypted ? "repokey" : "none") + ")";
        std::cerr << "datamover: " << m_created
                  << (m_newEncrypted ? "; keep the passphrase: without it nothing can be restored"
                                     : "; a password file would have made it encrypted")
                  << std::endl;
    }
    return ValidateChunked(error);
}

bool BackupJob::ValidateChunked(std::string& error)
{
    if (m_o.io == "aio") {
        m_code = dmout::ErrorCode::BadArgument;
        error = "--io aio writes into a data file; a format-3 repository stores chunks: use --io threads";
        return false;
    }
    m_chunked = std::make_unique<dmbackup3::ChunkedBackup>();
    if (!m_chunked->Open(m_o.repoPath, m_o.passwordFile, m_o.volumeId, m_o.parentSnapshot, m_code, error,
                         m_newEncrypted ? &m_newPassphrase : nullptr)) {
        return false;
    }
    m_chunked->UseChunkCache(m_ctx.root + "/var/chunk-cache");
    if (!m_incremental) return true;
    // The parent's record in the shape the shared steps (identity check, messages) read.
    const repo3::IndexMeta& p = m_chunked->Parent();
    m_parent.manifest.backupId = p.backupId;
    m_parent.manifest.snapshot = p.snapshot;
    m_parent.manifest.snapshotIdentity = p.snapshotIdentity;
    m_parent.manifest.volumeSize = p.volumeSize;
    m_parent.manifest.dataOffset = p.dataOffset;
    m_parent.manifest.storageType = p.storageType;
    m_code = dmout::ErrorCode::Refused;
    if (m_dataSize == 0) m_dataSize = p.volumeSize;
    if (m_dataSize != p.volumeSize || m_dataOffset != p.dataOffset || p.blockSize != repo::kBlockSize ||
        (p.storageType >= 0 && m_o.storageType != p.storageType)) {
        error = "the volume's geometry differs from backup " + p.backupId + "; take a full backup";
        return false;
    }
    return true;
}

// The storage knows the snapshot's size; a stated or inherited size that
// disagrees would back up part of the volume (or read past its end).
bool BackupJob::CheckSnapshotSize(std::string& error)
{
    uint64_t deviceSize = 0;
    if (!dmtask::AttachedDeviceSize(m_url, deviceSize, error)) {
        error += "; nothing was backed up";
        return false;
    }
    uint64_t expected = m_dataOffset + m_dataSize;
    if (deviceSize == expected) return true;
    std::string stated = !m_o.volumeSize.empty() ? "--volume-size " + m_o.volumeSize + " (" + std::to_string(expected) +
                                                       " bytes)"
                                                 : "backup " + m_parent.manifest.backupId + " of the parent (" +
                                                       std::to_string(expected) + " bytes)";
    error = "snapshot " + m_url.name + " holds " + std::to_string(deviceSize) + " bytes, but " + stated +
            " says otherwise; nothing was backed up" +
            (m_incremental ? " (the volume was resized since its parent: take a full backup)" : "");
    return false;
}

void BackupJob::CheckIdentities()
{
    std::string error;
    if (!dmtask::SnapshotIdentity(m_url, m_snapshotIdentity, error)) {
        // A storage without the query backs up as before; the name alone is recorded.
        m_snapshotIdentity.clear();
        m_warning = "the storage gave no identity of snapshot " + m_url.name + " (" + error + ")";
    }
    const std::string& recorded = m_parent.manifest.snapshotIdentity;
    if (!m_incremental || recorded.empty()) return;
    dmtask::StrataUrl parent = m_url;
    parent.name = m_o.parentSnapshot;
    std::string now;
    if (!dmtask::SnapshotIdentity(parent, now, error)) {
        m_fullReadReason = "parent snapshot " + m_o.parentSnapshot + " cannot be identified (" + error + ")";
    } else if (now != recorded) {
        m_fullReadReason = "parent snapshot " + m_o.parentSnapshot + " was re-created";
    }
}

}  // namespace dmbackup
