// "datamover backup": a full or incremental backup of one snapshot into the
// repository. The chain of the volume is opened through the chain manager
// (which holds the chain lock), the changed blocks come from the plug-in's
// changed ranges, reads run with several requests in flight, every block is
// checksummed, and the manifest is written last so an interrupted backup is
// never taken for a complete one.
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

#include "apps/datamover/BackupFormat3.h"
#include "apps/datamover/BackupReader.h"
#include "apps/datamover/ChainJournal.h"
#include "apps/datamover/DataCommands.h"
#include "apps/datamover/RepoFormat.h"
#include "apps/datamover/StorageQuery.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"
#include "foundation/JsonUtils.h"
#include "host/TaskMgr.h"
#include "management/ChainManager.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/StrataApi.h"

namespace {

struct BackupOptions {
    std::string volumeId;
    std::string snapshotUrl;
    std::string parentSnapshot;
    std::string repoPath;
    std::string volumeSize;
    int storageType = 0;
    int offsetKib = -1;
    std::string io = "threads";
    int depth = 4;
    std::string passwordFile;
};

// The data-area offset the factory will hand the plug-in for these options.
uint64_t DataOffset(int storageType, int offsetKib)
{
    if (storageType == QRM_STRATA_RDM) return 0;
    if (offsetKib >= 0) return static_cast<uint64_t>(offsetKib) * 1024;
    return storageType == QRM_STRATA ? 4096 : 0;
}


class BackupJob {
public:
    BackupJob(CommandContext& ctx, const BackupOptions& o) : m_ctx(ctx), m_o(o), m_task(ctx, "backup") {}
    int Run();
    bool CheckSnapshotSize(std::string& error);

private:
    bool Validate(std::string& error);
    // A full backup into a path with no repository makes a format-3 one:
    // Plan checks what it needs (before anything changes), Create makes it.
    bool PlanNewRepository(std::string& error);
    bool CreateRepository(std::string& error);
    // Reports `text` with m_code (or "interrupted" after SIGINT/SIGTERM) and leaves nothing behind.
    int Fail(const std::string& text);
    // The changed blocks, from `disk`'s changed ranges for an incremental.
    // `capture`: the caller's record of error lines (null: one of its own).
    bool CollectBlocks(CDiskDescriptor& disk, dmtask::FirstErrorCapture* capture, std::string& error);
    // Attaches the snapshot and checks its size (the first settle).
    bool OpenSnapshot(std::string& error);
    // An incremental's changed ranges and its snapshot's attach at once: the
    // ranges come from a second descriptor of a task of their own, so each
    // task's cached data keeps naming what it attached or created.
    bool RangesBesideOpen(const VolumeParas& paras, std::string& error);
    bool ReadAll(std::string& error);
    bool ReadWithAio(std::string& error);
    bool ReadWithThreads(std::string& error);
    // Checksums block k, stores it unless it is all zeros, drops its cache.
    bool StoreBlock(size_t k, const char* data, uint32_t length, std::string& error);
    // StoreBlock's steps, apart for the aio engine's asynchronous writes:
    // RecordBlock checksums block k and returns whether it must be written
    // (it is not all zeros); WriteBlock writes it synchronously; BlockDone
    // counts it and drops its cache.
    bool RecordBlock(size_t k, const char* data, uint32_t length);
    bool WriteBlock(size_t k, const char* data, uint32_t length, std::string& error);
    void BlockDone(size_t k, uint32_t length, bool written);
    uint64_t BlockPosition(size_t k) const;
    bool Commit(std::string& error);
    void PrunePartial();
    // The chain, its journal row and the backup's directory (format 1 and 2);
    // false with `rc` set (Fail has reported) when they cannot be had.
    bool PrepareChain(TaskID taskId, int& rc);
    // A chunked repository: its parent index and geometry, instead of a chain.
    bool ValidateChunked(std::string& error);
    // A chunked backup keeps the plug-in's changed-range file in a temporary
    // directory under the root, removed when the backup ends.
    bool PrepareChunked(std::string& error);
    bool ReadChunked(std::string& error);
    void RemoveChunkedTemporaries();
    // Asks the storage for the identities of the snapshot and of the parent's;
    // sets m_fullReadReason when the parent snapshot is not the one its backup read.
    void CheckIdentities();
    // A full backup's blocks the attached snapshot reports as never written are not read.
    void SkipUnwrittenBlocks();

