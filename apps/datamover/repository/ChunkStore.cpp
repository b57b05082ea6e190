#include "apps/datamover/repository/ChunkStore.h"

#include "apps/datamover/repository/ChunkCache.h"

#include <zstd.h>

#include <cstring>
#include <memory>

namespace repo3 {

const char kChunksPrefix[] = "chunks/";

namespace {

constexpr char kMagic[4] = {'D', 'M', 'C', '3'};
constexpr uint8_t kLayoutVersion = 1;
constexpr uint8_t kCompressionNone = 0;
constexpr uint8_t kCompressionZstd = 1;
constexpr uint8_t kCipherNone = 0;
constexpr uint8_t kCipherAes256Gcm = 1;
constexpr char kAadDomain[] = "datamover-chunk-v1";

void PutU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t GetU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Associated data: a domain label (a chunk is never taken for an index), the id
// the chunk is stored under, and the header as written.
std::string Aad(const ChunkId& id, const uint8_t* header)
{
    std::string aad(kAadDomain, sizeof kAadDomain);  // with its NUL
    aad.append(reinterpret_cast<const char*>(id.data()), id.size());
    aad.append(reinterpret_cast<const char*>(header), kChunkHeaderBytes);
    return aad;
}

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// One context per thread: creating one per 4 MiB block costs more than it saves.
ZSTD_CCtx* ThreadCCtx()
{
    thread_local std::unique_ptr<ZSTD_CCtx, CCtxFree> ctx(ZSTD_createCCtx());
    return ctx.get();
}

ZSTD_DCtx* ThreadDCtx()
{
    thread_local std::unique_ptr<ZSTD_DCtx, DCtxFree> ctx(ZSTD_createDCtx());
    return ctx.get();
}

}  // namespace

std::string ChunkIdHex(const ChunkId& id)
{
    return ToHex(id.data(), id.size());
}

bool ParseChunkId(const std::string& hex, ChunkId& id)
{
    // Only the lowercase spelling names a chunk: one id, one object name.
    for (char c : hex) {
        if (c >= 'A' && c <= 'F') {
            return false;
        }
    }
    return FromHex(hex, id.data(), id.size());
}

bool IsAllZero(const void* data, size_t length)
{
    const auto* p = static_cast<const uint8_t*>(data);
    if (length == 0) {
        return true;
    }
    // p[0] is zero and every byte equals its successor: all zero.
    return p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0;
}

ChunkStore::ChunkStore(ObjectStore& store, const RepoKeys& keys, ChunkOptions options)
    : m_store(store), m_keys(keys), m_options(options)
{
    if (m_options.zstdLevel < ZSTD_minCLevel() || m_options.zstdLevel > ZSTD_maxCLevel()) {
        throw std::invalid_argument("zstd level out of range: " + std::to_string(m_options.zstdLevel));
    }
}

std::string ChunkStore::ObjectName(const ChunkId& id)
{
    const std::string hex = ChunkIdHex(id);
    return std::string(kChunksPrefix) + hex.substr(0, 2) + "/" + hex;
}

ChunkId ChunkStore::IdOf(const void* data, size_t length) const
{
    return m_keys.Encrypted() ? HmacSha256(m_keys.mac, data, length) : Sha256(data, length);
}

std::string ChunkStore::Encode(const ChunkId& id, const void* data, size_t length, bool* compressed) const
{
    if (length == 0 || length > kMaxChunkBytes) {
        throw std::invalid_argument("chunk length out of range: " + std::to_string(length));
    }
    // Kept per thread at its largest size: no 4 MiB allocation and clearing per block.
    thread_local std::string packed;
    if (packed.size() < ZSTD_compressBound(length)) {
        packed.resize(ZSTD_compressBound(length));
    }
    const size_t z = ZSTD_compressCCtx(ThreadCCtx(), &packed[0], packed.size(), data, length, m_options.zstdLevel);
    if (ZSTD_isError(z)) {
        throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(z));
    }
    const bool useZstd = z < length;  // else stored raw: never larger than the block
    const void* payload = useZstd ? packed.data() : data;
    const size_t payloadLen = useZstd ? z : length;

