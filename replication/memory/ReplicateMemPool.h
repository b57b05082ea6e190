// Fixed-block memory pool of the replication runtime: equal blocks carved from
// one slab, named by a small id. This class is the one fixed-block core; a
// subclass chooses where the slab comes from (CreatePoolBuffer) and how far
// apart blocks lie (GetRealBufferSize). Any thread may allocate and free.
// Every pointer from MallocMemBlockPtr must be released before the pool dies.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "replication/memory/FreeIdSet.h"
#include "replication/memory/PoolCallbacks.h"

// Handle of one pool block, copied by value.
struct bufferSt {
    int32_t size = 0;              // usable bytes (the pool's buffer size)
    uint32_t bufferId = 0xFFFFFFFF;  // index of the block in its pool
    char* data = nullptr;          // first byte of the block
};
using BufferSt = bufferSt;

class ReplicateMemPool {
public:
    ReplicateMemPool() = default;
    ReplicateMemPool(const ReplicateMemPool&) = delete;
    ReplicateMemPool& operator=(const ReplicateMemPool&) = delete;
    virtual ~ReplicateMemPool();

    // Heap slab of bufferNumber * bufferSize bytes; null when the size is 0,
    // above 10 GiB or cannot be allocated.
    virtual char* CreatePoolBuffer();
    // Called once: stores the geometry, obtains the slab, frees every id.
    virtual bool Initialize(uint32_t bufferNumber, uint64_t bufferSize);
    // Takes the lowest free block into `buf`. On an empty pool a waiting caller
    // blocks until a free; otherwise `callback` runs once on the next free and
    // false is returned with `buf` untouched.
    virtual bool MallocMemBlock(BufferSt& buf, bool wait, std::function<void()> callback);
    // Returns a block; wakes one waiter and runs the registered callbacks.
    virtual bool FreeMemBlock(uint32_t bufferId);
    // As MallocMemBlock, with the block's data owned by a pointer whose
    // deleter calls FreeMemBlock(id). Empty when no block was obtained.
    virtual std::shared_ptr<char> MallocMemBlockPtr(bool wait, std::function<void()> callback);
    // Bytes from one block's start to the next's.
    virtual uint64_t GetRealBufferSize();

    void SetPoolBuffer(char* buffer) { poolBuffer = buffer; }
    char* GetPoolBuffer() const { return poolBuffer; }
    uint64_t GetBufferSize() const { return bufferSize; }
    uint32_t GetBufferNumber() const { return bufferNumber; }
    // Number of free blocks.
    uint32_t MemPoolSize();

    // Free-list primitives; the caller holds the pool's mutex.
    bool PopFromFreeList(uint32_t& bufferId);
    void PushToFreeList(uint32_t bufferId);

protected:
    // Start of block `id` (no range test).
    char* BlockStart(uint32_t id) { return poolBuffer + GetRealBufferSize() * id; }

    uint32_t bufferNumber = 0;
    uint64_t bufferSize = 0;
    char* poolBuffer = nullptr;

private:
    FreeIdSet m_freeList;
    std::condition_variable m_cond;
    std::mutex m_mutex;
    PoolCallbacks m_notifyFunList;
};
