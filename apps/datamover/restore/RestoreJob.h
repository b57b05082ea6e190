// One restore of a backup point into a volume, file or device, as its stages
// share it. The stages, one file each:
//   Target.cpp      what may be written into, its size and whether it holds data
//   Reader.cpp      the point opened (chain or index) and its blocks read and checked
//   Write.cpp       the blocks written into a volume, a local file or a device
//   RestoreJob.cpp  the stages in order, failure clean-up and the report
#pragma once
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

#include "apps/datamover/CommandContext.h"
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

struct RestoreOptions {
    std::string repoPath;
    std::string backupId;
    std::string volumeUrl;
    std::string volumeId;
    std::string toFile;
    std::string toDevice;
    int depth = 4;
    bool verifyOnly = false;
    bool force = false;
    std::string passwordFile;
};

class RestoreJob {
public:
    RestoreJob(CommandContext& ctx, const RestoreOptions& o) : m_ctx(ctx), m_o(o), m_task(ctx, "restore") {}
    ~RestoreJob() { CloseTargetRead(); }
    int Run();

private:
    // Runs `fn` on every block of the chain from `depth` threads; stops at the first error.
    bool ForEachBlock(const char* label, const std::function<bool(uint64_t, char*, std::string&)>& fn,
                      std::string& error);
    bool WriteAll(std::string& error);
    // Whether the target's bytes [at, at + length) read as zeros (false when they cannot be read).
    bool TargetReadsZeros(uint64_t at, uint64_t length) const;
    // Before a detach: an open descriptor would keep the device busy.
    void CloseTargetRead()
    {
        if (m_targetReadFd >= 0) ::close(m_targetReadFd);
        m_targetReadFd = -1;
    }
    // Reads and checks every block of the chain, writing nothing.
    bool CheckAll(std::string& error);
    // --to-file / --to-device: the same layout as a volume, written with plain I/O.
    int RunLocal(uint64_t started);
    // Where a local target really is, refused when inside the repository or
    // (--to-file) a symbolic link; sets m_targetKey.
    bool ResolveLocal(std::string& error);
    bool OpenLocal(std::string& error);
    // Sizes the file and clears the data area of one that held data.
    bool PrepareLocal(std::string& error);
    bool InsideRepository(const std::string& realPath) const;
    // Another name (hard link) of a file of the repository.
    bool LinkedIntoRepository(const struct stat& st) const;
    // A volume URL that names a snapshot any backup of the repository was taken of.
    bool NamesBackedUpSnapshot(std::string& error) const;
    // The records of every backup of the repository (unreadable ones left out).
    std::vector<repo::Manifest> BackedUp() const;
    // Finds the backup and opens its reader, from a chain or a chunked
    // repository's index; prints the failure and sets `rc` when it cannot.
    bool OpenPoint(int& rc);
    int FailLocal(const std::string& text);
    int Fail(const std::string& text);
    int Report(double seconds, double openSeconds, double writeSeconds);
    // Size and content of the attached target, before the first write; sets m_preRead.
    bool CheckTarget(std::string& error);

    CommandContext& m_ctx;
    RestoreOptions m_o;
    dmtask::Task m_task;
    dmtask::StrataUrl m_url;
    repo::Repository m_repo;
    repo::BackupInfo m_target;
    repo::ChainReader m_reader;
    // A chunked repository: its keys and stores, and the index of the backup.
    std::unique_ptr<dmrepo3::Repo3> m_repo3;
    std::unique_ptr<dmrepo3::IndexPointReader> m_reader3;
    const repo::PointReader* m_point = &m_reader;  // whichever of the two is in use
    std::string m_repoRoot;
    std::string m_record;  // the "restore interrupted" record while writing
    std::shared_ptr<CDiskDescriptor> m_disk;
    bool m_diskOpen = false;
    uint64_t m_targetSize = 0;
    std::string m_localPath;  // --to-file or --to-device
    std::string m_repoReal;   // the repository's real path
    std::string m_targetKey;  // the target as records and its lock name it
    dmtask::ObjectLock m_targetLock;
    int m_localFd = -1;
    int m_targetReadFd = -1;                  // the attached target, read-only, for its zero blocks
    std::atomic<uint64_t> m_zeroBlocksSkipped{0};  // all-zero blocks the target already read as zeros
    bool m_createdFile = false;  // removed again when the restore fails
    bool m_heldData = false;     // an existing target that held data: checked first, its header reported kept
    bool m_zeroFill = false;     // zero blocks are written, the data area could not be cleared
    uint64_t m_fileSize = 0;     // of an existing --to-file target
    bool m_preRead = false;      // the whole chain was read and checked before the first write
    dmout::ErrorCode m_code = dmout::ErrorCode::Storage;  // what a failure is, for --json
};

// A one-pass restore names where it stopped: the target is then incomplete.
inline std::string StoppedAt(const std::string& error)
{
    return "the restore stopped: " + error;
}

}  // namespace dmrestore