    CommandContext& m_ctx;
    BackupOptions m_o;
    dmtask::Task m_task;
    dmtask::StrataUrl m_url;
    repo::Repository m_repo;
    repo::BackupInfo m_parent;
    bool m_incremental = false;
    uint64_t m_dataSize = 0;
    uint64_t m_dataOffset = 0;
    std::string m_chainDir;
    std::string m_backupId;
    std::string m_backupDir;
    std::string m_dirtyRangesPath;
    bool m_usedFull = false;
    // The storage's identity of the snapshot read; an incremental whose parent
    // snapshot is no longer the one the parent backup read reads everything.
    std::string m_snapshotIdentity;
    std::string m_fullReadReason;  // non-empty: an incremental that must read every block
    uint64_t m_unwrittenBlocks = 0;  // blocks of a full backup left unread: holes of the snapshot
    std::vector<uint64_t> m_blocks;
    std::vector<repo::BlockEntry> m_entries;
    std::atomic<uint64_t> m_storedBytes{0};
    std::atomic<uint64_t> m_doneBytes{0};
    uint64_t m_totalBytes = 0;
    int m_dataFd = -1;
    int m_directFd = -1;
    int64_t m_createdAt = 0;
    int64_t m_createdAtMicros = 0;

    ChainManager m_chains;
    std::shared_ptr<ChainInfo> m_chain;
    bool m_chainOpen = false;
    std::shared_ptr<CDiskDescriptor> m_disk;
    bool m_diskOpen = false;
    std::string m_warning;
    dmout::ErrorCode m_code = dmout::ErrorCode::Storage;  // what a failure is, for --json
    double m_rangesSeconds = 0;
    double m_openSeconds = 0;
    double m_readSeconds = 0;
    Json::Value m_journal;
    std::unique_ptr<dmtask::Task> m_rangesTask;  // the ranges' own task while it names storage leftovers
    dmtask::ObjectLock m_snapshotLock;  // one task reads a snapshot at a time
    std::unique_ptr<dmbackup3::ChunkedBackup> m_chunked;  // set for a format-3 repository
    bool m_createRepository = false;
    bool m_newEncrypted = false;
    std::string m_newPassphrase;
    std::string m_created;  // what was created, for --json
};

double SecondsSince(uint64_t startMicros)
{
    return static_cast<double>(dmtask::NowMicros() - startMicros) / 1e6;
}

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

bool BackupJob::ReadChunked(std::string& error)
{
    for (uint64_t index : m_blocks) m_totalBytes += repo::BlockLength(index, m_dataSize, repo::kBlockSize);
    repo3::IndexMeta meta;
    meta.backupId = m_backupId;
    meta.volumeId = m_o.volumeId;
    meta.volumeSize = m_dataSize;
    meta.dataOffset = m_dataOffset;
    meta.blockSize = repo::kBlockSize;
    meta.parentBackup = m_incremental ? m_parent.manifest.backupId : "";
    meta.parentSnapshot = m_incremental ? m_o.parentSnapshot : "";
    meta.snapshot = m_url.name;
    meta.snapshotIdentity = m_snapshotIdentity;
    meta.snapshotUrl = m_o.snapshotUrl;
    meta.storageType = m_o.storageType;
    meta.createdAtMicros = m_createdAtMicros;
    if (!m_chunked->Begin(meta, m_blocks.size(), m_code, error)) return false;
    if (m_blocks.empty()) return true;
    return ReadWithThreads(error);
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

void BackupJob::BlockDone(size_t k, uint32_t length, bool written)
{
    if (written) m_storedBytes += length;
    m_disk->ReleaseBufferCache(m_blocks[k] * repo::kBlockSize, length);
    m_doneBytes += length;
}

bool BackupJob::StoreBlock(size_t k, const char* data, uint32_t length, std::string& error)
{
    if (m_chunked) {
        if (!m_chunked->Store(m_blocks[k], data, length, error)) return false;
        BlockDone(k, length, false);
        return true;
    }
    const bool write = RecordBlock(k, data, length);
    if (write && !WriteBlock(k, data, length, error)) return false;
    BlockDone(k, length, write);
    return true;
}

// Reads `depth` blocks in flight and writes finished blocks at the same time:
// a block's store goes into the same io context as a direct asynchronous
// write, so the next reads proceed while it is written instead of waiting for
// a synchronous write of each block in turn. A slot (buffer) is held from its
// read's submission to its write's completion; twice `depth` slots keep
// `depth` reads going beside as many writes. Blocks of zeros are not written;
// a tail that direct I/O cannot take is written synchronously.
bool BackupJob::ReadWithAio(std::string& error)
{
    const size_t depth = static_cast<size_t>(m_o.depth);
    const size_t slotCount = 2 * depth;
    struct Slot {
        std::unique_ptr<dmtask::AlignedBuffer> buffer;
        size_t k = 0;
        iocb write{};
    };
    std::vector<Slot> slots(slotCount);
    std::vector<size_t> freeSlots;
    for (size_t i = 0; i < slotCount; ++i) {
        slots[i].buffer = std::make_unique<dmtask::AlignedBuffer>(repo::kBlockSize);
        if (slots[i].buffer->data() == nullptr) {
            error = "out of memory";
            return false;
        }
        freeSlots.push_back(i);
    }
    // Declared after the slots: torn down (waiting for anything in flight)
    // before their buffers are freed.
    io_context_t ioctx = nullptr;
    int rc = io_setup(static_cast<int>(slotCount), &ioctx);
    if (rc != 0) {
        error = std::string("io_setup failed: ") + std::strerror(-rc);
        return false;
    }
    std::map<const void*, size_t> reading;  // buffer -> slot
    size_t writing = 0;
    dmtask::Progress progress(m_ctx, "backup", m_totalBytes);
    size_t next = 0;
    bool ok = true;
    auto fail = [&](const std::string& text) {
        if (ok) error = text;
        ok = false;
    };
    // A completion is one of our writes when it names a slot's control block;
    // the reads' blocks belong to the device file.
    auto writeOf = [&](const iocb* obj) -> Slot* {
        for (Slot& slot : slots) {
            if (&slot.write == obj) return &slot;
        }
        return nullptr;
    };
    std::vector<io_event> events(slotCount);
    while (!reading.empty() || writing > 0 || (ok && next < m_blocks.size())) {
        if (dmtask::Interrupted() && ok) fail("interrupted");
        while (ok && next < m_blocks.size() && !freeSlots.empty() && reading.size() < depth) {
            size_t s = freeSlots.back();
            uint64_t offset = m_blocks[next] * repo::kBlockSize;
            uint64_t length = repo::BlockLength(m_blocks[next], m_dataSize, repo::kBlockSize);
            EnvProxyResult r = m_disk->AioReadBlocks(offset, length, slots[s].buffer->data(), ioctx);
            if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
                fail(dmtask::DescribeFailure("reading block " + std::to_string(m_blocks[next]), r));
                break;
            }
            freeSlots.pop_back();
            slots[s].k = next;
            reading[slots[s].buffer->data()] = s;
            ++next;
        }
        if (reading.empty() && writing == 0) break;
        timespec timeout{0, 200000000};
        int n = io_getevents(ioctx, 1, static_cast<long>(slotCount), events.data(), &timeout);
        if (n < 0) {
            if (n == -EINTR) continue;
            fail(std::string("io_getevents failed: ") + std::strerror(-n));
            break;  // cannot reap: io_destroy below waits for what is in flight
        }
        for (int i = 0; i < n; ++i) {
            const io_event& ev = events[static_cast<size_t>(i)];
            const long res = static_cast<long>(ev.res);
            if (Slot* written = writeOf(ev.obj)) {
                Slot& slot = *written;
                --writing;
                uint32_t length = repo::BlockLength(m_blocks[slot.k], m_dataSize, repo::kBlockSize);
                if (res != static_cast<long>(length)) {
                    fail(std::string("cannot write the backup data: ") +
                         (res < 0 ? std::strerror(static_cast<int>(-res)) : "short write"));
                } else if (ok) {
                    BlockDone(slot.k, length, true);
                }
                freeSlots.push_back(static_cast<size_t>(&slot - slots.data()));
                continue;
            }
            iocb* cb = ev.obj;
            const void* buf = cb->u.c.buf;
            std::free(cb);  // allocated by the device file for this read
            auto found = reading.find(buf);
            if (found == reading.end()) continue;
            const size_t s = found->second;
            reading.erase(found);
            Slot& slot = slots[s];
            uint32_t length = repo::BlockLength(m_blocks[slot.k], m_dataSize, repo::kBlockSize);
            if (ok && res != static_cast<long>(length)) {
                fail("reading block " + std::to_string(m_blocks[slot.k]) + " failed: " +
                     (res < 0 ? std::string(std::strerror(static_cast<int>(-res))) : "short read"));
            }
            if (!ok) {
                freeSlots.push_back(s);
                continue;
            }
            const char* data = slot.buffer->data();
            if (!RecordBlock(slot.k, data, length)) {
                BlockDone(slot.k, length, false);
                freeSlots.push_back(s);
                continue;
            }
            if (m_directFd >= 0 && length % 4096 == 0) {
                io_prep_pwrite(&slot.write, m_directFd, slot.buffer->data(), length,
                               static_cast<long long>(BlockPosition(slot.k)));
                iocb* list[1] = {&slot.write};
                if (io_submit(ioctx, 1, list) == 1) {
                    ++writing;
                    continue;
                }
            }
            // An odd tail, no direct descriptor, or a refused submit: write it now.
            if (WriteBlock(slot.k, data, length, error)) {
                BlockDone(slot.k, length, true);
            } else {
                ok = false;
            }
            freeSlots.push_back(s);
        }
        progress.Update(m_doneBytes.load());
    }
    io_destroy(ioctx);
    progress.Finish();
    return ok;
}

bool BackupJob::ReadWithThreads(std::string& error)
{
    auto read = [this](size_t k, char* buffer, std::string& err) {
        uint64_t offset = m_blocks[k] * repo::kBlockSize;
        uint64_t length = repo::BlockLength(m_blocks[k], m_dataSize, repo::kBlockSize);
        uint64_t want = length;
        EnvProxyResult r = m_disk->ReadBlocks(offset, length, buffer);
        if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            err = dmtask::DescribeFailure("reading block " + std::to_string(m_blocks[k]), r);
            return false;
        }
        if (length != want) {
            err = "reading block " + std::to_string(m_blocks[k]) + " failed: short read";
            return false;
        }
        return StoreBlock(k, buffer, static_cast<uint32_t>(want), err);
    };
    return dmtask::RunOnThreads(m_ctx, "backup", m_o.depth, m_blocks.size(), repo::kBlockSize, m_totalBytes,
                                m_doneBytes, read, error);
}

