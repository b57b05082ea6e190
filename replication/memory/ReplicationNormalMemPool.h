// Heap blocks of any size under one byte budget. A caller that does not fit
// either waits for frees or registers a callback run on the next free; a
// request larger than the whole budget is refused at once. Any thread may
// allocate and free; every block must be released before the pool dies.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "replication/memory/PoolCallbacks.h"

class ReplicationNormalMemPool final {
public:
    ReplicationNormalMemPool() = default;
    ReplicationNormalMemPool(const ReplicationNormalMemPool&) = delete;
    ReplicationNormalMemPool& operator=(const ReplicationNormalMemPool&) = delete;
    ~ReplicationNormalMemPool() = default;

    // Sets the budget in bytes; always true. May be called again: blocks
    // already out stay counted against the new budget.
    virtual bool Initialize(uint64_t budget);
    // A heap block of exactly `size` bytes, or empty (see the header comment).
    virtual std::shared_ptr<char> MallocMemBlockPtr(uint64_t size, bool wait, std::function<void()> callback);

    uint64_t GetTotalSize();
    uint64_t GetUsedSize();

private:
    void Release(char* block, uint64_t size);

    uint64_t totalSize = 0;
    uint64_t usedSize = 0;
    std::condition_variable m_cond;
    std::mutex m_mutex;
    PoolCallbacks m_notifyFunList;
};