    uint8_t header[kChunkHeaderBytes] = {0};
    std::memcpy(header, kMagic, sizeof kMagic);
    header[4] = kLayoutVersion;
    header[5] = useZstd ? kCompressionZstd : kCompressionNone;
    header[6] = m_keys.Encrypted() ? kCipherAes256Gcm : kCipherNone;
    PutU32(header + 8, static_cast<uint32_t>(length));
    PutU32(header + 12, static_cast<uint32_t>(payloadLen + (m_keys.Encrypted() ? kTagBytes : 0)));
    std::string file;
    file.reserve(kChunkHeaderBytes + payloadLen + kTagBytes);
    if (m_keys.Encrypted()) {
        uint8_t nonce[kNonceBytes];
        RandomBytes(nonce, sizeof nonce);
        std::memcpy(header + 16, nonce, sizeof nonce);
        file.append(reinterpret_cast<const char*>(header), sizeof header);
        AeadSeal(m_keys.master, nonce, Aad(id, header), payload, payloadLen, file);
    } else {
        file.append(reinterpret_cast<const char*>(header), sizeof header);
        file.append(static_cast<const char*>(payload), payloadLen);
    }
    if (compressed != nullptr) {
        *compressed = useZstd;
    }
    return file;
}

std::string ChunkStore::Decode(const ChunkId& id, const std::string& file) const
{
    // A first pass without room checks the header (authenticated when sealed) before its length
    // is allocated: a forged length costs nothing.
    std::string plain(DecodeInto(id, file.data(), file.size(), nullptr, 0), '\0');
    DecodeInto(id, file.data(), file.size(), &plain[0], plain.size());
    return plain;
}

size_t ChunkStore::DecodeInto(const ChunkId& id, const char* file, size_t fileLen, char* out, size_t capacity) const
{
    const std::string name = ChunkIdHex(id);
    if (fileLen < kChunkHeaderBytes) {
        throw ChunkError(name, "truncated (shorter than its header)");
    }
    const auto* h = reinterpret_cast<const uint8_t*>(file);
    if (std::memcmp(h, kMagic, sizeof kMagic) != 0) {
        throw ChunkError(name, "not a chunk file (bad magic)");
    }
    if (h[4] != kLayoutVersion) {
        throw ChunkError(name, "unknown chunk layout version " + std::to_string(h[4]));
    }
    const uint8_t compression = h[5];
    const uint8_t cipher = h[6];
    const uint32_t plainLen = GetU32(h + 8);
    const uint32_t payloadLen = GetU32(h + 12);
    if (compression > kCompressionZstd || cipher > kCipherAes256Gcm || h[7] != 0 || GetU32(h + 28) != 0) {
        throw ChunkError(name, "unknown compression, cipher or reserved field");
    }
    // The repository decides the cipher, not the file: a plain chunk in an
    // encrypted repository is a forgery, a sealed one in a plain one foreign.
    if ((cipher == kCipherAes256Gcm) != m_keys.Encrypted()) {
        throw ChunkError(name, "cipher does not match the repository's encryption");
    }
    if (plainLen == 0 || plainLen > kMaxChunkBytes) {
        throw ChunkError(name, "plaintext length out of range");
    }
    if (payloadLen != fileLen - kChunkHeaderBytes) {
        throw ChunkError(name, "truncated or extended (payload length " + std::to_string(payloadLen) +
                                   ", file holds " + std::to_string(fileLen - kChunkHeaderBytes) + ")");
    }
    if (cipher == kCipherNone && !IsAllZero(h + 16, kNonceBytes)) {
        throw ChunkError(name, "nonce set in an unsealed chunk");
    }
    const bool fits = plainLen <= capacity;
    const char* payload = file + kChunkHeaderBytes;
    size_t length = payloadLen;
    if (cipher == kCipherAes256Gcm) {
        if (payloadLen < kTagBytes) {
            throw ChunkError(name, "truncated (shorter than its tag)");
        }
        length = payloadLen - kTagBytes;
        // A raw chunk that fits opens straight into `out`; any other into a scratch kept per
        // thread at its largest size, so no block costs an allocation and its clearing.
        thread_local std::string opened;
        char* into = out;
        if (compression == kCompressionZstd || !fits) {
            if (opened.size() < length) opened.resize(length);
            into = &opened[0];
        }
        uint8_t nonce[kNonceBytes];
        std::memcpy(nonce, h + 16, sizeof nonce);
        if (!AeadOpenInto(m_keys.master, nonce, Aad(id, h), payload, payloadLen, into)) {
            throw ChunkError(name, "authentication failed (altered, stored under another id, or sealed under "
                                   "another key)");
        }
        payload = into;
    }
    if (compression == kCompressionZstd && ZSTD_getFrameContentSize(payload, length) != plainLen) {
        throw ChunkError(name, "compressed frame does not declare the chunk's length");
    }
    if (compression == kCompressionNone && length != plainLen) {
        throw ChunkError(name, "raw payload length differs from the chunk's length");
    }
    // The length is now authenticated (or agrees with the payload): a chunk too long for the
    // caller is its misfit to name, not damage.
    if (!fits) {
        return plainLen;
    }
    if (compression == kCompressionZstd) {
        const size_t n = ZSTD_decompressDCtx(ThreadDCtx(), out, plainLen, payload, length);
        if (ZSTD_isError(n) || n != plainLen) {
            throw ChunkError(name, std::string("cannot decompress: ") +
                                       (ZSTD_isError(n) ? ZSTD_getErrorName(n) : "wrong length"));
        }
    } else if (cipher == kCipherNone) {
        std::memcpy(out, payload, length);
    }
    const ChunkId actual = IdOf(out, plainLen);
    if (!ConstantTimeEqual(actual.data(), id.data(), id.size())) {
        throw ChunkError(name, "content does not hash to its id");
    }
    return plainLen;
}

