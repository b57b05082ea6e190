// Fixed-block memory pool of the replication runtime: equal blocks carved from
// one slab, named by a small id. This class is the one fixed-block core; a
// subclass chooses where the slab comes from (CreatePoolBuffer) and how far
// apart blocks lie (GetRealBufferSize). Any thread may allocate and free.
// Every pointer from MallocMemBlockPtr must be released before the pool dies.
#pragma once
#include <atomic>
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

    // Free-list primitives; lock-free, safe with or without the mutex held.
    bool PopFromFreeList(uint32_t& bufferId);
    void PushToFreeList(uint32_t bufferId);

protected:
    // Start of block `id` (no range test).
    char* BlockStart(uint32_t id) { return poolBuffer + GetRealBufferSize() * id; }

    uint32_t bufferNumber = 0;
    uint64_t bufferSize = 0;
    char* poolBuffer = nullptr;

private:
    // Log lines of the hot paths, out of line so that a disabled level costs
    // only the level test.
    __attribute__((noinline)) void TraceAlloc(uint32_t id);
    __attribute__((noinline)) void TraceFree(uint32_t id, bool done, size_t callbacks);
    __attribute__((noinline)) void RefuseFree(uint32_t id);
    // Fills the handle for block `id`.
    void FillHandle(BufferSt& buf, uint32_t id);
    // The paths that take the mutex, kept out of line so that the common
    // allocation and free stay small.
    __attribute__((noinline)) bool MallocFromEmptyPool(BufferSt& buf, bool wait, std::function<void()>& callback);
    // Wakes one waiter and runs the registered callbacks; returns their number.
    __attribute__((noinline)) size_t WakeWaiters();

    // Allocation and free are one atomic operation on the free list each; the
    // mutex is taken only when the pool ran empty. m_pending counts blocked
    // allocators plus registered callbacks (changed under the mutex): a free
    // that sees it above zero takes the mutex to wake and call them. Both
    // sides publish first and then look (sequentially consistent), so a free
    // can never pass a waiter unseen.
    FreeIdSet m_freeList;
    uint64_t m_realSize = 0;
    std::atomic<uint32_t> m_pending{0};
    std::condition_variable m_cond;
    std::mutex m_mutex;
    PoolCallbacks m_notifyFunList;
};
