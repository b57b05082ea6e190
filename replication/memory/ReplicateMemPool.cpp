#include "replication/memory/ReplicateMemPool.h"

#include <exception>
#include <new>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "ReplicateMemPool";
const uint64_t MAX_POOL_BYTES = 10737418240ULL;  // 10 GiB
}  // namespace

ReplicateMemPool::~ReplicateMemPool()
{
    delete[] poolBuffer;
    poolBuffer = nullptr;
}

char* ReplicateMemPool::CreatePoolBuffer()
{
    // Written as a division so that a huge product cannot wrap round.
    if (bufferNumber == 0 || bufferSize == 0 || bufferSize > MAX_POOL_BYTES / bufferNumber) {
        LOG_STREAM(4) << "Initialize memory pool failed.bufferNumber " << bufferNumber
                      << ",bufferSize=" << bufferSize;
        return nullptr;
    }
    uint64_t total = bufferSize * bufferNumber;
    try {
        char* buffer = new (std::nothrow) char[total];
        if (buffer == nullptr) {
            LOG_STREAM(4) << "Failed to new memory for pool";
        }
        return buffer;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "ReplicateMemPool Init:Memory allocated failed." << e.what();
        return nullptr;
    }
}

bool ReplicateMemPool::Initialize(uint32_t number, uint64_t size)
{
    LOG_STREAM(2) << "begin to Initialize memory pool.bufferNumber=" << number << ",bufferSize=" << size;
    if (poolBuffer != nullptr) {
        // A second slab would strand every block of the first.
        LOG_STREAM(4) << "Memory pool is already initialized.";
        return false;
    }
    bufferNumber = number;
    bufferSize = size;
    poolBuffer = CreatePoolBuffer();
    if (poolBuffer == nullptr) {
        LOG_STREAM(4) << "ReplicateMemPool Init:Memory allocated failed.";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_freeList.Fill(bufferNumber);
    return true;
}

bool ReplicateMemPool::MallocMemBlock(BufferSt& buf, bool wait, std::function<void()> callback)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (poolBuffer == nullptr) {
        // No block will ever come back: waiting would hang, a callback never run.
        lock.unlock();
        LOG_STREAM(4) << "Memory pool is not initialized.";
        return false;
    }
    for (;;) {
        uint32_t id = 0;
        if (PopFromFreeList(id)) {
            uint32_t freeCount = m_freeList.Size();
            lock.unlock();
            LOG_STREAM(0) << "alloc one from MemPool bufferId:" << id << ", free buffer size=" << freeCount;
            buf.bufferId = id;
            buf.data = BlockStart(id);
            buf.size = static_cast<int32_t>(bufferSize);
            return true;
        }
        if (!wait) {
            m_notifyFunList.Add(std::move(callback));
            return false;
        }
        LOG_STREAM(1) << "MemPool is used up.Wait for net free";
        m_cond.wait(lock);
    }
}

bool ReplicateMemPool::FreeMemBlock(uint32_t bufferId)
{
    if (bufferId >= bufferNumber) {
        LOG_STREAM(4) << "FreeMemBlock failed bufferId not exist:" << bufferId;
        return false;
    }
    LOG_STREAM(0) << "Enter free one to MemPool bufferId:" << bufferId;
    PoolCallbacks::List callbacks;
    uint32_t freeCount = 0;
    size_t callbackCount = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PushToFreeList(bufferId);
        m_cond.notify_one();
        freeCount = m_freeList.Size();
        callbackCount = m_notifyFunList.Size();
        if (callbackCount != 0) {
            m_notifyFunList.TakeAll(callbacks);
        }
    }
    LOG_STREAM(0) << "Free one to MemPool bufferId:" << bufferId << ", free buffer size=" << freeCount
                  << ", m_notifyFunList size=" << callbackCount;
    PoolCallbacks::RunAll(callbacks, MODULE_NAME);
    return true;
}

std::shared_ptr<char> ReplicateMemPool::MallocMemBlockPtr(bool wait, std::function<void()> callback)
{
    BufferSt buf;
    if (!MallocMemBlock(buf, wait, std::move(callback))) {
        return std::shared_ptr<char>();
    }
    uint32_t id = buf.bufferId;
    try {
        return std::shared_ptr<char>(buf.data, [this, id](char*) { FreeMemBlock(id); });
    } catch (const std::exception& e) {
        // The control block could not be allocated; shared_ptr has already
        // run the deleter, so the block is back in the pool.
        LOG_STREAM(4) << "MallocMemBlockPtr failed: " << e.what();
        return std::shared_ptr<char>();
    }
}

uint64_t ReplicateMemPool::GetRealBufferSize()
{
    return bufferSize;
}

uint32_t ReplicateMemPool::MemPoolSize()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_freeList.Size();
}

bool ReplicateMemPool::PopFromFreeList(uint32_t& bufferId)
{
    return m_freeList.PopLowest(bufferId);
}

void ReplicateMemPool::PushToFreeList(uint32_t bufferId)
{
    // A duplicate is ignored: the set holds each id once.
    m_freeList.Insert(bufferId);
}
