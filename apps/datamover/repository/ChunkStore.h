// Content-addressed chunks: each distinct block is stored once, under the hex of
// its id (HMAC-SHA256 under the MAC key when encrypted, SHA-256 otherwise),
// compressed with zstd when that helps and sealed with AES-256-GCM bound to its
// id. Get() returns a chunk only after every check held. Thread-safe.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/datamover/repository/Keys.h"
#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

using ChunkId = std::array<uint8_t, kDigestBytes>;

constexpr size_t kChunkHeaderBytes = 32;
constexpr size_t kMaxChunkBytes = 1u << 30;  // the largest block size a volume may have
extern const char kChunksPrefix[];           // "chunks/"

// A chunk that cannot be returned (missing, damaged, forged); names the chunk.
class ChunkError : public std::runtime_error {
public:
    ChunkError(const std::string& id, const std::string& what)
        : std::runtime_error("chunk " + id + ": " + what), chunkId(id) {}
    std::string chunkId;
};

std::string ChunkIdHex(const ChunkId& id);
bool ParseChunkId(const std::string& hex, ChunkId& id);
bool IsAllZero(const void* data, size_t length);

struct ChunkOptions {
    int zstdLevel = 1;  // fast; negative levels are faster still
};

struct PutResult {
    ChunkId id{};
    bool stored = false;     // false: the chunk was already there (dedup)
    size_t storedBytes = 0;  // bytes of the chunk file written (0 when deduplicated)
    bool compressed = false;
};

class ChunkCache;

class ChunkStore {
public:
    ChunkStore(ObjectStore& store, const RepoKeys& keys, ChunkOptions options = {});
    ChunkId IdOf(const void* data, size_t length) const;
    // Stores the block unless a chunk of its id exists. An all-zero block is
    // refused (std::invalid_argument): indexes record it as "zero" instead.
    PutResult Put(const void* data, size_t length);
    // The plaintext, after authentication, decompression and the id check; ChunkError otherwise.
    std::string Get(const ChunkId& id) const;
    // The same into `out` (room for `capacity` bytes), without allocating per call; returns the
    // plaintext's length. A chunk longer than `capacity` returns its length once its header holds
    // (authenticated when sealed) and writes nothing; after a ChunkError `out` holds nothing to be used.
    size_t GetInto(const ChunkId& id, char* out, size_t capacity) const;
    bool Exists(const ChunkId& id) const;
    // Ids of every stored chunk; objects under chunks/ that are not chunk names are skipped.
    std::vector<ChunkId> List() const;
    bool Remove(const ChunkId& id);
    static std::string ObjectName(const ChunkId& id);  // chunks/<first 2 hex>/<64 hex>
    // Put() then asks `cache` instead of the store whether a chunk exists, and
    // records what it stores there (see ChunkCache.h); nullptr: ask the store.
    void UseCache(ChunkCache* cache) { m_cache = cache; }
    // Whether the chunk is taken as stored: the cache's answer when one is in use, else the store's.
    bool Present(const ChunkId& id) const;
    // A chunk just stored (or found stored by a put-if-absent) joins the cache, if any.
    void NoteStored(const ChunkId& id);

    // The chunk file for a block of known id, and its inverse (for tests and the format description).
    std::string Encode(const ChunkId& id, const void* data, size_t length, bool* compressed = nullptr) const;
    std::string Decode(const ChunkId& id, const std::string& file) const;
    size_t DecodeInto(const ChunkId& id, const char* file, size_t fileLen, char* out, size_t capacity) const;

private:
    const std::string& Fetch(const ChunkId& id) const;

    ObjectStore& m_store;
    RepoKeys m_keys;
    ChunkOptions m_options;
    ChunkCache* m_cache = nullptr;
};

}  // namespace repo3
