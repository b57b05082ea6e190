// The chain-of-files format's side: the journal row before the data, the image or changed blocks written, the
// table and the manifest last.
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

bool BackupJob::PrepareChain(TaskID taskId, int& rc)
{
    auto FailWith = [this](int& out, const std::string& text) {
        out = Fail(text);
        return false;
    };
    m_chainDir = m_repo.ChainDir(m_o.volumeId);

    auto moverDb = std::make_shared<DataMoverDB>();
    moverDb->Open(m_repo.MoverDbPath());  // an index only: a backup does not depend on it
    m_chains.SetDataMoverDBInterface(moverDb);
    Json::Value flat(Json::objectValue);
    flat["volume_id"] = m_o.volumeId;
    flat["snapshot_url"] = m_o.snapshotUrl;
    TaskMgr::GetInstance()->AddTask(taskId, m_chainDir, CJsonUtils::JsonToString(flat));
    TaskMgr::GetInstance()->SetTaskStatus(taskId, TASK_STATUS_PREPARING);
    ChainParams params;
    params.taskId = m_task.Id();
    params.storagePath = m_chainDir;
    params.snapStoreParam = SnapStore::SNAPSTORE_CREATE | SnapStore::SNAPSTORE_EXCLUSIVE;
    BrickData brick;
    brick.add_type(BRICK_TYPE_BLOCK_VOLUME);
    {
        dmtask::FirstErrorCapture capture;
        if (!m_chains.OpenChain(params, brick, m_chain)) {
            std::string why = (m_chain && m_chain->snapStore) ? m_chain->snapStore->GetErrorInfo() : capture.Text();
            TaskMgr::GetInstance()->RemoveTask(taskId);
            m_chain.reset();
            return FailWith(rc, "cannot open the chain of volume " + m_o.volumeId + ": " + why);
        }
    }
    m_chainOpen = true;
    PrunePartial();
    m_backupId = repo::NewBackupId();
    // The journal row comes first, so a backup killed at any later point is
    // known never to have completed.
    ChainDB::BackupRecord record;
    record.backupId = m_backupId;
    record.parentId = m_incremental ? m_parent.manifest.backupId : "";
    record.kind = m_incremental ? "incremental" : "full";
    record.snapshot = m_url.name;
    record.state = "running";
    if (m_chain->chainDB->PutBackup(record) != 0) {
        std::string why = m_chain->chainDB->GetLastError();
        std::string journal;
        if (!dmjournal::JournalReadable(m_chainDir, journal)) why = journal;
        m_backupId.clear();
        m_code = dmout::ErrorCode::Damaged;
        return FailWith(rc, "cannot record the backup in the chain's journal: " + why + "; nothing was backed up");
    }
    if (!m_chain->snapStore->CreateEntry(m_backupId, m_backupDir)) {
        m_backupDir.clear();
        return FailWith(rc, m_chain->snapStore->GetErrorInfo());
    }

    return true;
}

void BackupJob::PrunePartial()
{
    // Under the chain lock no other backup writes this chain: a backup the
    // journal shows unfinished was left by a task that died. Anything else
    // without a readable manifest is damage and stays for the user to see.
    for (const dmjournal::Unfinished& u : dmjournal::Classify(m_repo, m_o.volumeId, true)) {
        std::string ignored;
        if (u.removable && dmjournal::RemoveInterrupted(u, ignored)) {
            m_chain->chainDB->SetBackupState(u.backup.backupId, "abandoned", 0);
        }
    }
}

uint64_t BackupJob::BlockPosition(size_t k) const
{
    return m_incremental ? static_cast<uint64_t>(k) * repo::kBlockSize : m_blocks[k] * repo::kBlockSize;
}

bool BackupJob::RecordBlock(size_t k, const char* data, uint32_t length)
{
    m_entries[k] = repo::BlockEntry{m_blocks[k], length, repo::BlockCrc(data, length)};
    return !repo::IsAllZero(data, length);
}

