// The restore job from its start to its report.
#include "apps/datamover/restore/RestoreJob.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/datamover/output/Console.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/format2/BackupReader.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/session/RestoreRecord.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"
#include "foundation/CachedTaskData.h"
#include "foundation/JsonUtils.h"
#include "storage_access/StrataApi.h"

namespace dmrestore {

int RestoreJob::Fail(const std::string& text)
{
    CloseTargetRead();
    if (m_diskOpen) {
        m_disk->CloseDisk();
        m_diskOpen = false;
    }
    m_disk.reset();
    dmtask::SetAbortTarget(nullptr);
    bool leftovers = m_task.HasLeftovers();
    m_task.End();
    std::string line = text;
    if (leftovers) line += " (storage leftovers remain: run 'datamover clean --task " + m_task.Id() + "')";
    if (!m_record.empty()) line += "; the content of " + m_url.name + " is incomplete";
    PrintError(m_ctx, dmtask::Interrupted() ? dmout::ErrorCode::Interrupted : m_code, line);
    return 1;
}

int RestoreJob::Run()
{
    std::string error;
    m_localPath = !m_o.toFile.empty() ? m_o.toFile : m_o.toDevice;
    int targets = (m_o.volumeUrl.empty() ? 0 : 1) + (m_o.toFile.empty() ? 0 : 1) + (m_o.toDevice.empty() ? 0 : 1);
    if (m_o.verifyOnly && targets > 0) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument,
                   "--verify-only writes nothing: give no --volume-url, --to-file or --to-device");
        return 2;
    }
    if (!m_o.verifyOnly && targets != 1) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument,
                   "give one target: --volume-url, --to-file or --to-device (or --verify-only)");
        return 2;
    }
    if (!m_o.volumeUrl.empty() && !dmtask::ParseStrataUrl(m_o.volumeUrl, m_url, error)) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    m_o.volumeId = dmtask::NormalVolumeId(m_o.volumeId);
    if (!m_o.volumeId.empty() && !dmtask::ValidVolumeId(m_o.volumeId)) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument, "bad volume id '" + m_o.volumeId + "': expected a UUID");
        return 2;
    }
    if (m_o.depth < 1 || m_o.depth > 64) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument, "bad --depth " + std::to_string(m_o.depth) + ": 1 to 64");
        return 2;
    }
    int rc = 1;
    if (!OpenPoint(rc)) return rc;
    char resolved[PATH_MAX];
    m_repoReal = ::realpath(m_repoRoot.c_str(), resolved) != nullptr ? resolved : m_repoRoot;
    if (!m_o.volumeUrl.empty()) {
        if (NamesBackedUpSnapshot(error)) {
            PrintError(m_ctx, dmout::ErrorCode::Refused, error);
            return 1;
        }
        m_targetKey = dmtask::RestoreTargetKey(m_o.volumeUrl);
        if (!m_targetLock.Acquire(m_ctx.root, m_targetKey, m_task.Id(), error)) {
            PrintError(m_ctx, dmout::ErrorCode::InUse, error + " (nothing was written)");
            return 1;
        }
    }
    dmtask::InstallPauseDivisorFromEnvironment();
    dmtask::InstallSignalHandlers();
    dmtask::SetAbortTarget(&m_task.AbortFlag());
    uint64_t started = dmtask::NowMicros();
    if (m_o.verifyOnly) {
        if (!CheckAll(error)) {
            PrintError(m_ctx, dmtask::Interrupted() ? dmout::ErrorCode::Interrupted : dmout::ErrorCode::Damaged, error);
            return 1;
        }
        return Report(dmtask::SecondsSince(started), 0, 0);
    }
    if (!m_localPath.empty()) return RunLocal(started);
    const repo::Manifest& m = m_target.manifest;
    std::string volumeId = m_o.volumeId.empty() ? m.volumeId : m_o.volumeId;
    Json::Value journal(Json::objectValue);
    journal["volume_id"] = volumeId;
    journal["url"] = m_o.volumeUrl;
    journal["storage_type"] = m.storageType;
    journal["offset_kib"] = static_cast<Json::Int>(m.dataOffset / 1024);
    journal["volume_size"] = Json::UInt64(m.volumeSize);
    journal["repo"] = m_repoRoot;
    journal["backup_id"] = m.backupId;
    if (!m_task.Begin(journal, error)) return Fail(error);
    VolumeParas paras = dmtask::MakeParas(m_task, volumeId, m.volumeSize, m.storageType,
                                          static_cast<int>(m.dataOffset / 1024), false, m_o.volumeUrl, "");
    if (!dmtask::CreateDescriptor(paras, m_disk, error)) return Fail(error);
    dmtask::Status(m_ctx, "attaching volume " + m_url.name + " (the storage settles for a few seconds)");
    EnvProxyResult opened = m_disk->OpenDisk(false);
    if (opened._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return Fail(dmtask::DescribeFailure("opening volume " + m_url.name, opened));
    }
    m_diskOpen = true;
    if (!CheckTarget(error)) return Fail(error);
    double openSeconds = dmtask::SecondsSince(started);
    uint64_t writeStarted = dmtask::NowMicros();
    if (!dmtask::WriteRestoreRecord(m_ctx.root, m_repoRoot, m_task.Id(), m_targetKey, m.backupId, m_record,
                                    error)) {
        m_code = dmout::ErrorCode::Io;
        return Fail(error + "; nothing was written");
    }
    m_code = dmout::ErrorCode::Storage;
    if (!WriteAll(error)) return Fail(m_preRead ? error : StoppedAt(error));
    EnvProxyResult flushed = m_disk->FlushDisk();
    if (flushed._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return Fail(dmtask::DescribeFailure("flushing volume " + m_url.name, flushed));
    }
    double writeSeconds = dmtask::SecondsSince(writeStarted);
    CloseTargetRead();
    EnvProxyResult closed = m_disk->CloseDisk();
    m_diskOpen = false;
    m_disk.reset();
    dmtask::SetAbortTarget(nullptr);
    bool leftovers = m_task.HasLeftovers();
    m_task.End();
    if (closed._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        PrintError(m_ctx, dmout::ErrorCode::Storage, dmtask::DescribeFailure("closing volume " + m_url.name, closed) +
                              (leftovers ? "; run 'datamover clean --task " + m_task.Id() + "'" : ""));
        return 1;
    }
    // The target is whole: earlier records of it no longer hold either.
    dmtask::RestoreCompleted(m_ctx.root, m_repoRoot, m_targetKey);
    m_record.clear();
    return Report(dmtask::SecondsSince(started), openSeconds, writeSeconds);
}

