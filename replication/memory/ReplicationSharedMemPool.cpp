#include "replication/memory/ReplicationSharedMemPool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <limits>
#include <new>

#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/SecureMem.h"

namespace {
const char MODULE_NAME[] = "ReplicationSharedMemPool";
const mode_t SHM_MODE = 0600;  // payloads are private to the service's user

// Closes the object's descriptor on every exit path; the mapping outlives it.
class FdCloser {
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

// Deleter of the pointers that own a block. Armed only once the pointer
// exists: if its control block cannot be allocated, ownership goes back to
// where it was and nothing is freed.
struct OwnedBlockRelease {
    ReplicationSharedMemPool* pool;
    uint32_t bufferId;
    bool armed;
    void operator()(char*) const
    {
        if (armed) {
            pool->ReleaseOwnedBlock(bufferId);
        }
    }
};

ReplicationSharedMemPool::ReplicationSharedMemPool(bool creator, std::string name)
    : isCreator(creator), shmName(std::move(name))
{
}

ReplicationSharedMemPool::~ReplicationSharedMemPool()
{
    if (poolBuffer != nullptr) {
        munmap(poolBuffer, mapLength);
    }
    if (isCreator && m_ownsObject) {
        shm_unlink(shmName.c_str());
    }
    // The base destructor must not array-delete a mapping.
    SetPoolBuffer(nullptr);
}

char* ReplicationSharedMemPool::CreatePoolBuffer()
{
    try {
        int flags = O_RDWR | (isCreator ? O_CREAT : 0);
        FdCloser fd(shm_open(shmName.c_str(), flags, SHM_MODE));
        if (fd.Get() < 0) {
            LOG_STREAM(4) << "Failed to create shared memory.";
            return nullptr;
        }
        struct stat st {};
        if (fstat(fd.Get(), &st) != 0) {
            LOG_STREAM(4) << "Failed to stat shared memory. " << oru_errstr(errno);
            return nullptr;
        }
        // Another user's object could be read or rewritten by that user: an
        // existing object is used only when it is ours.
        if (st.st_uid != geteuid()) {
            LOG_STREAM(4) << "Shared memory " << shmName << " is owned by another user. owner=" << st.st_uid
                          << ", user=" << geteuid();
            return nullptr;
        }
        if (isCreator) {
            m_ownsObject = true;
            // A leftover object may carry a wider mode, and the umask may not
            // narrow a new one: set owner-only explicitly.
            if ((st.st_mode & 07777) != SHM_MODE && fchmod(fd.Get(), SHM_MODE) != 0) {
                LOG_STREAM(4) << "Failed to restrict shared memory. " << oru_errstr(errno);
                return nullptr;
            }
        }
        uint64_t real = GetRealBufferSize();
        if (bufferNumber != 0 && real > std::numeric_limits<uint64_t>::max() / bufferNumber) {
            LOG_STREAM(4) << "Failed to truncate shared memory.";
            return nullptr;
        }
        uint64_t length = real * bufferNumber;
        if (isCreator && bufferNumber != 0) {
            m_owner.reset(new (std::nothrow) std::atomic<uint8_t>[bufferNumber]);
            if (!m_owner) {
                LOG_STREAM(4) << "ReplicateMemPool Init:Memory allocated failed.";
                return nullptr;
            }
            for (uint32_t id = 0; id < bufferNumber; ++id) {
                m_owner[id].store(static_cast<uint8_t>(Owner::FREE), std::memory_order_relaxed);
            }
        }
        // An attached process never shrinks the object under the creator's mapping.
        bool resize = isCreator || static_cast<uint64_t>(st.st_size) < length;
        if (resize && ftruncate(fd.Get(), static_cast<off_t>(length)) < 0) {
            LOG_STREAM(4) << "Failed to truncate shared memory.";
            return nullptr;
        }
        mapLength = length;
        void* map = MAP_FAILED;
        if (length > 0) {
            map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
        }
        if (length == 0 || map == MAP_FAILED) {
            LOG_STREAM(4) << "Failed to mmap shared memory.";
            mapLength = 0;
            return nullptr;
        }
        char* base = static_cast<char*>(map);
        if (isCreator) {
            // Every trailer names its block from the start, so a block handed
            // out by MallocMemBlock can be turned into an auto-release pointer.
            for (uint32_t id = 0; id < bufferNumber; ++id) {
                memcpy_s(base + real * id + bufferSize, TRAILER_BYTES, &id, TRAILER_BYTES);
            }
        }
        return base;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "ReplicateMemPool Init:Memory allocated failed." << e.what();
        return nullptr;
    }
}

bool ReplicationSharedMemPool::MallocMemBlock(BufferSt& buf, bool wait, std::function<void()> callback)
{
    if (!isCreator) {
        LOG_STREAM(4) << "Non-pool creator shouldn't user MallocMemBlock interface.";
        return false;
    }
    if (!ReplicateMemPool::MallocMemBlock(buf, wait, std::move(callback))) {
        return false;
    }
    m_owner[buf.bufferId].store(static_cast<uint8_t>(Owner::HELD));
    return true;
}

bool ReplicationSharedMemPool::FreeMemBlock(uint32_t bufferId)
{
    if (!isCreator) {
        LOG_STREAM(4) << "Non-pool creator shouldn't user FreeMemBlock interface.";
        return false;
    }
    if (m_owner && bufferId < bufferNumber) {
        // A pointer-owned block is freed by its pointer; a free here as well
        // would let the block be handed out while that pointer still uses it.
        uint8_t state = static_cast<uint8_t>(Owner::HELD);
        m_owner[bufferId].compare_exchange_strong(state, static_cast<uint8_t>(Owner::FREE));
        if (state == static_cast<uint8_t>(Owner::POINTER)) {
            LOG_STREAM(4) << "FreeMemBlock failed bufferId is owned by a pointer:" << bufferId;
            return false;
        }
    }
    LOG_STREAM(1) << "Free SM Block.";
    return ReplicateMemPool::FreeMemBlock(bufferId);
}

void ReplicationSharedMemPool::ReleaseOwnedBlock(uint32_t bufferId)
{
    // Marked free before it is back on the free list, so that the next
    // allocation's mark is never overwritten.
    m_owner[bufferId].store(static_cast<uint8_t>(Owner::FREE));
    LOG_STREAM(1) << "Free SM Block.";
    ReplicateMemPool::FreeMemBlock(bufferId);
}

std::shared_ptr<char> ReplicationSharedMemPool::MakeOwningPointer(uint32_t bufferId, Owner before)
{
    try {
        std::shared_ptr<char> owner(BlockStart(bufferId), OwnedBlockRelease{this, bufferId, false});
        std::get_deleter<OwnedBlockRelease>(owner)->armed = true;
        return owner;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Failed to make an owning pointer for bufferId:" << bufferId << ", " << e.what();
        if (before == Owner::FREE) {
            ReleaseOwnedBlock(bufferId);
        } else {
            m_owner[bufferId].store(static_cast<uint8_t>(before));
        }
        return std::shared_ptr<char>();
    }
}

std::shared_ptr<char> ReplicationSharedMemPool::MallocMemBlockPtr(bool wait, std::function<void()> callback)
{
    if (!isCreator) {
        LOG_STREAM(4) << "Non-pool creator shouldn't user MallocMemBlockPtr interface.";
        return std::shared_ptr<char>();
    }
    // The base allocation leaves the block marked free until it is marked
    // pointer-owned here, so it is never movable on the way.
    BufferSt buf;
    if (!ReplicateMemPool::MallocMemBlock(buf, wait, std::move(callback))) {
        return std::shared_ptr<char>();
    }
    m_owner[buf.bufferId].store(static_cast<uint8_t>(Owner::POINTER));
    return MakeOwningPointer(buf.bufferId, Owner::FREE);
}

uint64_t ReplicationSharedMemPool::GetRealBufferSize()
{
    return bufferSize + TRAILER_BYTES;
}

bool ReplicationSharedMemPool::GetMemBlock(uint32_t bufferId, BufferSt& buf)
{
    // An id at or beyond the end would point past the mapping.
    if (poolBuffer == nullptr || bufferId >= bufferNumber) {
        LOG_STREAM(4) << "GetMemBlock failed bufferId not exist:" << bufferId << ", bufferNumber=" << bufferNumber;
        return false;
    }
    buf.bufferId = bufferId;
    buf.size = static_cast<int32_t>(bufferSize);
    buf.data = BlockStart(bufferId);
    return true;
}

std::shared_ptr<char> ReplicationSharedMemPool::GetMemBlockPtr(uint32_t bufferId)
{
    BufferSt buf;
    if (!GetMemBlock(bufferId, buf)) {
        return std::shared_ptr<char>();
    }
    int ret = memcpy_s(buf.data + bufferSize, TRAILER_BYTES, &bufferId, TRAILER_BYTES);
    if (ret != 0) {
        LOG_STREAM(4) << "Failed to copy bufferId. ret=" << ret;
    }
    return std::shared_ptr<char>(buf.data, [](char*) {});
}

std::shared_ptr<char> ReplicationSharedMemPool::MoveMemBlockToAutoReleasePtr(std::shared_ptr<char> data)
{
    if (!isCreator) {
        LOG_STREAM(4) << "Non-pool creator shouldn't use this interface.";
        return std::shared_ptr<char>();
    }
    // Only a pointer to the start of one of our blocks has a trailer we may read.
    uint64_t real = GetRealBufferSize();
    const char* p = data.get();
    if (p == nullptr || poolBuffer == nullptr || p < poolBuffer || p >= poolBuffer + mapLength ||
        static_cast<uint64_t>(p - poolBuffer) % real != 0) {
        LOG_STREAM(4) << "Failed to copy bufferId.";
        return std::shared_ptr<char>();
    }
    uint32_t bufferId = 0xFFFFFFFF;
    int ret = memcpy_s(&bufferId, sizeof(bufferId), p + bufferSize, TRAILER_BYTES);
    if (ret != 0) {
        LOG_STREAM(4) << "Failed to copy bufferId.";
        return std::shared_ptr<char>();
    }
    uint64_t index = static_cast<uint64_t>(p - poolBuffer) / real;
    if (bufferId >= bufferNumber || bufferId != index) {
        LOG_STREAM(4) << "MoveMemBlockToAutoReleasePtr failed bufferId not exist:" << bufferId
                      << ", block index=" << index;
        return std::shared_ptr<char>();
    }
    // The one hand-over from an id holder to a pointer: a free block has no
    // holder, and a pointer-owned block already has its owner.
    uint8_t state = static_cast<uint8_t>(Owner::HELD);
    if (!m_owner[bufferId].compare_exchange_strong(state, static_cast<uint8_t>(Owner::POINTER))) {
        LOG_STREAM(4) << "MoveMemBlockToAutoReleasePtr failed bufferId is not held by its caller:" << bufferId
                      << (state == static_cast<uint8_t>(Owner::FREE) ? " (free)" : " (owned by a pointer)");
        return std::shared_ptr<char>();
    }
    return MakeOwningPointer(bufferId, Owner::HELD);
}
