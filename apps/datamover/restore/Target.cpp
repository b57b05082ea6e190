// What a restore may write into: never inside the repository, never a snapshot a backup was taken of; its size
// and whether it holds data, before the first write.
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

namespace {

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

}  // namespace

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

}  // namespace dmrestore
