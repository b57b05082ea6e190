#include "replication/memory/ReplicationNormalMemPool.h"

#include <exception>
#include <new>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "ReplicationNormalMemPool";
}  // namespace

bool ReplicationNormalMemPool::Initialize(uint64_t budget)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    totalSize = budget;
    // Waiters test again: a larger budget may let them in, a smaller one
    // refuses those that can never fit.
    m_cond.notify_all();
    return true;
}

std::shared_ptr<char> ReplicationNormalMemPool::MallocMemBlockPtr(uint64_t size, bool wait,
                                                                  std::function<void()> callback)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // No amount of freeing makes such a request fit: waiting would hang.
        // Tested on every pass, since a new budget may have shrunk the pool.
        if (size > totalSize) {
            uint64_t budget = totalSize;
            lock.unlock();
            LOG_STREAM(4) << "Request exceeds the NormalMemPool budget. bufferSize:" << size
                          << ", totalSize=" << budget;
            return std::shared_ptr<char>();
        }
        // Written so that nothing wraps: usedSize may exceed a budget that
        // was lowered while blocks were out.
        if (usedSize <= totalSize - size) {
            break;
        }
        LOG_STREAM(1) << "NormalMemPool is used up.Wait for net free";
        if (!wait) {
            m_notifyFunList.Add(std::move(callback));
            return std::shared_ptr<char>();
        }
        m_cond.wait(lock);
    }
    char* block = new (std::nothrow) char[size];
    if (block == nullptr) {
        // Not counted, and not retried in a loop: the heap will not recover
        // by spinning on it.
        lock.unlock();
        LOG_STREAM(4) << "Failed to new memory from NormalMemPool. bufferSize:" << size;
        return std::shared_ptr<char>();
    }
    usedSize += size;
    lock.unlock();
    LOG_STREAM(0) << "Alloc one from NormalMemPool bufferSize:" << size;
    try {
        return std::shared_ptr<char>(block, [this, size](char* p) { Release(p, size); });
    } catch (const std::exception& e) {
        // The deleter has already run: the block is freed and uncounted.
        LOG_STREAM(4) << "Failed to new memory from NormalMemPool. " << e.what();
        return std::shared_ptr<char>();
    }
}

void ReplicationNormalMemPool::Release(char* block, uint64_t size)
{
    LOG_STREAM(0) << "Free one from NormalMemPool bufferSize:" << size;
    delete[] block;
    PoolCallbacks::List callbacks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        usedSize -= size;
        // Waiters ask for different sizes; any of them may fit now.
        m_cond.notify_all();
        m_notifyFunList.TakeAll(callbacks);
    }
    PoolCallbacks::RunAll(callbacks, MODULE_NAME);
}

uint64_t ReplicationNormalMemPool::GetTotalSize()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return totalSize;
}

uint64_t ReplicationNormalMemPool::GetUsedSize()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return usedSize;
}
