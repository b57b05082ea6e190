// LZ4 block compression of replication payloads. Results live in blocks of a
// private pool of ten LZ4_compressBound(4194320)-byte buffers, owned by the
// returned pointer; an eleventh concurrent holder waits for a release. Any
// thread may call; the pool is created on first use and lives until exit.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "replication/memory/ReplicateMemPool.h"

class Lz4Utils {
public:
    // Largest source block the result buffers are sized for (4 MiB + 16).
    static constexpr int32_t MAX_SOURCE_BYTES = 4194320;
    static constexpr uint32_t POOL_BLOCKS = 10;

    // Creates the result pool once; true when it exists.
    static bool Initialize();
    // Compressed length with `out` holding the bytes; -1 on failure (no pool,
    // bad or oversized source, library failure); -2 when compression does not
    // make the data smaller (`out` unchanged).
    static int32_t Compress(const char* src, int32_t srcLen, std::shared_ptr<char>& out);
    // Decompressed length with `out` holding the bytes; -1 when the pool is
    // unavailable or the data is not valid LZ4.
    static int32_t Decompress(const char* src, int32_t srcLen, std::shared_ptr<char>& out);

private:
    // One result buffer, waiting while all are in use; empty without a pool.
    static std::shared_ptr<char> TakeBuffer(std::shared_ptr<ReplicateMemPool>& pool);

    static std::shared_ptr<ReplicateMemPool> m_memPool;
    static std::mutex m_mutex;
};
