// Which blocks a backup reads: the attached snapshot, the changed ranges of an incremental (beside the attach),
// the written extents of a full one.
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

bool BackupJob::OpenSnapshot(std::string& error)
{
    dmtask::Status(m_ctx, "attaching snapshot " + m_url.name + " (the storage settles for a few seconds)");
    {
        dmtask::FirstErrorCapture capture;
        EnvProxyResult r = m_disk->OpenDisk(std::make_shared<CSnapshotID>(m_url.name), true);
        if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            error = dmtask::DescribeFailure("opening snapshot " + m_url.name, r);
            return false;
        }
    }
    m_diskOpen = true;
    if (!CheckSnapshotSize(error)) return false;
    if (!m_incremental) SkipUnwrittenBlocks();
    return true;
}

void BackupJob::SkipUnwrittenBlocks()
{
    // Where the attached snapshot can say which of its bytes were ever written
    // (SEEK_DATA on a sparse file or an export that reports holes), a full
    // backup of a thin volume reads only those; the rest are holes of the
    // image, in the table with the checksum of zeros. Where it cannot, every
    // byte is data and every block is read.
    const std::string device = dmtask::AttachedDevice(m_url);
    int fd = device.empty() ? -1 : ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const uint64_t begin = m_dataOffset;
    const uint64_t end = m_dataOffset + m_dataSize;
    std::vector<bool> written(m_blocks.size(), false);
    bool known = true;
    for (uint64_t at = begin; at < end;) {
        off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0) {
            known = errno == ENXIO;  // ENXIO: no data from here on; anything else: no answer
            break;
        }
        if (static_cast<uint64_t>(data) >= end) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            known = false;
            break;
        }
        const uint64_t to = std::min<uint64_t>(static_cast<uint64_t>(hole), end);
        for (uint64_t b = (static_cast<uint64_t>(data) - begin) / repo::kBlockSize;
             b < written.size() && b * repo::kBlockSize < to - begin; ++b) {
            written[b] = true;
        }
        at = to;
    }
    ::close(fd);
    if (!known) return;
    std::vector<uint64_t> read;
    for (uint64_t index : m_blocks) {
        if (written[index]) read.push_back(index);
    }
    m_unwrittenBlocks = m_blocks.size() - read.size();
    m_blocks.swap(read);
}

bool BackupJob::RangesBesideOpen(const VolumeParas& paras, std::string& error)
{
    m_rangesTask = std::make_unique<dmtask::Task>(m_ctx, "backup");
    Json::Value journal = m_journal;
    journal["part_of_task"] = m_task.Id();
    if (!m_rangesTask->Begin(journal, error)) return false;
    VolumeParas rangesParas = dmtask::MakeParas(*m_rangesTask, paras.volumeID, m_dataSize, m_o.storageType,
                                                m_o.offsetKib, true, m_o.snapshotUrl, paras.parentSnapshotURL);
    dmtask::Task* main = &m_task;  // one abort flag, raised by SIGINT/SIGTERM, stops both
    rangesParas.abortFun = [main]() -> boost::atomics::atomic<bool>& { return main->AbortFlag(); };
    std::shared_ptr<CDiskDescriptor> rangesDisk;
    if (!dmtask::CreateDescriptor(rangesParas, rangesDisk, error)) return false;
    dmtask::Status(m_ctx, "asking the storage for the blocks changed since " + m_o.parentSnapshot);
    dmtask::Status(m_ctx, "attaching snapshot " + m_url.name + " meanwhile (the storage settles for a few seconds)");
    // One capture for both threads: a capture's hook chains to the one it
    // replaced, so two of them must not end out of order.
    dmtask::FirstErrorCapture capture;
    std::string rangesError;
    bool rangesOk = false;
    const uint64_t started = dmtask::NowMicros();
    std::thread ranges([&]() {
        rangesOk = CollectBlocks(*rangesDisk, &capture, rangesError);
        m_rangesSeconds = SecondsSince(started);
    });
    bool opened = false;
    EnvProxyResult r = m_disk->OpenDisk(std::make_shared<CSnapshotID>(m_url.name), true);
    if (r._GetCompleteCode() == ENV_PROXY_SUCCESS) {
        m_diskOpen = true;
        opened = CheckSnapshotSize(error);
    } else {
        error = dmtask::DescribeFailure("opening snapshot " + m_url.name, r);
    }
    m_openSeconds = SecondsSince(started);
    ranges.join();
    rangesDisk.reset();  // stores its last cached data when it still names volumes
    if (!m_rangesTask->HasLeftovers()) {
        m_rangesTask->End();
        m_rangesTask.reset();
    }
    if (!rangesOk) {
        error = rangesError;  // the storage's answer on the ranges says more than the attach's
        return false;
    }
    return opened;
}

