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
    // Fixed once the slab exists; kept so that each allocation saves a virtual call.
    m_realSize = GetRealBufferSize();
    m_freeList.Fill(bufferNumber);
    return true;
}

void ReplicateMemPool::RefuseFree(uint32_t id)
{
    LOG_STREAM(4) << "FreeMemBlock failed bufferId not exist:" << id;
}

void ReplicateMemPool::TraceAlloc(uint32_t id)
{
    LOG_STREAM(0) << "alloc one from MemPool bufferId:" << id << ", free buffer size=" << m_freeList.Size();
}

void ReplicateMemPool::TraceFree(uint32_t id, bool done, size_t callbacks)
{
    if (!done) {
        LOG_STREAM(0) << "Enter free one to MemPool bufferId:" << id;
        return;
    }
    LOG_STREAM(0) << "Free one to MemPool bufferId:" << id << ", free buffer size=" << m_freeList.Size()
                  << ", m_notifyFunList size=" << callbacks;
}

void ReplicateMemPool::FillHandle(BufferSt& buf, uint32_t id)
{
    if (LogLevelEnabled(0)) {
        TraceAlloc(id);
    }
    buf.bufferId = id;
    buf.data = poolBuffer + m_realSize * id;
    buf.size = static_cast<int32_t>(bufferSize);
}

bool ReplicateMemPool::MallocMemBlock(BufferSt& buf, bool wait, std::function<void()> callback)
{
    uint32_t id = 0;
    if (m_freeList.PopLowest(id)) {
        FillHandle(buf, id);
        return true;
    }
    return MallocFromEmptyPool(buf, wait, callback);
}

bool ReplicateMemPool::MallocFromEmptyPool(BufferSt& buf, bool wait, std::function<void()>& callback)
{
    if (poolBuffer == nullptr) {
        // No block will ever come back: waiting would hang, a callback never run.
        LOG_STREAM(4) << "Memory pool is not initialized.";
        return false;
    }
    uint32_t id = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    // Announce before looking again, so that a free racing with us either
    // leaves its block to this second look or sees us and takes the mutex.
    m_pending.fetch_add(1);
    for (;;) {
        if (m_freeList.PopLowest(id)) {
            m_pending.fetch_sub(1);
            lock.unlock();
            FillHandle(buf, id);
            return true;
        }
        if (!wait) {
            // Stays counted in m_pending until a free takes the callback.
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
        RefuseFree(bufferId);
        return false;
    }
    bool trace = LogLevelEnabled(0);
    if (trace) {
        TraceFree(bufferId, false, 0);
    }
    // A duplicate is ignored by the set; waiters and callbacks are still served.
    m_freeList.Insert(bufferId);
    size_t callbacks = 0;
    if (m_pending.load() != 0) {
        callbacks = WakeWaiters();
    }
    if (trace) {
        TraceFree(bufferId, true, callbacks);
    }
    return true;
}

size_t ReplicateMemPool::WakeWaiters()
{
    PoolCallbacks::List callbacks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cond.notify_one();
        m_notifyFunList.TakeAll(callbacks);
        m_pending.fetch_sub(static_cast<uint32_t>(callbacks.size()));
    }
    PoolCallbacks::RunAll(callbacks, MODULE_NAME);
    return callbacks.size();
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
    return m_freeList.Size();
}

bool ReplicateMemPool::PopFromFreeList(uint32_t& bufferId)
{
    return m_freeList.PopLowest(bufferId);
}

void ReplicateMemPool::PushToFreeList(uint32_t bufferId)
{
    // A duplicate is ignored: the set holds each id once. Lock-free; holding
    // the mutex is not required.
    m_freeList.Insert(bufferId);
}
