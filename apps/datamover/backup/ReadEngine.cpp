// The read engines: blocks come off the snapshot (asynchronous I/O or reader threads) and go to the format's
// writer.
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

void BackupJob::BlockDone(size_t k, uint32_t length, bool written)
{
    if (written) m_storedBytes += length;
    m_disk->ReleaseBufferCache(m_blocks[k] * repo::kBlockSize, length);
    m_doneBytes += length;
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

}  // namespace dmbackup
