#include "apps/datamover/repository/Index.h"

#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace repo3 {

const char kIndexesPrefix[] = "indexes/";

namespace {

constexpr char kMagic[8] = {'D', 'M', 'I', 'N', 'D', 'E', 'X', '3'};
constexpr size_t kHeaderBytes = 32;
constexpr uint8_t kLayoutVersion = 1;
constexpr uint8_t kCipherNone = 0;
constexpr uint8_t kCipherAes256Gcm = 1;
constexpr uint8_t kEntryZero = 0;
constexpr uint8_t kEntryChunk = 1;
constexpr char kAadDomain[] = "datamover-index-v1";
constexpr uint32_t kMaxMetaBytes = 1u << 20;

void PutLe(std::string& s, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        s.push_back(static_cast<char>(v >> (8 * i)));
    }
}

uint64_t GetLe(const char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v |= uint64_t(static_cast<uint8_t>(p[i])) << (8 * i);
    }
    return v;
}

// The names the index is stored under and its header: what binds it.
std::string Aad(const std::string& volumeId, const std::string& backupId, const char* header)
{
    std::string aad(kAadDomain, sizeof kAadDomain);
    aad += volumeId;
    aad.push_back('\0');
    aad += backupId;
    aad.push_back('\0');
    aad.append(header, kHeaderBytes);
    return aad;
}

std::string Where(const std::string& volumeId, const std::string& backupId)
{
    return "index " + volumeId + "/" + backupId;
}

void CheckMeta(const IndexMeta& m, size_t blocks, const std::string& where)
{
    if (!ValidIndexId(m.volumeId) || !ValidIndexId(m.backupId) ||
        (!m.parentBackup.empty() && !ValidIndexId(m.parentBackup))) {
        throw IndexError(where + ": invalid volume, backup or parent id");
    }
    if (m.parentBackup == m.backupId) {
        throw IndexError(where + ": names itself as its parent");
    }
    if (m.volumeSize == 0 || m.blockSize == 0 || m.blockSize % 4096 != 0 || m.blockSize > kMaxChunkBytes) {
        throw IndexError(where + ": volume size or block size out of range");
    }
    if (blocks != IndexBlockCount(m.volumeSize, m.blockSize)) {
        throw IndexError(where + ": " + std::to_string(blocks) + " blocks for a volume of " +
                         std::to_string(IndexBlockCount(m.volumeSize, m.blockSize)));
    }
}

}  // namespace

