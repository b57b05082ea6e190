// The backup job from its start to its report: the stages run in order, and a failure at any of them leaves
// nothing behind.
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

int BackupJob::Fail(const std::string& text)
{
    for (int* fd : {&m_dataFd, &m_directFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (m_diskOpen) {
        EnvProxyResult r = m_disk->CloseDisk();
        if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            m_warning = dmtask::DescribeFailure("closing the snapshot", r);
        }
        m_diskOpen = false;
    }
    m_disk.reset();  // a descriptor that still names volumes keeps its cached data
    if (m_chunked) {
        m_chunked->Abandon();
        RemoveChunkedTemporaries();
    }
    if (!m_backupId.empty() && m_chain && m_chain->chainDB) {
        // The journal says "failed" before the data goes: a kill in between
        // leaves a backup that is known never to have completed.
        m_chain->chainDB->SetBackupState(m_backupId, "failed", 0);
        std::error_code ec;
        if (!m_backupDir.empty()) std::filesystem::remove_all(m_backupDir, ec);
        if (!m_dirtyRangesPath.empty()) std::filesystem::remove(m_dirtyRangesPath, ec);
    }
    if (m_chainOpen) {
        TaskID id = TaskMgr::MakeTaskID(m_task.Id());
        TaskMgr::GetInstance()->SetTaskStatus(id, TASK_STATUS_FAILED);
        m_chains.CleanTask(m_task.Id());
        m_chainOpen = false;
    }
    m_chain.reset();
    dmtask::SetAbortTarget(nullptr);
    bool leftovers = m_task.HasLeftovers();
    m_task.End();
    std::string line = text;
    if (leftovers) line += " (storage leftovers remain: run 'datamover clean --task " + m_task.Id() + "')";
    if (m_rangesTask && m_rangesTask->HasLeftovers()) {
        line += " (the bitmap volume remains: run 'datamover clean --task " + m_rangesTask->Id() + "')";
    }
    if (m_rangesTask) m_rangesTask->End();
    PrintError(m_ctx, dmtask::Interrupted() ? dmout::ErrorCode::Interrupted : m_code, line);
    return 1;
}

int BackupJob::Run()
{
    std::string error;
    if (!Validate(error)) {
        PrintError(m_ctx, m_code, error);
        return m_code == dmout::ErrorCode::BadArgument || m_code == dmout::ErrorCode::NotFound ? 2 : 1;
    }
    m_code = dmout::ErrorCode::Storage;
    // Two tasks on one snapshot would share its attachment, and the first to
    // detach would pull it from under the other: the second is refused now.
    if (!m_snapshotLock.Acquire(m_ctx.root, "snapshot strata://" + m_url.manager + "/" + m_url.pool + "/" + m_url.name,
                                m_task.Id(), error)) {
        PrintError(m_ctx, dmout::ErrorCode::InUse, error);
        return 1;
    }
    if (m_createRepository && !CreateRepository(error)) {
        PrintError(m_ctx, m_code, error);
        return 1;
    }
    if (!m_chunked && !m_repo.Open(m_o.repoPath, true, error)) {
        PrintError(m_ctx, dmout::ErrorCode::Io, error);
        return 1;
    }
    dmtask::InstallPauseDivisorFromEnvironment();
    dmtask::InstallSignalHandlers();
    dmtask::SetAbortTarget(&m_task.AbortFlag());
    uint64_t started = dmtask::NowMicros();
    m_createdAtMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    m_createdAt = m_createdAtMicros / 1000000;
    TaskID taskId = TaskMgr::MakeTaskID(m_task.Id());
    if (m_chunked) {
        if (!PrepareChunked(error)) return Fail(error);
    } else {
        int rc = 1;
        if (!PrepareChain(taskId, rc)) return rc;
    }

    Json::Value& journal = m_journal;
    journal = Json::Value(Json::objectValue);
    journal["volume_id"] = m_o.volumeId;
    journal["url"] = m_o.snapshotUrl;
    journal["storage_type"] = m_o.storageType;
    journal["offset_kib"] = m_o.offsetKib;
    journal["volume_size"] = Json::UInt64(m_dataSize);
    journal["repo"] = m_chunked ? m_chunked->Root() : m_repo.Root();
    journal["backup_id"] = m_backupId;
    if (!m_task.Begin(journal, error)) return Fail(error);
    if (!m_chunked) TaskMgr::GetInstance()->SetTaskStatus(taskId, TASK_STATUS_RUNNING);

    CheckIdentities();
    std::string parentUrl = m_incremental ? dmtask::WithName(m_o.snapshotUrl, m_o.parentSnapshot) : "";
    VolumeParas paras = dmtask::MakeParas(m_task, m_o.volumeId, m_dataSize, m_o.storageType, m_o.offsetKib, true,
                                          m_o.snapshotUrl, parentUrl);
    if (!dmtask::CreateDescriptor(paras, m_disk, error)) return Fail(error);
    uint64_t phase = dmtask::NowMicros();
    if (m_incremental && m_fullReadReason.empty()) {
        if (!RangesBesideOpen(paras, error)) return Fail(error);
    } else {
        if (!CollectBlocks(*m_disk, nullptr, error) || !OpenSnapshot(error)) return Fail(error);
        m_openSeconds = SecondsSince(phase);
    }
    phase = dmtask::NowMicros();
    if (!ReadAll(error)) return Fail(error);
    m_readSeconds = SecondsSince(phase);
    EnvProxyResult closed = m_disk->CloseDisk();
    m_diskOpen = false;
    if (closed._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        // The data is complete; only the attachment is left behind.
        m_warning = dmtask::DescribeFailure("closing the snapshot", closed) + "; 'datamover clean --task " +
                    m_task.Id() + "' detaches it";
    }
    uint64_t commitStarted = dmtask::NowMicros();
    if (!Commit(error)) return Fail(error);
    const double commitSeconds = SecondsSince(commitStarted);
    if (m_chunked) {
        RemoveChunkedTemporaries();
        m_storedBytes = m_chunked->BytesStored();
    } else {
        m_chain->chainDB->SetBackupState(m_backupId, "complete", m_storedBytes.load());
        TaskMgr::GetInstance()->SetTaskStatus(taskId, TASK_STATUS_SUCCEEDED);
        m_chains.CleanTask(m_task.Id());
    }
    m_chainOpen = false;
    m_chain.reset();
    m_disk.reset();
    dmtask::SetAbortTarget(nullptr);
    m_task.End();

    double seconds = static_cast<double>(dmtask::NowMicros() - started) / 1e6;
    if (m_ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["backup_id"] = m_backupId;
        out["kind"] = m_incremental ? "incremental" : "full";
        out["parent_backup"] = m_incremental ? m_parent.manifest.backupId : "";
        out["volume_id"] = m_o.volumeId;
        out["snapshot"] = m_url.name;
        out["blocks"] = Json::UInt64(m_blocks.size());
        out["bytes_read"] = Json::UInt64(m_totalBytes);
        out["unwritten_blocks_skipped"] = Json::UInt64(m_unwrittenBlocks);
        out["bytes_stored"] = Json::UInt64(m_storedBytes.load());
        out["used_full"] = m_usedFull;
        if (!m_created.empty()) out["repository_created"] = m_created;
        if (m_chunked) {
            out["chunks_stored"] = Json::UInt64(m_chunked->ChunksStored());
            out["chunks_deduplicated"] = Json::UInt64(m_chunked->ChunksDeduplicated());
        }
        if (!m_fullReadReason.empty()) out["full_read_reason"] = m_fullReadReason;
        out["snapshot_identity"] = m_snapshotIdentity;
        out["seconds"] = seconds;
        out["ranges_seconds"] = m_rangesSeconds;
        out["open_seconds"] = m_openSeconds;
        out["read_seconds"] = m_readSeconds;
        out["commit_seconds"] = commitSeconds;
        // Wall time in which an attach settle was waiting, overlapping ones counted once.
        out["settle_seconds"] = StrataSteps::SettleWallSeconds();
        Json::Value steps(Json::objectValue);
        for (const auto& step : StrataSteps::Seconds()) steps[step.first] = step.second;
        out["step_seconds"] = steps;
        out["task_id"] = m_task.Id();
        if (!m_warning.empty()) out["warning"] = m_warning;
        dmtask::PrintJson(out);
    } else {
        const char* kind = !m_incremental ? "full" : m_usedFull ? "incremental (full read)" : "incremental";
        if (!m_fullReadReason.empty()) std::cout << "incremental (full read): " << m_fullReadReason << std::endl;
        std::cout << "backup " << m_backupId << " (" << kind << ") of "
                  << m_url.name << ": " << m_blocks.size() << " blocks, " << dmtask::HumanBytes(m_totalBytes)
                  << " read, " << dmtask::HumanBytes(m_storedBytes.load()) << " stored in "
                  << dmtask::HumanDuration(seconds) << " ("
                  << dmtask::HumanBytes(seconds > 0 ? static_cast<uint64_t>(m_totalBytes / seconds) : 0) << "/s)"
                  << std::endl;
        if (m_chunked) {
            std::cout << m_chunked->ChunksStored() << " chunks stored, " << m_chunked->ChunksDeduplicated()
                      << " already in the repository" << std::endl;
        }
        if (!m_warning.empty()) std::cerr << "datamover: warning: " << m_warning << std::endl;
    }
    return 0;
}

}  // namespace dmbackup