bool BackupJob::ReadAll(std::string& error)
{
    if (m_chunked) return ReadChunked(error);
    m_entries.assign(m_blocks.size(), repo::BlockEntry{});
    for (uint64_t index : m_blocks) m_totalBytes += repo::BlockLength(index, m_dataSize, repo::kBlockSize);
    std::string dataPath = m_backupDir + "/" + (m_incremental ? repo::kIncrDataFile : repo::kFullDataFile);
    m_dataFd = ::open(dataPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_dataFd < 0) {
        error = "cannot create " + dataPath + ": " + std::strerror(errno);
        return false;
    }
    // The full image is sparse: zero blocks stay holes.
    uint64_t fileSize = m_incremental ? (m_blocks.empty() ? 0
                                                          : (m_blocks.size() - 1) * repo::kBlockSize +
                                                                repo::BlockLength(m_blocks.back(), m_dataSize,
                                                                                  repo::kBlockSize))
                                      : m_dataSize;
    if (::ftruncate(m_dataFd, static_cast<off_t>(fileSize)) != 0) {
        error = "cannot size " + dataPath + ": " + std::strerror(errno);
        return false;
    }
    m_directFd = ::open(dataPath.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);  // -1: buffered only
    if (m_blocks.empty()) return true;
    return m_o.io == "aio" ? ReadWithAio(error) : ReadWithThreads(error);
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

}  // namespace

void RegisterBackupCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<BackupOptions>();
    CLI::App* sub = app.add_subcommand("backup", "Back up a snapshot into a repository: full, or incremental "
                                                 "against the backup of --parent-snapshot");
    sub->add_option("--volume-id", opts->volumeId, "UUID of the volume")->required();
    sub->add_option("--snapshot-url", opts->snapshotUrl, "strata://MANAGER/POOL/SNAPSHOT")->required();
    sub->add_option("--parent-snapshot", opts->parentSnapshot,
                    "Snapshot of an earlier backup in the repository (makes the backup incremental)");
    sub->add_option("--repo", opts->repoPath,
                    "Backup repository; a path that does not exist (or an empty directory) becomes a format-3 "
                    "repository, encrypted (repokey) when a password file is given ('datamover init --format 2' "
                    "makes a format-2 one first)")
        ->required();
    AddPasswordFileOption(sub, opts->passwordFile);
    sub->add_option("--volume-size", opts->volumeSize,
                    "Size of the volume as the storage reports it (K, M, G, T suffixes); required for a full "
                    "backup and checked against the attached snapshot");
    sub->add_option("--storage-type", opts->storageType, "Product storage type: 0 QRM_STRATA, 1 KVM_STRATA, "
                                                         "6 QRM_STRATA_RDM")
        ->capture_default_str();
    sub->add_option("--offset-kib", opts->offsetKib, "Data-area offset in KiB (-1: the storage type's default)")
        ->capture_default_str();
    sub->add_option("--io", opts->io, "Read engine: aio (asynchronous reads and writes) or threads (one reader per stream)")
        ->capture_default_str();
    sub->add_option("--depth", opts->depth, "Reads in flight (aio) or reader threads (threads)")
        ->capture_default_str();
    sub->callback([&ctx, opts]() {
        BackupJob job(ctx, *opts);
        ctx.exitStatus = job.Run();
    });
}