bool BackupJob::CollectBlocks(CDiskDescriptor& disk, dmtask::FirstErrorCapture* outer, std::string& error)
{
    uint64_t count = repo::BlockCount(m_dataSize, repo::kBlockSize);
    if (!m_incremental) {
        m_blocks.resize(count);
        for (uint64_t i = 0; i < count; ++i) m_blocks[i] = i;
        return true;
    }
    if (!m_fullReadReason.empty()) {
        // No diff against a snapshot that is not the parent's: every block, and
        // a changed-range file that says so.
        DirtyRanges all;
        all.m_version = 2;
        all.m_isRestore = false;
        all.Initialize(m_chainDir, m_backupId);
        m_dirtyRangesPath = all.GetDirtyRangeFileName();
        all.UseFull();
        if (!all.FlushToStorage()) {
            error = "cannot write " + m_dirtyRangesPath;
            return false;
        }
        m_usedFull = true;
        m_blocks.resize(count);
        for (uint64_t i = 0; i < count; ++i) m_blocks[i] = i;
        return true;
    }
    DirtyRanges ranges;
    ranges.m_version = 2;
    ranges.m_isRestore = false;
    ranges.Initialize(m_chainDir, m_backupId);
    m_dirtyRangesPath = ranges.GetDirtyRangeFileName();
    auto snapshot = std::make_shared<CSnapshotID>(m_url.name);
    EnvProxyResult r;
    {
        std::unique_ptr<dmtask::FirstErrorCapture> own;
        if (outer == nullptr) own = std::make_unique<dmtask::FirstErrorCapture>();
        dmtask::FirstErrorCapture& capture = outer != nullptr ? *outer : *own;
        r = disk.GetDirtyRanges(snapshot, m_o.parentSnapshot, ranges, 0, m_dataSize);
        if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            error = dmtask::DescribeFailure("getting the changed ranges", r);
            if (r.details.empty() && !capture.Text().empty()) error += ": " + capture.Text();
            return false;
        }
    }
    if (r.resultText == "DETACH_DELETE_BITMAP_FAILED") {
        m_warning = "the bitmap volume could not be released; 'datamover clean --task " +
                    (m_rangesTask ? m_rangesTask->Id() : m_task.Id()) + "' removes it";
    }
    if (!ranges.FlushToStorage()) {
        error = "cannot write " + m_dirtyRangesPath;
        return false;
    }
    if (ranges.IsUseFull()) {
        m_usedFull = true;
        m_blocks.resize(count);
        for (uint64_t i = 0; i < count; ++i) m_blocks[i] = i;
        return true;
    }
    auto it = ranges.Begin(repo::kBlockSize);
    it.ForEachBlock([&](uint64_t index) {
        if (index >= count) return false;  // a bitmap may round past the end of the volume
        if (m_blocks.empty() || m_blocks.back() < index) m_blocks.push_back(index);
        return true;
    });
    if (it.Failed()) {
        error = "the changed ranges of " + m_dirtyRangesPath + " cannot be read";
        return false;
    }
    return true;
}

}  // namespace dmbackup