bool BackupJob::WriteBlock(size_t k, const char* data, uint32_t length, std::string& error)
{
    // Direct writes, as dd's oflag=direct: buffered ones would fill the page
    // cache with the backup and stall in dirty-page throttling. A length
    // that direct I/O cannot take (a volume's odd tail) goes through the cache.
    bool direct = m_directFd >= 0 && length % 4096 == 0;
    int fd = direct ? m_directFd : m_dataFd;
    const uint64_t position = BlockPosition(k);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, data + done, length - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("cannot write the backup data: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool BackupJob::Commit(std::string& error)
{
    if (m_chunked) return m_chunked->Commit(error);
    if (m_directFd >= 0) {
        ::close(m_directFd);
        m_directFd = -1;
    }
    if (::fdatasync(m_dataFd) != 0) {
        error = std::string("cannot sync the backup data: ") + std::strerror(errno);
        return false;
    }
    ::posix_fadvise(m_dataFd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(m_dataFd);
    m_dataFd = -1;
    repo::Manifest m;
    std::vector<repo::BlockEntry> table = m_entries;
    if (!m_incremental && m_unwrittenBlocks > 0) {
        // A full table covers every block: those never written are zeros, holes of the image.
        const uint64_t count = repo::BlockCount(m_dataSize, repo::kBlockSize);
        table.clear();
        table.reserve(count);
        size_t k = 0;
        for (uint64_t index = 0; index < count; ++index) {
            if (k < m_entries.size() && m_entries[k].index == index) {
                table.push_back(m_entries[k++]);
                continue;
            }
            const uint32_t length = repo::BlockLength(index, m_dataSize, repo::kBlockSize);
            table.push_back(repo::BlockEntry{index, length, repo::ZeroBlockCrc(length)});
        }
    }
    uint64_t covered = 0;
    for (const repo::BlockEntry& e : table) covered += e.length;
    if (!repo::WriteTable(m_backupDir + "/" + repo::kTableFile, m_backupId, table, m.tableCrc, error)) return false;
    m.backupId = m_backupId;
    m.kind = m_incremental ? "incremental" : "full";
    m.volumeId = m_o.volumeId;
    m.volumeSize = m_dataSize;
    m.dataOffset = m_dataOffset;
    m.storageType = m_o.storageType;
    m.blockSize = repo::kBlockSize;
    m.snapshotUrl = m_o.snapshotUrl;
    m.snapshot = m_url.name;
    m.snapshotIdentity = m_snapshotIdentity;
    if (m_incremental) {
        m.parentBackup = m_parent.manifest.backupId;
        m.parentSnapshot = m_o.parentSnapshot;
        m.parentSnapshotIdentity = m_parent.manifest.snapshotIdentity;
        m.dirtyRangesFile = ChainManager::metaDataDirectoryName + "/" + m_backupId + ".dirtyRanges";
        if (!repo::FileCrc(m_dirtyRangesPath, m.dirtyRangesCrc, error)) return false;
    }
    m.createdAt = m_createdAt;
    m.createdAtMicros = m_createdAtMicros;
    m.finishedAt = std::time(nullptr);
    m.blocks = table.size();
    m.changedBytes = covered;
    m.storedBytes = m_storedBytes.load();
    m.usedFull = m_usedFull;
    m.dataFile = m_incremental ? repo::kIncrDataFile : repo::kFullDataFile;
    return repo::WriteManifest(m_backupDir, m, error);
}

bool BackupJob::PrepareChunked(std::string& error)
{
    m_backupId = repo::NewBackupId();
    m_chainDir = m_ctx.root + "/var/tmp/backup-" + m_task.Id();
    std::error_code ec;
    std::filesystem::create_directories(m_chainDir, ec);
    if (ec) {
        error = "cannot create " + m_chainDir + ": " + ec.message();
        m_chainDir.clear();
        return false;
    }
    return true;
}

void BackupJob::RemoveChunkedTemporaries()
{
    if (m_chainDir.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_chainDir, ec);
    m_chainDir.clear();
}

}  // namespace dmbackup