PutResult ChunkStore::Put(const void* data, size_t length)
{
    if (IsAllZero(data, length)) {
        throw std::invalid_argument("all-zero blocks are not stored as chunks");
    }
    PutResult r;
    r.id = IdOf(data, length);
    const std::string name = ObjectName(r.id);
    // A cheap look first: a duplicate costs neither compression nor sealing.
    // With a cache the look costs no request; a chunk it does not know is
    // almost surely new, and the put-if-absent settles the rare race.
    if (Present(r.id)) {
        return r;
    }
    const std::string file = Encode(r.id, data, length, &r.compressed);
    r.stored = !m_store.PutIfAbsent(name, file);
    r.storedBytes = r.stored ? file.size() : 0;
    NoteStored(r.id);
    return r;
}

bool ChunkStore::Present(const ChunkId& id) const
{
    return m_cache != nullptr ? m_cache->Known(id) : m_store.Exists(ObjectName(id));
}

void ChunkStore::NoteStored(const ChunkId& id)
{
    if (m_cache != nullptr) m_cache->Add(id);
}

// The chunk's file, into a buffer kept per thread (no allocation per block once grown).
const std::string& ChunkStore::Fetch(const ChunkId& id) const
{
    thread_local std::string file;
    bool found = false;
    try {
        found = m_store.Get(ObjectName(id), file);
    } catch (const StorageError& e) {
        throw ChunkError(ChunkIdHex(id), std::string("cannot be read: ") + e.what());
    }
    if (!found) {
        throw ChunkError(ChunkIdHex(id), "missing");
    }
    return file;
}

std::string ChunkStore::Get(const ChunkId& id) const
{
    return Decode(id, Fetch(id));
}

size_t ChunkStore::GetInto(const ChunkId& id, char* out, size_t capacity) const
{
    const std::string& file = Fetch(id);
    return DecodeInto(id, file.data(), file.size(), out, capacity);
}

bool ChunkStore::Exists(const ChunkId& id) const
{
    return m_store.Exists(ObjectName(id));
}

std::vector<ChunkId> ChunkStore::List() const
{
    std::vector<ChunkId> ids;
    for (const std::string& name : m_store.List(kChunksPrefix)) {
        // chunks/<2 hex>/<64 hex>, the first two agreeing; anything else is not ours.
        const size_t prefix = sizeof kChunksPrefix - 1;
        if (name.size() != prefix + 3 + 2 * kDigestBytes || name[prefix + 2] != '/') {
            continue;
        }
        const std::string hex = name.substr(prefix + 3);
        ChunkId id{};
        if (ParseChunkId(hex, id) && name.compare(prefix, 2, hex, 0, 2) == 0) {
            ids.push_back(id);
        }
    }
    return ids;
}

bool ChunkStore::Remove(const ChunkId& id)
{
    return m_store.Delete(ObjectName(id));
}

}  // namespace repo3
