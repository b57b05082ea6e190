// Process-wide owner of the replication runtime's three pools: the budgeted
// heap pool, the fixed heap pool and the fixed shared-memory pool (object
// "ReplicationSharedMemPool"). Created on first use, destroyed at exit; any
// thread may call it. Each pool is created once; the getters return null
// until then and the factory keeps ownership.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "replication/memory/ReplicateMemPool.h"
#include "replication/memory/ReplicationNormalMemPool.h"
#include "replication/memory/ReplicationSharedMemPool.h"

class ReplicationMemPoolFactory {
public:
    static ReplicationMemPoolFactory* GetInstance();

    bool InitReplicationNormalMemPool(uint64_t budget);
    bool InitFixedNormalMemPool(uint32_t bufferNumber, uint64_t bufferSize);
    // The creator must initialise before any attached process does.
    bool InitFixedSharedMemPool(bool isCreator, uint32_t bufferNumber, uint64_t bufferSize);

    ReplicationNormalMemPool* GetNormalMemPool() const { return m_normalView.load(std::memory_order_acquire); }
    ReplicateMemPool* GetFixedNormalMemPool() const { return m_fixedView.load(std::memory_order_acquire); }
    ReplicationSharedMemPool* GetFixedSharedMemPool() const { return m_sharedView.load(std::memory_order_acquire); }

    ReplicationMemPoolFactory(const ReplicationMemPoolFactory&) = delete;
    ReplicationMemPoolFactory& operator=(const ReplicationMemPoolFactory&) = delete;

private:
    ReplicationMemPoolFactory() = default;
    ~ReplicationMemPoolFactory() = default;

    std::unique_ptr<ReplicationNormalMemPool> m_normalMemPool;
    std::unique_ptr<ReplicateMemPool> m_fixedNormalMemPool;
    std::unique_ptr<ReplicationSharedMemPool> m_fixedSharedMemPool;
    std::mutex m_mutex;
    // Published copies of the owned pointers, read without the lock.
    std::atomic<ReplicationNormalMemPool*> m_normalView{nullptr};
    std::atomic<ReplicateMemPool*> m_fixedView{nullptr};
    std::atomic<ReplicationSharedMemPool*> m_sharedView{nullptr};
};
