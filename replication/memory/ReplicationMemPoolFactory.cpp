#include "replication/memory/ReplicationMemPoolFactory.h"

#include <new>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "REPLICATION_MEM_POOL_FACTORY";
const char SHARED_POOL_NAME[] = "ReplicationSharedMemPool";

// The common shape of the three Init operations: test, lock, test again,
// create with a non-throwing allocation, publish, initialise once.
template <typename Pool, typename Make, typename Init>
bool InitOnce(std::mutex& mutex, std::unique_ptr<Pool>& owner, std::atomic<Pool*>& view, const char* createLine,
              const char* failLine, Make make, Init init)
{
    if (view.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (owner) {
        return true;
    }
    LOG_STREAM(1) << createLine;
    owner.reset(make());
    if (!owner) {
        LOG_STREAM(4) << failLine;
        return false;
    }
    // Published only after Initialize, so that no other thread uses a pool
    // that is still being set up.
    bool ok = init(*owner);
    view.store(owner.get(), std::memory_order_release);
    return ok;
}
}  // namespace

ReplicationMemPoolFactory* ReplicationMemPoolFactory::GetInstance()
{
    static ReplicationMemPoolFactory instance;
    return &instance;
}

bool ReplicationMemPoolFactory::InitReplicationNormalMemPool(uint64_t budget)
{
    return InitOnce(
        m_mutex, m_normalMemPool, m_normalView, "Create replication normal memory pool.",
        "Create replication normal memory pool failed.",
        [] { return new (std::nothrow) ReplicationNormalMemPool(); },
        [budget](ReplicationNormalMemPool& pool) { return pool.Initialize(budget); });
}

bool ReplicationMemPoolFactory::InitFixedNormalMemPool(uint32_t bufferNumber, uint64_t bufferSize)
{
    return InitOnce(
        m_mutex, m_fixedNormalMemPool, m_fixedView, "Create replication fixed normal memory pool.",
        "Create replication fixed normal memory pool failed.", [] { return new (std::nothrow) ReplicateMemPool(); },
        [=](ReplicateMemPool& pool) { return pool.Initialize(bufferNumber, bufferSize); });
}

bool ReplicationMemPoolFactory::InitFixedSharedMemPool(bool isCreator, uint32_t bufferNumber, uint64_t bufferSize)
{
    return InitOnce(
        m_mutex, m_fixedSharedMemPool, m_sharedView, "Create replication shared memory pool.",
        "Create replication shared memory pool. failed.",
        [isCreator]() -> ReplicationSharedMemPool* {
            try {
                return new (std::nothrow) ReplicationSharedMemPool(isCreator, SHARED_POOL_NAME);
            } catch (const std::exception&) {
                return nullptr;  // the name string could not be allocated
            }
        },
        [=](ReplicationSharedMemPool& pool) { return pool.Initialize(bufferNumber, bufferSize); });
}
