// One backup of a snapshot into a repository, as its stages share it: the
// options, the job's state and its steps. The stages, one file each:
//   Plan.cpp           the request checked, the repository found (or made), the parent judged sound
//   ChangedBlocks.cpp  the snapshot attached and the blocks to read (changed ranges, written extents)
//   ReadEngine.cpp     the blocks read (asynchronous I/O or threads) and handed to the format's writer
//   ChainCommit.cpp    format 1/2: journal row, data file, table and manifest last
//   ChunkedBackup.cpp  format 3: chunks sealed and stored under a claim, the index last
//   BackupJob.cpp      the stages in order, failure clean-up and the report
#pragma once
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

#include "apps/datamover/CommandContext.h"
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

inline double SecondsSince(uint64_t startMicros)
{
    return static_cast<double>(dmtask::NowMicros() - startMicros) / 1e6;
}

}  // namespace dmbackup