int RestoreJob::Report(double seconds, double openSeconds, double writeSeconds)
{
    const repo::Manifest& m = m_target.manifest;
    uint64_t bytes = m_point->TotalBytes();
    size_t chain = m_point->Backups();
    if (m_ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["backup_id"] = m.backupId;
        out["chain_length"] = static_cast<Json::UInt>(chain);
        if (m_o.verifyOnly) {
            out["bytes_checked"] = Json::UInt64(bytes);
        } else {
            if (m_localPath.empty()) {
                out["volume"] = m_url.name;
            } else {
                out[m_o.toFile.empty() ? "device" : "file"] = m_localPath;
            }
            out["bytes_written"] = Json::UInt64(bytes);
            out["bytes_beyond_backup"] = Json::UInt64(m_targetSize - m.dataOffset - m.volumeSize);
            out["bytes_before_data_kept"] = Json::UInt64(m_heldData ? m.dataOffset : 0);
            out["open_seconds"] = openSeconds;
            out["checked_before_writing"] = m_preRead;
            out["zero_blocks_skipped"] = Json::UInt64(m_zeroBlocksSkipped.load());
            out["settle_seconds"] = StrataSteps::SettleWallSeconds();
            out["write_seconds"] = writeSeconds;
        }
        out["seconds"] = seconds;
        dmtask::PrintJson(out);
    } else {
        std::cout << (m_o.verifyOnly ? "checked backup " : "restored backup ") << m.backupId << " (chain of " << chain
                  << ")" << (m_o.verifyOnly ? std::string() : " into " + (m_localPath.empty() ? m_url.name : m_localPath)) << ": "
                  << dmtask::HumanBytes(bytes) << " in " << dmtask::HumanDuration(seconds) << " ("
                  << dmtask::HumanBytes(seconds > 0 ? static_cast<uint64_t>(bytes / seconds) : 0) << "/s)"
                  << std::endl;
        if (!m_o.verifyOnly && m_targetSize > m.dataOffset + m.volumeSize) {
            std::cout << "the target is larger than the backup: its last "
                      << dmtask::HumanBytes(m_targetSize - m.dataOffset - m.volumeSize) << " were left as they were"
                      << std::endl;
        }
        if (!m_o.verifyOnly && m_heldData && m.dataOffset > 0) {
            std::cout << "the first " << dmtask::HumanBytes(m.dataOffset)
                      << " of the target (before the data area) were left as they were" << std::endl;
        }
    }
    return 0;
}

}  // namespace dmrestore
