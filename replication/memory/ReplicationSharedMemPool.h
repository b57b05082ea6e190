// The fixed-block pool placed in a POSIX shared-memory object, so that the
// creator and attached processes see the same blocks and name them by id.
// Only the creator allocates and frees (the free list, waits and callbacks live
// in its process); attached processes reach blocks through GetMemBlock and
// GetMemBlockPtr. The object is owner-only (0600) and refused when another
// user owns it. Each block is bufferSize data bytes and a 4-byte id trailer.
// In the creator every block has exactly one owner: free, held by the caller
// of MallocMemBlock (by id), or owned by one auto-release pointer.
#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "replication/memory/ReplicateMemPool.h"

class ReplicationSharedMemPool : public ReplicateMemPool {
public:
    ReplicationSharedMemPool(bool isCreator, std::string shmName);
    // Unmaps; the creator also unlinks the object.
    ~ReplicationSharedMemPool() override;

    char* CreatePoolBuffer() override;
    bool MallocMemBlock(BufferSt& buf, bool wait, std::function<void()> callback) override;
    bool FreeMemBlock(uint32_t bufferId) override;
    std::shared_ptr<char> MallocMemBlockPtr(bool wait, std::function<void()> callback) override;
    uint64_t GetRealBufferSize() override;

    // Any process: the handle of block `bufferId`; false for an id outside the pool.
    virtual bool GetMemBlock(uint32_t bufferId, BufferSt& buf);
    // Any process: block data behind a non-owning pointer; writes the id into
    // the block's trailer. Empty for an id outside the pool.
    virtual std::shared_ptr<char> GetMemBlockPtr(uint32_t bufferId);
    // Creator only: a new pointer to the same block data whose release frees
    // the block named by its trailer. Only a block held by id (from
    // MallocMemBlock) may be moved; a free block or one a pointer already owns
    // is refused, so no block gets a second owner.
    virtual std::shared_ptr<char> MoveMemBlockToAutoReleasePtr(std::shared_ptr<char> data);

    uint64_t GetMapLength() const { return mapLength; }

    static constexpr uint32_t TRAILER_BYTES = 4;

    // Creator's record of who owns a block. Private to the creator's process:
    // attached processes can write trailers, never this.
    enum class Owner : uint8_t { FREE = 0, HELD = 1, POINTER = 2 };

private:
    friend struct OwnedBlockRelease;
    // Deleter path of pointer-owned blocks: the one way such a block is freed.
    void ReleaseOwnedBlock(uint32_t bufferId);
    std::shared_ptr<char> MakeOwningPointer(uint32_t bufferId, Owner before);

    std::unique_ptr<std::atomic<uint8_t>[]> m_owner;
    bool isCreator;
    uint64_t mapLength = 0;
    std::string shmName;
    // Set once the creator has opened an object of its own; only then may it unlink.
    bool m_ownsObject = false;
};
