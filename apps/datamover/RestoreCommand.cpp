// "datamover restore": writes one backup point into a volume, a local file or
// a local block device. The chain from the full backup to the chosen point is
// resolved and its tables and bindings checked before anything is touched.
// Where a failed restore would destroy something (a target that holds data,
// overwritten with --force, or a block device, whose emptiness is only
// sampled) every block is also read and checked before the first write. An
// empty or new target is written in one pass instead: each block is checked
// just before it is written, and a damaged one stops the restore. While
// writing, a record under the root says the target is incomplete, so a
// restore that stops or dies is reported by list and clean; the repository
// itself is only read. A target is never inside the repository, never a
// snapshot a backup was taken of, and held by one restore at a time.
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/datamover/BackupReader.h"
#include "apps/datamover/DataCommands.h"
#include "apps/datamover/Format3Repo.h"
#include "apps/datamover/RepoFormat.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/RestoreRecord.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"
#include "foundation/CachedTaskData.h"
#include "foundation/JsonUtils.h"
#include "storage_access/StrataApi.h"

namespace {

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
std::string StoppedAt(const std::string& error)
{
    return "the restore stopped: " + error;
}

// Whether the data area [start, end) holds anything but zeros, cheaply. On a
// file-backed target only allocated extents are read, the first MiB of each:
// a fresh (sparse) volume costs nothing. A block device is sampled: its first and last MiB and 4 KiB
// every 64 MiB, so a 2 TiB volume costs about 32,000 small reads. With
// `exact` (a local file, which nobody else vouches for) every allocated byte
// of a regular file is read instead: zeros written out count as empty.
bool LooksUsed(int fd, bool regular, uint64_t start, uint64_t end, bool exact = false)
{
    std::vector<char> buf(1 << 20);
    auto used = [&](uint64_t at, uint64_t len) {
        len = std::min<uint64_t>(len, end - at);
        ssize_t n = ::pread(fd, buf.data(), len, static_cast<off_t>(at));
        return n > 0 && !repo::IsAllZero(buf.data(), static_cast<size_t>(n));
    };
    if (end <= start) return false;
    if (regular) {
        for (off_t at = static_cast<off_t>(start); static_cast<uint64_t>(at) < end;) {
            off_t data = ::lseek(fd, at, SEEK_DATA);
            if (data < 0 || static_cast<uint64_t>(data) >= end) return false;
            off_t hole = ::lseek(fd, data, SEEK_HOLE);
            if (hole < 0) return false;
            const uint64_t stop = exact ? std::min<uint64_t>(static_cast<uint64_t>(hole), end)
                                        : static_cast<uint64_t>(data) + 1;
            for (uint64_t from = static_cast<uint64_t>(data); from < stop; from += buf.size()) {
                if (used(from, buf.size())) return true;
            }
            at = hole;
        }
        return false;
    }
    if (used(start, buf.size()) || used(end > buf.size() + start ? end - buf.size() : start, buf.size())) return true;
    for (uint64_t at = start + (64ULL << 20); at < end; at += 64ULL << 20) {
        if (used(at, 4096)) return true;
    }
    return false;
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

bool RestoreJob::TargetReadsZeros(uint64_t at, uint64_t length) const
{
    thread_local std::vector<char> buffer;
    buffer.resize(1 << 20);
    for (uint64_t done = 0; done < length;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        ssize_t n = ::pread(m_targetReadFd, buffer.data(), want, static_cast<off_t>(at + done));
        if (n != static_cast<ssize_t>(want) || !repo::IsAllZero(buffer.data(), want)) return false;
        done += want;
    }
    return true;
}

// A zero run inside a block is left out when it is at least kMinZeroRun long (fewer, larger
// writes) in pages of kZeroPage, the alignment O_DIRECT writes keep.
constexpr uint64_t kZeroPage = 4096;
constexpr uint64_t kMinZeroRun = 64 * 1024;

bool RestoreJob::WriteAll(std::string& error)
{
    const uint64_t blockSize = m_target.manifest.blockSize;
    const uint64_t base = m_target.manifest.dataOffset;
    return ForEachBlock("restore", [this, blockSize, base](uint64_t index, char* data, std::string& err) {
        uint64_t offset = index * blockSize;
        uint64_t length = m_point->Length(index);
        if (m_targetReadFd >= 0 && repo::IsAllZero(data, length) && TargetReadsZeros(base + offset, length)) {
            ++m_zeroBlocksSkipped;
            return true;
        }
        auto write = [&](uint64_t from, uint64_t bytes) {
            uint64_t n = bytes;
            EnvProxyResult r = m_disk->WriteBlocks(offset + from, n, data + from);
            if (r._GetCompleteCode() == ENV_PROXY_SUCCESS) return true;
            err = dmtask::DescribeFailure("writing block " + std::to_string(index), r);
            return false;
        };
        if (m_targetReadFd < 0) {
            if (!write(0, length)) return false;
        } else {
            // Runs of zeros inside a block that the target reads as zeros are left out too: a
            // block straddles the storage's allocation units (the data area starts 4 KiB into
            // the volume), and its zero part would allocate a unit the source never used.
            uint64_t pending = 0;  // start of the bytes not yet written
            for (uint64_t at = 0; at < length;) {
                uint64_t end = at;
                while (end + kZeroPage <= length && repo::IsAllZero(data + end, kZeroPage)) end += kZeroPage;
                // At the block's edges any run: no write is split by it, and a few KiB there are
                // what would allocate the neighbouring unit.
                const bool edge = at == 0 || end == length;
                if (end > at && (edge || end - at >= kMinZeroRun) && TargetReadsZeros(base + offset + at, end - at)) {
                    if (at > pending && !write(pending, at - pending)) return false;
                    pending = end;
                }
                at = end > at ? end : at + kZeroPage;
            }
            if (pending < length && !write(pending, length - pending)) return false;
        }
        // Push the written block out of the page cache as it goes, so the
        // final flush does not find the whole volume dirty.
        m_disk->ReleaseBufferCache(offset, length);
        return true;
    }, error);
}

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

bool RestoreJob::CheckTarget(std::string& error)
{
    const repo::Manifest& m = m_target.manifest;
    std::string device = dmtask::AttachedDevice(m_url);
    int fd = device.empty() ? -1 : ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    uint64_t size = 0;
    bool sized = fd >= 0 && dmtask::DeviceSize(fd, size);
    if (!sized) {
        if (fd >= 0) ::close(fd);
        m_code = dmout::ErrorCode::Storage;
        error = "cannot learn the size of " + m_url.name + (device.empty() ? "" : " at " + device) +
                "; nothing was written";
        return false;
    }
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Looked at with --force too: overwriting data needs the pre-read.
    bool used = LooksUsed(fd, regular, m.dataOffset, size);
    // Kept to look at the target's own blocks: an all-zero block is written
    // only where the target does not read zeros already, so a thin volume stays thin.
    if (m_targetReadFd >= 0) ::close(m_targetReadFd);
    m_targetReadFd = fd;
    m_code = dmout::ErrorCode::Refused;
    if (size < m.dataOffset + m.volumeSize) {
        error = "volume " + m_url.name + " holds " + std::to_string(size) + " bytes, the backup needs " +
                std::to_string(m.dataOffset + m.volumeSize) + "; nothing was written";
        return false;
    }
    if (used && !m_o.force) {
        error = "volume " + m_url.name + " is not empty; give --force to overwrite it (nothing was written)";
        return false;
    }
    m_targetSize = size;
    m_heldData = used;
    if (used || !regular) {
        if (!CheckAll(error)) {
            m_code = dmout::ErrorCode::Damaged;
            error += "; nothing was written";
            return false;
        }
    }
    return true;
}

bool RestoreJob::InsideRepository(const std::string& realPath) const
{
    return realPath == m_repoReal || m_repoReal == "/" || realPath.compare(0, m_repoReal.size() + 1, m_repoReal + "/") == 0;
}

bool RestoreJob::LinkedIntoRepository(const struct stat& st) const
{
    if (!S_ISREG(st.st_mode) || st.st_nlink < 2) return false;
    std::error_code ec;
    namespace fs = std::filesystem;
    for (auto it = fs::recursive_directory_iterator(m_repoReal, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat other {};
        if (::lstat(it->path().c_str(), &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino) {
            return true;
        }
    }
    return false;
}

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

std::vector<repo::Manifest> RestoreJob::BackedUp() const
{
    std::vector<repo::Manifest> out;
    if (!m_repo3) {
        for (const repo::BackupInfo& b : m_repo.ListBackups()) out.push_back(b.manifest);
        return out;
    }
    try {
        for (const repo3::IndexName& n : m_repo3->indexes->List()) {
            try {
                const repo3::BackupIndex index = m_repo3->indexes->Read(n.volumeId, n.backupId);
                repo::Manifest m;
                m.backupId = index.meta.backupId;
                m.snapshotUrl = index.meta.snapshotUrl;
                m.parentSnapshot = index.meta.parentSnapshot;
                out.push_back(m);
            } catch (const std::exception&) {
                // An unreadable index names no snapshot we could compare with.
            }
        }
    } catch (const std::exception&) {
    }
    return out;
}

bool RestoreJob::NamesBackedUpSnapshot(std::string& error) const
{
    // Snapshots are compared by name within one manager and pool: the storage
    // tools have no cheap way to say whether a name is a snapshot.
    for (const repo::Manifest& m : BackedUp()) {
        dmtask::StrataUrl taken;
        std::string ignored;
        if (!dmtask::ParseStrataUrl(m.snapshotUrl, taken, ignored) ||
            dmtask::NormalVolumeId(taken.manager) != dmtask::NormalVolumeId(m_url.manager) || taken.pool != m_url.pool) {
            continue;
        }
        if (taken.name == m_url.name || m.parentSnapshot == m_url.name) {
            error = m_o.volumeUrl + " is snapshot " + m_url.name + ", which backup " + m.backupId +
                    (taken.name == m_url.name ? " was taken of" : " names as its parent's") +
                    "; a snapshot is never a restore target, restore into a volume (nothing was written)";
            return true;
        }
    }
    return false;
}

bool RestoreJob::ResolveLocal(std::string& error)
{
    m_code = dmout::ErrorCode::Refused;
    const bool file = !m_o.toFile.empty();
    char resolved[PATH_MAX];
    struct stat st {};
    // A file is looked at itself (a link is refused below); a device is
    // commonly named through a link (/dev/disk/by-id/...).
    const bool exists = (file ? ::lstat(m_localPath.c_str(), &st) : ::stat(m_localPath.c_str(), &st)) == 0;
    if (!exists && errno != ENOENT) {
        m_code = dmout::ErrorCode::Io;
        error = "cannot look at " + m_localPath + ": " + std::strerror(errno) + "; nothing was written";
        return false;
    }
    std::string real;
    if (exists) {
        if (::realpath(m_localPath.c_str(), resolved) != nullptr) real = resolved;
    } else if (file) {
        // A new file: where its directory really is.
        const std::string::size_type slash = m_localPath.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : m_localPath.substr(0, slash));
        const std::string base = slash == std::string::npos ? m_localPath : m_localPath.substr(slash + 1);
        if (base.empty() || base == "." || base == ".." || ::realpath(dir.c_str(), resolved) == nullptr) {
            m_code = dmout::ErrorCode::NotFound;
            error = "cannot create " + m_localPath + ": " + (base.empty() ? "no file name" : "its directory does not exist") +
                    "; nothing was written";
            return false;
        }
        real = std::string(resolved) + (std::string(resolved) == "/" ? "" : "/") + base;
    } else {
        m_code = dmout::ErrorCode::NotFound;
        error = m_localPath + " does not exist; nothing was written";
        return false;
    }
    if ((!real.empty() && InsideRepository(real)) || (exists && LinkedIntoRepository(st))) {
        error = m_localPath + " is inside the repository " + m_repoReal +
                "; a restore never writes there (nothing was written)";
        return false;
    }
    if (!file && S_ISBLK(st.st_mode)) {
        // A loop device over a file of the repository is the repository too.
        std::string backing, ignored;
        const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                std::to_string(minor(st.st_rdev)) + "/loop/backing_file";
        if (repo::ReadWholeFile(sys, backing, ignored)) {
            while (!backing.empty() && (backing.back() == '\n' || backing.back() == ' ')) backing.pop_back();
            if (::realpath(backing.c_str(), resolved) != nullptr) backing = resolved;
            if (InsideRepository(backing)) {
                error = m_localPath + " is a loop device over " + backing + ", inside the repository " + m_repoReal +
                        "; a restore never writes there (nothing was written)";
                return false;
            }
        }
    }
    if (file && exists && S_ISLNK(st.st_mode)) {
        error = m_localPath + " is a symbolic link; give the path of the file itself (nothing was written)";
        return false;
    }
    if (real.empty()) {
        m_code = dmout::ErrorCode::Io;
        error = "cannot resolve " + m_localPath + ": " + std::strerror(errno) + "; nothing was written";
        return false;
    }
    m_targetKey = file ? "file://" + real : real;
    return true;
}

// A local target gets the layout of a volume: the data area at the data-area
// offset. A new file is created; an existing one is opened without following
// a link and without truncation: one that holds data (--force) is a disk image
// of its own size, one that holds none is grown to the backup's size. A device
// must be a block device at least as large as the volume. Nothing is written here.
bool RestoreJob::OpenLocal(std::string& error)
{
    const repo::Manifest& m = m_target.manifest;
    const uint64_t needed = m.dataOffset + m.volumeSize;
    m_code = dmout::ErrorCode::Refused;
    struct stat st {};
    if (!m_o.toFile.empty()) {
        bool exists = ::lstat(m_localPath.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            error = m_localPath + " exists and is not a regular file (a device goes with --to-device)";
            return false;
        }
        m_localFd = ::open(m_localPath.c_str(),
                           O_RDWR | O_NOFOLLOW | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL), 0600);
        if (m_localFd < 0) {
            m_code = errno == EROFS ? dmout::ErrorCode::ReadOnly : dmout::ErrorCode::Io;
            error = "cannot " + std::string(exists ? "open " : "create ") + m_localPath + ": " + std::strerror(errno) +
                    "; nothing was written";
            return false;
        }
        m_createdFile = !exists;
        struct stat opened {};
        char link[64], where[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", m_localFd);
        ssize_t n = ::readlink(link, where, sizeof where - 1);
        // What was opened is what was checked, not a name swapped since.
        if (::fstat(m_localFd, &opened) != 0 || (exists && (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)) ||
            (n > 0 && InsideRepository(std::string(where, static_cast<size_t>(n))))) {
            error = m_localPath + " changed while it was checked; nothing was written";
            return false;
        }
        m_fileSize = static_cast<uint64_t>(opened.st_size);
        m_heldData = exists && LooksUsed(m_localFd, true, 0, m_fileSize, true);
        if (m_heldData && !m_o.force) {
            error = m_localPath + " exists and holds data; give --force to overwrite it (nothing was written)";
            return false;
        }
        if (m_heldData && m_fileSize < needed) {
            error = m_localPath + " holds " + std::to_string(m_fileSize) + " bytes, the backup needs " +
                    std::to_string(needed) + "; nothing was written";
            return false;
        }
        m_targetSize = std::max(m_fileSize, needed);
        return true;
    }
    if (::stat(m_localPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        error = m_localPath + " is not a block device (a file goes with --to-file); nothing was written";
        return false;
    }
    m_localFd = ::open(m_localPath.c_str(), O_RDWR | O_CLOEXEC | O_EXCL);  // O_EXCL: not mounted or in use
    if (m_localFd < 0) {
        m_code = dmout::ErrorCode::InUse;
        error = "cannot open " + m_localPath + ": " + std::strerror(errno) + " (in use or mounted?)";
        return false;
    }
    uint64_t size = 0;
    if (!dmtask::DeviceSize(m_localFd, size)) {
        m_code = dmout::ErrorCode::Io;
        error = "cannot learn the size of " + m_localPath + "; nothing was written";
        return false;
    }
    if (size < needed) {
        error = m_localPath + " holds " + std::to_string(size) + " bytes, the backup needs " + std::to_string(needed) +
                "; nothing was written";
        return false;
    }
    if (!m_o.force && LooksUsed(m_localFd, false, m.dataOffset, size)) {
        error = m_localPath + " is not empty; give --force to overwrite it (nothing was written)";
        return false;
    }
    m_heldData = true;  // its emptiness was only sampled
    m_targetSize = size;
    return true;
}

bool RestoreJob::PrepareLocal(std::string& error)
{
    if (m_o.toFile.empty()) return true;
    const repo::Manifest& m = m_target.manifest;
    m_code = dmout::ErrorCode::Io;
    // The whole image at once: a full disk fails here, before any block.
    if (m_fileSize < m_targetSize && ::ftruncate(m_localFd, static_cast<off_t>(m_targetSize)) != 0) {
        error = "cannot size " + m_localPath + " to " + std::to_string(m_targetSize) + " bytes: " + std::strerror(errno);
        return false;
    }
    if (!m_heldData) return true;
    // Only the data area is cleared, so the zero blocks of the backup can stay
    // holes; the bytes before and past it keep what they held.
    if (::fallocate(m_localFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(m.dataOffset),
                    static_cast<off_t>(m.volumeSize)) != 0) {
        if (errno != EOPNOTSUPP && errno != ENOSYS) {
            error = "cannot clear the data area of " + m_localPath + ": " + std::strerror(errno);
            return false;
        }
        m_zeroFill = true;
    }
    return true;
}

int RestoreJob::FailLocal(const std::string& text)
{
    if (m_localFd >= 0) {
        ::close(m_localFd);
        m_localFd = -1;
    }
    // A file this restore created holds nothing anyone had: it goes. Anything
    // else stays, and its record says it is incomplete.
    if (m_createdFile) {
        ::unlink(m_localPath.c_str());
        if (!m_record.empty()) ::unlink(m_record.c_str());
        m_record.clear();
    }
    std::string line = text;
    if (!m_record.empty()) line += "; the content of " + m_localPath + " is incomplete";
    PrintError(m_ctx, dmtask::Interrupted() ? dmout::ErrorCode::Interrupted : m_code, line);
    return 1;
}

int RestoreJob::RunLocal(uint64_t started)
{
    std::string error;
    if (!ResolveLocal(error)) return FailLocal(error);
    if (!m_targetLock.Acquire(m_ctx.root, m_targetKey, m_task.Id(), error)) {
        m_code = dmout::ErrorCode::InUse;
        return FailLocal(error);
    }
    if (!OpenLocal(error)) return FailLocal(error);
    // A device, or a file that holds data, is not touched unless the whole
    // chain reads back sound.
    if (m_heldData && !CheckAll(error)) {
        m_code = dmout::ErrorCode::Damaged;
        return FailLocal(error + "; nothing was written");
    }
    if (!PrepareLocal(error)) return FailLocal(error);
    const std::string target = m_targetKey;
    double openSeconds = dmtask::SecondsSince(started);
    uint64_t writeStarted = dmtask::NowMicros();
    if (!dmtask::WriteRestoreRecord(m_ctx.root, m_repoRoot, m_task.Id(), target, m_target.manifest.backupId,
                                    m_record, error)) {
        m_code = dmout::ErrorCode::Io;
        return FailLocal(error + "; nothing was written");
    }
    const uint64_t blockSize = m_target.manifest.blockSize;
    const uint64_t base = m_target.manifest.dataOffset;
    const bool sparse = !m_o.toFile.empty() && !m_zeroFill;
    std::atomic<bool> writeFailed{false};
    bool ok = ForEachBlock("restore", [&](uint64_t index, char* data, std::string& err) {
        uint64_t length = m_point->Length(index);
        if (sparse && repo::IsAllZero(data, length)) return true;  // the file reads zeros there
        for (uint64_t done = 0; done < length;) {
            ssize_t n = ::pwrite(m_localFd, data + done, length - done, static_cast<off_t>(base + index * blockSize + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = "writing block " + std::to_string(index) + " to " + m_localPath + ": " +
                      (n < 0 ? std::strerror(errno) : "no progress");
                writeFailed = true;
                return false;
            }
            done += static_cast<uint64_t>(n);
        }
        return true;
    }, error);
    if (!ok) {
        m_code = writeFailed ? dmout::ErrorCode::Io : dmout::ErrorCode::Damaged;
        return FailLocal(m_preRead ? error : StoppedAt(error));
    }
    m_code = dmout::ErrorCode::Io;
    if (::fdatasync(m_localFd) != 0) return FailLocal("flushing " + m_localPath + ": " + std::strerror(errno));
    ::close(m_localFd);
    m_localFd = -1;
    double writeSeconds = dmtask::SecondsSince(writeStarted);
    dmtask::RestoreCompleted(m_ctx.root, m_repoRoot, target);
    m_record.clear();
    m_task.End();
    return Report(dmtask::SecondsSince(started), openSeconds, writeSeconds);
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

}  // namespace

void RegisterRestoreCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<RestoreOptions>();
    CLI::App* sub = app.add_subcommand("restore", "Write a backup point (full or incremental) into a volume");
    sub->footer(
        "The chain's tables are checked before anything is written. Into an empty or new target the restore runs "
        "in one pass: each block's checksum is checked just before the block is written, and a damaged block stops "
        "the restore with exit status 1; the target is then incomplete, and 'list' and 'clean' report it until a "
        "restore into it succeeds. Into a target that holds data (--force) or a block device, every block of the "
        "chain is read and checked first, so a damaged backup leaves the target untouched.");
    sub->add_option("--repo", opts->repoPath, "Backup repository")->required();
    sub->add_option("--backup", opts->backupId, "Backup id (see 'datamover list')")->required();
    sub->add_option("--volume-url", opts->volumeUrl, "strata://MANAGER/POOL/VOLUME to write into");
    sub->add_option("--to-file", opts->toFile,
                    "Write into a local image file instead (created sparse; the data area at its offset, as on "
                    "the volume)");
    sub->add_option("--to-device", opts->toDevice, "Write into a local block device instead (as large as the volume)");
    sub->add_flag("--force", opts->force,
                  "Write into a target that is not empty (the whole chain is then read and checked before the "
                  "first write; see below)");
    sub->add_flag("--verify-only", opts->verifyOnly, "Read and check every block of the chain; write nothing");
    sub->add_option("--volume-id", opts->volumeId, "UUID of the target volume (default: the backed-up volume's)");
    sub->add_option("--depth", opts->depth, "Writer threads")->capture_default_str();
    AddPasswordFileOption(sub, opts->passwordFile);
    sub->callback([&ctx, opts]() {
        RestoreJob job(ctx, *opts);
        ctx.exitStatus = job.Run();
    });
}
