#include "replication/memory/Lz4Utils.h"

#include <lz4.h>

#include <exception>

#include "foundation/LogProxy.h"
#include "host/Timer.h"

namespace {
const char MODULE_NAME[] = "Lz4Utils";
}  // namespace

std::shared_ptr<ReplicateMemPool> Lz4Utils::m_memPool;
std::mutex Lz4Utils::m_mutex;

bool Lz4Utils::Initialize()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_memPool) {
        return true;
    }
    std::shared_ptr<ReplicateMemPool> pool;
    try {
        pool = std::make_shared<ReplicateMemPool>();
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "New ReplicateMemPool failed. Error is " << e.what();
        return false;
    }
    if (!pool->Initialize(POOL_BLOCKS, static_cast<uint64_t>(LZ4_compressBound(MAX_SOURCE_BYTES)))) {
        LOG_STREAM(4) << "Memory pool Initialize failed";
        return false;
    }
    LOG_STREAM(2) << "Memory pool Initialize success.";
    m_memPool = pool;
    return true;
}

std::shared_ptr<char> Lz4Utils::TakeBuffer(std::shared_ptr<ReplicateMemPool>& pool)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pool = m_memPool;
    }
    BufferSt buf;
    if (!pool || !pool->MallocMemBlock(buf, true, std::function<void()>())) {
        return std::shared_ptr<char>();
    }
    uint32_t id = buf.bufferId;
    try {
        // The deleter holds the pool, so a result outliving every caller stays valid.
        return std::shared_ptr<char>(buf.data, [pool, id](char*) { pool->FreeMemBlock(id); });
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Failed to wrap the result buffer. " << e.what();
        return std::shared_ptr<char>();
    }
}

int32_t Lz4Utils::Compress(const char* src, int32_t srcLen, std::shared_ptr<char>& out)
{
    Oru::Timer timer;
    if (!Initialize()) {
        LOG_STREAM(4) << "The memory pool initialize failed.";
        return -1;
    }
    // Beyond this the result may not fit a buffer and LZ4 answers 0, which
    // must never read as a successful empty compression.
    if (srcLen < 0 || srcLen > MAX_SOURCE_BYTES || (src == nullptr && srcLen > 0)) {
        LOG_STREAM(4) << "Invalid source for compression. srcDataLen=" << srcLen
                      << ", max=" << MAX_SOURCE_BYTES;
        return -1;
    }
    std::shared_ptr<ReplicateMemPool> pool;
    std::shared_ptr<char> block = TakeBuffer(pool);
    if (!block) {
        LOG_STREAM(4) << "The memory pool initialize failed.";
        return -1;
    }
    int capacity = static_cast<int>(pool->GetBufferSize());
    int result = LZ4_compress_default(src, block.get(), srcLen, capacity);
    if (result <= 0) {
        LOG_STREAM(4) << "Compress failed. srcDataLen=" << srcLen << ", err=" << result;
        return -1;
    }
    if (result < srcLen) {
        out = std::move(block);
        LOG_STREAM(0) << " srcDataLen=" << srcLen << ", compressedSize=" << result
                      << ", duration=" << timer.Duration();
        return result;
    }
    LOG_STREAM(0) << "Larger than original data after compression. srcDataLen=" << srcLen
                  << ", compressedSize=" << result << ", duration=" << timer.Duration();
    return -2;
}

int32_t Lz4Utils::Decompress(const char* src, int32_t srcLen, std::shared_ptr<char>& out)
{
    Oru::Timer timer;
    if (!Initialize()) {
        LOG_STREAM(4) << "The memory pool initialize failed.";
        return -1;
    }
    if (srcLen < 0 || (src == nullptr && srcLen > 0)) {
        LOG_STREAM(4) << "Decompress failed. err=" << -1 << ", srcDataLen=" << srcLen;
        return -1;
    }
    std::shared_ptr<ReplicateMemPool> pool;
    std::shared_ptr<char> block = TakeBuffer(pool);
    if (!block) {
        LOG_STREAM(4) << "The memory pool initialize failed.";
        return -1;
    }
    int capacity = static_cast<int>(pool->GetBufferSize());
    int result = LZ4_decompress_safe(src, block.get(), srcLen, capacity);
    if (result < 0) {
        LOG_STREAM(4) << "Decompress failed. err=" << result;
        return -1;
    }
    LOG_STREAM(1) << " srcDataLen=" << srcLen << ", decomrpessedSize=" << result << ", duration=" << timer.Duration();
    out = std::move(block);
    return result;
}