bool ValidIndexId(const std::string& id)
{
    if (id.empty() || id.size() > 128) {
        return false;
    }
    for (char c : id) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

uint64_t IndexBlockCount(uint64_t volumeSize, uint64_t blockSize)
{
    return blockSize == 0 ? 0 : volumeSize / blockSize + (volumeSize % blockSize != 0 ? 1 : 0);
}

uint64_t IndexBlockLength(const IndexMeta& meta, uint64_t i)
{
    if (meta.blockSize == 0 || i >= IndexBlockCount(meta.volumeSize, meta.blockSize)) {
        return 0;
    }
    return std::min(meta.blockSize, meta.volumeSize - i * meta.blockSize);
}

void ReadBlockInto(const ChunkStore& chunks, const BackupIndex& index, uint64_t i, char* out)
{
    const std::string where = Where(index.meta.volumeId, index.meta.backupId);
    if (i >= index.blocks.size()) {
        throw IndexError(where + ": no block " + std::to_string(i));
    }
    const uint64_t length = IndexBlockLength(index.meta, i);
    if (!index.blocks[i]) {
        std::memset(out, 0, length);
        return;
    }
    const ChunkId& id = *index.blocks[i];
    const size_t n = chunks.GetInto(id, out, length);
    if (n != length) {
        throw IndexError(where + ": block " + std::to_string(i) + " is " + std::to_string(length) +
                         " bytes, its chunk " + ChunkIdHex(id) + " " + std::to_string(n));
    }
}

std::string ReadBlock(const ChunkStore& chunks, const BackupIndex& index, uint64_t i)
{
    std::string data(i < index.blocks.size() ? IndexBlockLength(index.meta, i) : 0, '\0');
    ReadBlockInto(chunks, index, i, &data[0]);
    return data;
}

BackupIndex ChildIndex(const BackupIndex& parent, const IndexMeta& meta)
{
    const IndexMeta& p = parent.meta;
    const std::string where = Where(meta.volumeId, meta.backupId);
    if (meta.parentBackup != p.backupId || meta.volumeId != p.volumeId || meta.volumeSize != p.volumeSize ||
        meta.dataOffset != p.dataOffset || meta.blockSize != p.blockSize) {
        throw IndexError(where + ": cannot follow " + Where(p.volumeId, p.backupId) +
                         " (another parent, volume or geometry)");
    }
    if (meta.createdAtMicros < p.createdAtMicros) {
        throw IndexError(where + ": older than its parent " + p.backupId);
    }
    BackupIndex child;
    child.meta = meta;
    child.blocks = parent.blocks;
    return child;
}

IndexStore::IndexStore(ObjectStore& store, const RepoKeys& keys) : m_store(store), m_keys(keys) {}

std::string IndexStore::ObjectName(const std::string& volumeId, const std::string& backupId)
{
    if (!ValidIndexId(volumeId) || !ValidIndexId(backupId)) {
        throw IndexError("invalid index name " + volumeId + "/" + backupId);
    }
    return std::string(kIndexesPrefix) + volumeId + "/" + backupId;
}

std::string IndexStore::Encode(const BackupIndex& index) const
{
    const IndexMeta& m = index.meta;
    const std::string where = Where(m.volumeId, m.backupId);
    CheckMeta(m, index.blocks.size(), where);
    Json::Value j;
    j["backup_id"] = m.backupId;
    j["volume_id"] = m.volumeId;
    j["volume_size"] = Json::UInt64(m.volumeSize);
    j["data_offset"] = Json::UInt64(m.dataOffset);
    j["block_size"] = Json::UInt64(m.blockSize);
    j["parent_backup"] = m.parentBackup;
    j["snapshot"] = m.snapshot;
    j["snapshot_identity"] = m.snapshotIdentity;
    j["created_at_us"] = Json::Int64(m.createdAtMicros);
    if (m.storageType >= 0) j["storage_type"] = m.storageType;
    if (!m.snapshotUrl.empty()) j["snapshot_url"] = m.snapshotUrl;
    if (!m.parentSnapshot.empty()) j["parent_snapshot"] = m.parentSnapshot;
    Json::StreamWriterBuilder wb;
    wb["indentation"] = "";
    const std::string meta = Json::writeString(wb, j);
    if (meta.size() > kMaxMetaBytes) {
        throw IndexError(where + ": metadata too large");
    }

    std::string body;
    body.reserve(4 + meta.size() + 8 + index.blocks.size() * (1 + kDigestBytes));
    PutLe(body, meta.size(), 4);
    body += meta;
    PutLe(body, index.blocks.size(), 8);
    for (const auto& b : index.blocks) {
        if (b) {
            body.push_back(static_cast<char>(kEntryChunk));
            body.append(reinterpret_cast<const char*>(b->data()), b->size());
        } else {
            body.push_back(static_cast<char>(kEntryZero));
        }
    }

    char header[kHeaderBytes] = {0};
    std::memcpy(header, kMagic, sizeof kMagic);
    header[8] = static_cast<char>(kLayoutVersion);
    header[9] = static_cast<char>(m_keys.Encrypted() ? kCipherAes256Gcm : kCipherNone);
    std::string file;
    if (m_keys.Encrypted()) {
        uint8_t nonce[kNonceBytes];
        RandomBytes(nonce, sizeof nonce);
        std::memcpy(header + 16, nonce, sizeof nonce);
        file.assign(header, kHeaderBytes);
        AeadSeal(m_keys.master, nonce, Aad(m.volumeId, m.backupId, header), body.data(), body.size(), file);
    } else {
        file.assign(header, kHeaderBytes);
        file += body;
        const std::string covered = Aad(m.volumeId, m.backupId, header) + body;
        const Digest d = Sha256(covered.data(), covered.size());
        file.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    return file;
}

BackupIndex IndexStore::Decode(const std::string& volumeId, const std::string& backupId,
                               const std::string& file) const
{
    const std::string where = Where(volumeId, backupId);
    if (file.size() < kHeaderBytes) {
        throw IndexError(where + ": truncated");
    }
    const char* h = file.data();
    if (std::memcmp(h, kMagic, sizeof kMagic) != 0) {
        throw IndexError(where + ": not an index (bad magic)");
    }
    if (static_cast<uint8_t>(h[8]) != kLayoutVersion) {
        throw IndexError(where + ": unknown index layout version");
    }
    const uint8_t cipher = static_cast<uint8_t>(h[9]);
    for (size_t i : {10, 11, 12, 13, 14, 15, 28, 29, 30, 31}) {
        if (h[i] != 0) {
            throw IndexError(where + ": reserved header bytes set");
        }
    }
    if (cipher > kCipherAes256Gcm || (cipher == kCipherAes256Gcm) != m_keys.Encrypted()) {
        throw IndexError(where + ": cipher does not match the repository's encryption");
    }
    const std::string aad = Aad(volumeId, backupId, h);
    std::string body;
    if (cipher == kCipherAes256Gcm) {
        uint8_t nonce[kNonceBytes];
        std::memcpy(nonce, h + 16, sizeof nonce);
        if (!AeadOpen(m_keys.master, nonce, aad, file.data() + kHeaderBytes, file.size() - kHeaderBytes, body)) {
            throw IndexError(where + ": authentication failed (altered, truncated, stored under another name, or "
                                     "sealed under another key)");
        }
    } else {
        if (file.size() < kHeaderBytes + kDigestBytes) {
            throw IndexError(where + ": truncated");
        }
        body.assign(file, kHeaderBytes, file.size() - kHeaderBytes - kDigestBytes);
        const std::string covered = aad + body;
        const Digest d = Sha256(covered.data(), covered.size());
        if (!ConstantTimeEqual(d.data(), file.data() + file.size() - kDigestBytes, kDigestBytes)) {
            throw IndexError(where + ": checksum mismatch (altered, truncated or stored under another name)");
        }
    }

    // Authenticated from here on, but still parsed defensively.
    size_t pos = 0;
    auto need = [&](size_t n) {
        if (body.size() - pos < n) {
            throw IndexError(where + ": body ends early");
        }
    };
    need(4);
    const uint32_t metaLen = static_cast<uint32_t>(GetLe(body.data(), 4));
    pos = 4;
    if (metaLen > kMaxMetaBytes) {
        throw IndexError(where + ": metadata too large");
    }
    need(metaLen);
    Json::CharReaderBuilder rb;
    rb["failIfExtra"] = true;
    rb["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value j;
    std::string err;
    if (!reader->parse(body.data() + pos, body.data() + pos + metaLen, &j, &err) || !j.isObject()) {
        throw IndexError(where + ": metadata is not valid JSON");
    }
    pos += metaLen;
    for (const char* k : {"backup_id", "volume_id", "parent_backup", "snapshot", "snapshot_identity"}) {
        if (!j[k].isString()) {
            throw IndexError(where + ": metadata field " + k + " missing");
        }
    }
    for (const char* k : {"volume_size", "data_offset", "block_size"}) {
        if (!j[k].isUInt64()) {
            throw IndexError(where + ": metadata field " + k + " missing");
        }
    }
    if (!j["created_at_us"].isInt64()) {
        throw IndexError(where + ": metadata field created_at_us missing");
    }
    // Optional members: absent is fine, present of the wrong type is damage.
    if ((j.isMember("storage_type") && (!j["storage_type"].isInt() || j["storage_type"].asInt() < 0)) ||
        (j.isMember("snapshot_url") && !j["snapshot_url"].isString()) ||
        (j.isMember("parent_snapshot") && !j["parent_snapshot"].isString())) {
        throw IndexError(where + ": metadata has an optional field of the wrong type");
    }
    BackupIndex index;
    IndexMeta& m = index.meta;
    m.backupId = j["backup_id"].asString();
    m.volumeId = j["volume_id"].asString();
    m.volumeSize = j["volume_size"].asUInt64();
    m.dataOffset = j["data_offset"].asUInt64();
    m.blockSize = j["block_size"].asUInt64();
    m.parentBackup = j["parent_backup"].asString();
    m.snapshot = j["snapshot"].asString();
    m.snapshotIdentity = j["snapshot_identity"].asString();
    m.createdAtMicros = j["created_at_us"].asInt64();
    m.storageType = j.isMember("storage_type") ? j["storage_type"].asInt() : -1;
    m.snapshotUrl = j.get("snapshot_url", "").asString();
    m.parentSnapshot = j.get("parent_snapshot", "").asString();
    if (m.backupId != backupId || m.volumeId != volumeId) {
        throw IndexError(where + ": holds the index of " + m.volumeId + "/" + m.backupId);
    }
    need(8);
    const uint64_t count = GetLe(body.data() + pos, 8);
    pos += 8;
    // At least one byte per entry: a count the body cannot hold is refused before allocating.
    if (count > body.size() - pos) {
        throw IndexError(where + ": block count exceeds the body");
    }
    CheckMeta(m, count, where);
    index.blocks.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
        need(1);
        const uint8_t kind = static_cast<uint8_t>(body[pos++]);
        if (kind == kEntryChunk) {
            need(kDigestBytes);
            ChunkId id{};
            std::memcpy(id.data(), body.data() + pos, id.size());
            pos += id.size();
            index.blocks[i] = id;
        } else if (kind != kEntryZero) {
            throw IndexError(where + ": unknown entry kind at block " + std::to_string(i));
        }
    }
    if (pos != body.size()) {
        throw IndexError(where + ": trailing bytes after the last block");
    }
    return index;
}

void IndexStore::Write(const BackupIndex& index)
{
    const std::string name = ObjectName(index.meta.volumeId, index.meta.backupId);
    if (m_store.PutIfAbsent(name, Encode(index))) {
        throw IndexError(Where(index.meta.volumeId, index.meta.backupId) + ": already exists");
    }
}

BackupIndex IndexStore::Read(const std::string& volumeId, const std::string& backupId) const
{
    const std::string name = ObjectName(volumeId, backupId);
    std::string file;
    try {
        if (!m_store.Get(name, file)) {
            throw IndexError(Where(volumeId, backupId) + ": missing");
        }
    } catch (const StorageError& e) {
        throw IndexError(Where(volumeId, backupId) + ": cannot be read: " + e.what());
    }
    return Decode(volumeId, backupId, file);
}

bool IndexStore::ParseObjectName(const std::string& object, IndexName& name)
{
    const size_t prefix = sizeof kIndexesPrefix - 1;
    if (object.compare(0, prefix, kIndexesPrefix) != 0) {
        return false;
    }
    const size_t slash = object.find('/', prefix);
    if (slash == std::string::npos) {
        return false;
    }
    name = IndexName{object.substr(prefix, slash - prefix), object.substr(slash + 1)};
    return ValidIndexId(name.volumeId) && ValidIndexId(name.backupId);
}

std::vector<IndexName> IndexStore::List() const
{
    std::vector<IndexName> out;
    for (const std::string& object : m_store.List(kIndexesPrefix)) {
        IndexName n;
        if (ParseObjectName(object, n)) {
            out.push_back(n);
        }
    }
    return out;
}

bool IndexStore::Remove(const std::string& volumeId, const std::string& backupId)
{
    return m_store.Delete(ObjectName(volumeId, backupId));
}

}  // namespace repo3
