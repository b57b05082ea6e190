// Writing the point into the target: a volume through the plug-in, or a local file or device.
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

}  // namespace dmrestore
