// The backup point to restore, opened from a chain or an index, and its blocks read and checked.
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

bool RestoreJob::OpenPoint(int& rc)
{
    std::string error;
    if (dmrepo3::IsFormat3(m_o.repoPath)) {
        m_repo3 = std::make_unique<dmrepo3::Repo3>();
        dmout::ErrorCode code = dmout::ErrorCode::Damaged;
        repo3::BackupIndex index;
        if (!dmrepo3::Open(m_o.repoPath, m_o.passwordFile, *m_repo3, code, error) ||
            !dmrepo3::FindIndex(*m_repo3, m_o.backupId, index, code, error)) {
            PrintError(m_ctx, code,
                       error + (code == dmout::ErrorCode::Damaged ? "; nothing was written ('datamover verify' says more)"
                                                                  : ""));
            rc = code == dmout::ErrorCode::NotFound ? 2 : dmrepo3::ExitFor(code);
            return false;
        }
        // The index's record in the shape the target checks read.
        repo::Manifest& m = m_target.manifest;
        const repo3::IndexMeta& meta = index.meta;
        m.backupId = meta.backupId;
        m.volumeId = meta.volumeId;
        m.volumeSize = meta.volumeSize;
        m.dataOffset = meta.dataOffset;
        m.blockSize = meta.blockSize;
        m.storageType = meta.storageType >= 0 ? meta.storageType : 0;
        m.snapshotUrl = meta.snapshotUrl;
        m.snapshot = meta.snapshot;
        m.parentBackup = meta.parentBackup;
        m.parentSnapshot = meta.parentSnapshot;
        m_reader3 = std::make_unique<dmrepo3::IndexPointReader>(*m_repo3->chunks, std::move(index));
        m_point = m_reader3.get();
        m_repoRoot = m_repo3->store->Describe();
        return true;
    }
    if (!m_repo.Open(m_o.repoPath, false, error)) {
        PrintError(m_ctx, dmout::ErrorCode::NotFound, error);
        rc = 2;
        return false;
    }
    m_repoRoot = m_repo.Root();
    bool missing = false;
    if (!m_repo.FindBackup(m_o.backupId, m_target, error, &missing)) {
        // A backup that is there but incomplete or damaged is no bad argument.
        PrintError(m_ctx, missing ? dmout::ErrorCode::NotFound : dmout::ErrorCode::Damaged,
                   error + (missing ? "" : "; nothing was written ('datamover verify' says more)"));
        rc = missing ? 2 : 1;
        return false;
    }
    if (!m_reader.Open(m_repo, m_target, error)) {
        PrintError(m_ctx, dmout::ErrorCode::Damaged, "backup " + m_o.backupId + " cannot be restored: " + error);
        rc = 1;
        return false;
    }
    return true;
}

bool RestoreJob::ForEachBlock(const char* label, const std::function<bool(uint64_t, char*, std::string&)>& fn,
                              std::string& error)
{
    std::atomic<uint64_t> done{0};
    auto each = [&](size_t index, char* buffer, std::string& err) {
        if (!m_point->Read(index, buffer, err)) {
            m_code = dmout::ErrorCode::Damaged;  // the backup's block, not the target, failed
            return false;
        }
        if (!fn(index, buffer, err)) return false;
        done += m_point->Length(index);
        return true;
    };
    return dmtask::RunOnThreads(m_ctx, label, m_o.depth, m_point->Blocks(), m_target.manifest.blockSize,
                                m_point->TotalBytes(), done, each, error);
}

bool RestoreJob::CheckAll(std::string& error)
{
    m_preRead = true;
    auto nothing = [](uint64_t, char*, std::string&) { return true; };
    if (ForEachBlock("check", nothing, error)) return true;
    error = "backup " + m_o.backupId + " cannot be restored: " + error;
    return false;
}

}  // namespace dmrestore
