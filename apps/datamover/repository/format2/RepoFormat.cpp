#include "apps/datamover/repository/format2/RepoFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

#include "foundation/JsonUtils.h"

namespace fs = std::filesystem;

namespace repo {

const char kMarkerFile[] = "DATAMOVER-REPOSITORY";
const char kMoverDbFile[] = "datamover.db";
const char kChainsDir[] = "chains";
const char kManifestFile[] = "manifest.json";
const char kTableFile[] = "blocks.crc";
const char kFullDataFile[] = "volume.img";
const char kIncrDataFile[] = "blocks.dat";

namespace {

const char kTableMagic[8] = {'D', 'M', 'B', 'L', 'O', 'C', 'K', 'S'};
constexpr size_t kTableHeader = 24;  // magic, version u32, reserved u32, count u64
constexpr size_t kTableRecord = 16;  // index u64, length u32, crc u32

// CRC-32C (Castagnoli, reflected 0x82F63B78): the processor computes it with
// one instruction per 8 bytes, so checksumming keeps pace with the disks.
struct CrcTable {
    uint32_t t[256];
    CrcTable()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            }
            t[i] = c;
        }
    }
};
const CrcTable& Table()
{
    static const CrcTable table;
    return table;
}

uint32_t CrcSoftware(uint32_t c, const uint8_t* p, size_t length)
{
    const CrcTable& T = Table();
    while (length-- > 0) {
        c = (c >> 8) ^ T.t[(c ^ *p++) & 0xFF];
    }
    return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t CrcHardware(uint32_t c, const uint8_t* p, size_t length)
{
    uint64_t c64 = c;
    while (length >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        c64 = __builtin_ia32_crc32di(c64, w);
        p += 8;
        length -= 8;
    }
    c = static_cast<uint32_t>(c64);
    while (length-- > 0) {
        c = __builtin_ia32_crc32qi(c, *p++);
    }
    return c;
}

bool HaveHardwareCrc()
{
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}
#endif

void PutU32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU64(std::string& s, uint64_t v)
{
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint32_t GetU32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}
uint64_t GetU64(const std::string& s, size_t at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

uint32_t BlockCrc(const void* data, size_t length, uint32_t seed)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (HaveHardwareCrc()) {
        return ~CrcHardware(~seed, p, length);
    }
#endif
    return ~CrcSoftware(~seed, p, length);
}

uint32_t BlockCrcPortable(const void* data, size_t length, uint32_t seed)
{
    return ~CrcSoftware(~seed, static_cast<const uint8_t*>(data), length);
}

bool IsAllZero(const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w != 0) return false;
    }
    for (; i < length; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

uint32_t ZeroBlockCrc(uint32_t length)
{
    static const std::vector<char> zeros(kBlockSize, 0);
    static const uint32_t whole = BlockCrc(zeros.data(), zeros.size());
    if (length == zeros.size()) return whole;
    return length < zeros.size() ? BlockCrc(zeros.data(), length) : BlockCrc(std::vector<char>(length).data(), length);
}

uint64_t BlockCount(uint64_t volumeSize, uint64_t blockSize)
{
    return blockSize == 0 ? 0 : (volumeSize + blockSize - 1) / blockSize;
}

uint32_t BlockLength(uint64_t index, uint64_t volumeSize, uint64_t blockSize)
{
    uint64_t start = index * blockSize;
    if (start >= volumeSize) return 0;
    return static_cast<uint32_t>(std::min(blockSize, volumeSize - start));
}

std::string NewBackupId()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::random_device rd;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
    return std::string(stamp) + "-" + suffix;
}

bool ValidBackupId(const std::string& id)
{
    if (id.empty() || id.size() > 64 || id[0] == '.' || id[0] == '-') return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

bool FsyncDir(const std::string& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, std::string& error)
{
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Errno("cannot create " + tmp);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = Errno("cannot write " + tmp);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        error = Errno("cannot sync " + tmp);
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = Errno("cannot rename " + tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    if (!FsyncDir(fs::path(path).parent_path().string())) {
        error = Errno("cannot sync the directory of " + path);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::string& error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Errno("cannot open " + path);
        return false;
    }
    data.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = Errno("cannot read " + path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool FileCrc(const std::string& path, uint32_t& crc, std::string& error)
{
    std::string data;
    if (!ReadWholeFile(path, data, error)) return false;
    crc = BlockCrc(data.data(), data.size());
    return true;
}

bool WriteTable(const std::string& path, const std::string& backupId, const std::vector<BlockEntry>& entries,
                uint32_t& bodyCrc, std::string& error)
{
    if (backupId.size() > kTableIdField) {
        error = "backup id " + backupId + " is too long";
        return false;
    }
    std::string out;
    out.reserve(kTableHeader + kTableIdField + entries.size() * kTableRecord + 4);
    out.append(kTableMagic, sizeof kTableMagic);
    PutU32(out, kFormatVersion);
    PutU32(out, 0);
    PutU64(out, entries.size());
    out += backupId;
    out.append(kTableIdField - backupId.size(), '\0');
    for (const BlockEntry& e : entries) {
        PutU64(out, e.index);
        PutU32(out, e.length);
        PutU32(out, e.crc);
    }
    bodyCrc = BlockCrc(out.data(), out.size());
    PutU32(out, bodyCrc);
    return WriteFileAtomic(path, out, error);
}

bool ReadTable(const std::string& path, BlockTable& table, std::string& error)
{
    std::string data;
    if (!ReadWholeFile(path, data, error)) return false;
    if (data.size() < kTableHeader + 4 || std::memcmp(data.data(), kTableMagic, sizeof kTableMagic) != 0) {
        error = path + " is not a block table";
        return false;
    }
    table.bodyCrc = BlockCrc(data.data(), data.size() - 4);
    if (GetU32(data, data.size() - 4) != table.bodyCrc) {
        error = path + " fails its checksum";
        return false;
    }
    table.version = GetU32(data, 8);
    if (table.version != 1 && table.version != 2) {
        error = path + " has an unknown table version";
        return false;
    }
    size_t start = kTableHeader + (table.version == 2 ? kTableIdField : 0);
    uint64_t count = GetU64(data, 16);
    if (data.size() < start + 4 || count > (data.size() - start - 4) / kTableRecord ||
        data.size() != start + count * kTableRecord + 4) {
        error = path + " has a wrong length";
        return false;
    }
    table.backupId = table.version == 2 ? std::string(data.c_str() + kTableHeader, strnlen(data.data() + kTableHeader, kTableIdField)) : "";
    table.entries.clear();
    table.entries.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        size_t at = start + i * kTableRecord;
        table.entries.push_back(BlockEntry{GetU64(data, at), GetU32(data, at + 8), GetU32(data, at + 12)});
    }
    table.fileCrc = BlockCrc(data.data(), data.size());
    return true;
}

bool TableMatches(const Manifest& m, const BlockTable& t, std::string& error)
{
    if (m.format >= 2) {
        if (t.version < 2) {
            error = "the block table is of version 1 but the manifest of version " + std::to_string(m.format);
            return false;
        }
        if (t.backupId != m.backupId) {
            error = "the block table belongs to backup " + t.backupId + ", not to " + m.backupId;
            return false;
        }
        if (t.bodyCrc != m.tableCrc) {
            error = "the block table is not the one the manifest was written with";
            return false;
        }
    } else if (t.version != 1 || t.fileCrc != m.tableCrc) {
        error = "the block table does not match the manifest";
        return false;
    }
    if (t.entries.size() != m.blocks) {
        error = "the block table holds " + std::to_string(t.entries.size()) + " entries, the manifest says " +
                std::to_string(m.blocks);
        return false;
    }
    return true;
}

Json::Value Manifest::ToJson() const
{
    Json::Value v(Json::objectValue);
    v["format"] = format;
    v["backup_id"] = backupId;
    v["kind"] = kind;
    v["volume_id"] = volumeId;
    v["volume_size"] = Json::UInt64(volumeSize);
    v["data_offset"] = Json::UInt64(dataOffset);
    v["storage_type"] = storageType;
    v["block_size"] = Json::UInt64(blockSize);
    v["snapshot_url"] = snapshotUrl;
    v["snapshot"] = snapshot;
    v["parent_backup"] = parentBackup;
    v["parent_snapshot"] = parentSnapshot;
    v["created_at"] = Json::Int64(createdAt);
    if (createdAtMicros != 0) v["created_at_us"] = Json::Int64(createdAtMicros);
    v["finished_at"] = Json::Int64(finishedAt);
    v["blocks"] = Json::UInt64(blocks);
    v["changed_bytes"] = Json::UInt64(changedBytes);
    v["stored_bytes"] = Json::UInt64(storedBytes);
    v["used_full"] = usedFull;
    v["data_file"] = dataFile;
    v["table_file"] = kTableFile;
    v["table_crc"] = Json::UInt(tableCrc);
    v["dirty_ranges_file"] = dirtyRangesFile;
    v["dirty_ranges_crc"] = Json::UInt(dirtyRangesCrc);
    v["snapshot_identity"] = snapshotIdentity;
    v["parent_snapshot_identity"] = parentSnapshotIdentity;
    v["manifest_crc"] = Json::UInt(ManifestCrc(v));
    return v;
}

uint32_t ManifestCrc(const Json::Value& v)
{
    std::string text;
    for (const std::string& key : v.getMemberNames()) {  // sorted
        if (key == "manifest_crc") continue;
        const Json::Value& f = v[key];
        text += key + "=";
        if (f.isString()) {
            text += f.asString();
        } else if (f.isBool()) {
            text += f.asBool() ? "true" : "false";
        } else if (f.isUInt64()) {
            text += std::to_string(f.asUInt64());
        } else if (f.isInt64()) {
            text += std::to_string(f.asInt64());
        } else {
            text += f.toStyledString();  // no such field is written; it still counts
        }
        text += "\n";
    }
    return BlockCrc(text.data(), text.size());
}

bool FollowsParent(const Manifest& parent, const Manifest& child, std::string& error)
{
    const std::string head = "backup " + child.backupId + " names " + child.parentBackup + " as its parent, but ";
    if (parent.backupId != child.parentBackup) {
        error = head + "that directory holds backup " + parent.backupId;
    } else if (parent.volumeId != child.volumeId) {
        error = head + "that is a backup of volume " + parent.volumeId;
    } else if (parent.volumeSize != child.volumeSize || parent.dataOffset != child.dataOffset ||
               parent.blockSize != child.blockSize || parent.storageType != child.storageType) {
        error = head + "its geometry (size, data offset, block size or storage type) differs";
    } else if (parent.snapshot != child.parentSnapshot) {
        error = head + "that is a backup of snapshot " + parent.snapshot + ", not of " + child.parentSnapshot;
    } else if (!parent.snapshotIdentity.empty() && !child.parentSnapshotIdentity.empty() &&
               parent.snapshotIdentity != child.parentSnapshotIdentity) {
        error = head + "it read another snapshot of the name " + parent.snapshot + " (identity " +
                parent.snapshotIdentity + ", the child's parent was " + child.parentSnapshotIdentity + ")";
    } else if (parent.createdAtMicros > child.createdAtMicros) {
        error = head + "it was made after its child";
    } else {
        return true;
    }
    return false;
}

bool Manifest::FromJson(const Json::Value& v, std::string& error)
{
    auto str = [&](const char* key, std::string& out) {
        if (!v[key].isString()) {
            error = std::string("manifest field ") + key + " is missing";
            return false;
        }
        out = v[key].asString();
        return true;
    };
    auto u64 = [&](const char* key, uint64_t& out) {
        if (!v[key].isUInt64()) {
            error = std::string("manifest field ") + key + " is missing";
            return false;
        }
        out = v[key].asUInt64();
        return true;
    };
    if (!v.isObject() || !v["format"].isInt() || v["format"].asInt() < kOldestFormatVersion ||
        v["format"].asInt() > kFormatVersion) {
        error = "unknown manifest format";
        return false;
    }
    format = v["format"].asInt();
    uint64_t created = 0, finished = 0, crc = 0, drCrc = 0, type = 0;
    bool ok = str("backup_id", backupId) && str("kind", kind) && str("volume_id", volumeId) &&
              u64("volume_size", volumeSize) && u64("data_offset", dataOffset) && u64("storage_type", type) &&
              u64("block_size", blockSize) && str("snapshot_url", snapshotUrl) && str("snapshot", snapshot) &&
              str("parent_backup", parentBackup) && str("parent_snapshot", parentSnapshot) &&
              u64("created_at", created) && u64("finished_at", finished) && u64("blocks", blocks) &&
              u64("changed_bytes", changedBytes) && u64("stored_bytes", storedBytes) && str("data_file", dataFile) &&
              u64("table_crc", crc) && str("dirty_ranges_file", dirtyRangesFile) && u64("dirty_ranges_crc", drCrc);
    if (!ok) return false;
    usedFull = v["used_full"].isBool() && v["used_full"].asBool();
    snapshotIdentity = v["snapshot_identity"].isString() ? v["snapshot_identity"].asString() : "";
    parentSnapshotIdentity = v["parent_snapshot_identity"].isString() ? v["parent_snapshot_identity"].asString() : "";
    checksummed = v.isMember("manifest_crc");
    if (checksummed && (!v["manifest_crc"].isUInt() || v["manifest_crc"].asUInt() != ManifestCrc(v))) {
        error = "the manifest of " + backupId + " fails its checksum (it was changed after the backup)";
        return false;
    }
    storageType = static_cast<int>(type);
    createdAt = static_cast<int64_t>(created);
    // Written since retention needed an order finer than seconds; older
    // manifests order by their second.
    createdAtMicros = v["created_at_us"].isInt64() && v["created_at_us"].asInt64() > 0 ? v["created_at_us"].asInt64()
                                                                                     : createdAt * 1000000;
    finishedAt = static_cast<int64_t>(finished);
    tableCrc = static_cast<uint32_t>(crc);
    dirtyRangesCrc = static_cast<uint32_t>(drCrc);
    // What a restore writes depends on these: each is checked whether or not
    // the manifest carries a checksum.
    const bool full = kind == "full";
    const char* wrong = nullptr;
    if (!full && kind != "incremental") wrong = "kind";
    else if (blockSize == 0 || blockSize % 4096 != 0 || blockSize > (1ULL << 30)) wrong = "block_size";
    else if (!ValidBackupId(backupId)) wrong = "backup_id";
    else if (full != parentBackup.empty() || (!full && !ValidBackupId(parentBackup))) wrong = "parent_backup";
    else if (dataFile != (full ? kFullDataFile : kIncrDataFile)) wrong = "data_file";
    else if (dataOffset % 512 != 0) wrong = "data_offset";
    else if (volumeSize == 0 || volumeSize % 512 != 0) wrong = "volume_size";
    else if (blocks > BlockCount(volumeSize, blockSize)) wrong = "blocks";
    else if (changedBytes > volumeSize) wrong = "changed_bytes";
    else if (full != dirtyRangesFile.empty() || dirtyRangesFile.find("..") != std::string::npos)
        wrong = "dirty_ranges_file";
    if (wrong != nullptr) {
        error = "manifest of " + backupId + " is inconsistent (field " + wrong + ")";
        return false;
    }
    return true;
}

bool WriteManifest(const std::string& backupDir, const Manifest& manifest, std::string& error)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return WriteFileAtomic(backupDir + "/" + kManifestFile, Json::writeString(builder, manifest.ToJson()) + "\n",
                           error);
}

bool ReadManifest(const std::string& backupDir, Manifest& manifest, std::string& error)
{
    std::string text;
    if (!ReadWholeFile(backupDir + "/" + kManifestFile, text, error)) return false;
    Json::Value v;
    if (!CJsonUtils::StringToJson(text, v)) {
        error = backupDir + "/" + kManifestFile + " is not valid JSON";
        return false;
    }
    return manifest.FromJson(v, error);
}

bool Repository::Open(const std::string& path, bool create, std::string& error)
{
    std::error_code ec;
    if (path.empty()) {
        error = "no repository path given";
        return false;
    }
    fs::path root = fs::absolute(path, ec);
    if (ec) {
        error = "bad repository path " + path;
        return false;
    }
    m_root = root.lexically_normal().string();
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
    std::string marker = m_root + "/" + kMarkerFile;
    if (fs::exists(marker, ec)) {
        std::string text;
        Json::Value v;
        if (!ReadWholeFile(marker, text, error) || !CJsonUtils::StringToJson(text, v) || !v.isObject() ||
            v["format"].asInt() < kOldestFormatVersion || v["format"].asInt() > kFormatVersion) {
            error = m_root + " is a repository of an unknown format";
            return false;
        }
        return true;
    }
    if (!create) {
        error = m_root + " is not a backup repository";
        return false;
    }
    if (fs::exists(m_root, ec) && !fs::is_empty(m_root, ec)) {
        error = m_root + " exists and is not a backup repository";
        return false;
    }
    fs::create_directories(fs::path(m_root) / kChainsDir, ec);
    if (ec) {
        error = "cannot create " + m_root + ": " + ec.message();
        return false;
    }
    Json::Value v(Json::objectValue);
    v["format"] = kFormatVersion;
    v["created_at"] = Json::Int64(std::time(nullptr));
    return WriteFileAtomic(marker, CJsonUtils::JsonToString(v) + "\n", error);
}

std::string Repository::ChainDir(const std::string& volumeId) const
{
    return m_root + "/" + kChainsDir + "/" + volumeId;
}

std::vector<std::string> Repository::ListChains() const
{
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(m_root) / kChainsDir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec)) out.push_back(it->path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {
template <typename Fn>
void ForEachBackupDir(const Repository& r, const std::string& volumeId, Fn fn)
{
    std::vector<std::string> chains = volumeId.empty() ? r.ListChains() : std::vector<std::string>{volumeId};
    for (const std::string& chain : chains) {
        std::string chainDir = r.ChainDir(chain);
        std::vector<std::string> ids;
        std::error_code ec;
        for (fs::directory_iterator it(fs::path(chainDir) / "backups", ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string id = it->path().filename().string();
            if (ValidBackupId(id) && it->is_directory(ec)) ids.push_back(id);
        }
        std::sort(ids.begin(), ids.end());
        for (const std::string& id : ids) fn(chainDir, id, chainDir + "/backups/" + id);
    }
}
}  // namespace

std::vector<BackupInfo> Repository::ListBackups(const std::string& volumeId) const
{
    std::vector<BackupInfo> out;
    ForEachBackupDir(*this, volumeId, [&](const std::string& chainDir, const std::string& id, const std::string& dir) {
        BackupInfo info;
        std::string error;
        std::error_code ec;
        if (fs::exists(dir + "/" + kManifestFile, ec) && ReadManifest(dir, info.manifest, error) &&
            info.manifest.backupId == id) {
            info.chainDir = chainDir;
            info.dir = dir;
            out.push_back(std::move(info));
        }
    });
    std::stable_sort(out.begin(), out.end(), [](const BackupInfo& a, const BackupInfo& b) {
        return a.manifest.createdAtMicros < b.manifest.createdAtMicros;
    });
    return out;
}

std::vector<PartialBackup> Repository::ListPartial(const std::string& volumeId) const
{
    std::vector<PartialBackup> out;
    ForEachBackupDir(*this, volumeId, [&](const std::string& chainDir, const std::string& id, const std::string& dir) {
        std::error_code ec;
        PartialBackup p{chainDir, id, dir, true, "no manifest"};
        Manifest m;
        if (fs::exists(dir + "/" + kManifestFile, ec)) {
            p.manifestMissing = false;
            p.reason.clear();
            if (ReadManifest(dir, m, p.reason) && m.backupId == id) return;
            if (p.reason.empty()) {
                p.reason = "its directory holds the manifest of backup " + m.backupId + " (moved or copied there)";
            }
        }
        out.push_back(p);
    });
    return out;
}

namespace {
// The complete backup in `dir`, whose manifest must name the directory's id.
bool LoadBackup(const std::string& chainDir, const std::string& backupId, BackupInfo& info, std::string& error)
{
    const std::string dir = chainDir + "/backups/" + backupId;
    std::error_code ec;
    if (!fs::exists(dir + "/" + kManifestFile, ec)) {
        error = "backup " + backupId + " is incomplete (its manifest is missing)";
        return false;
    }
    if (!ReadManifest(dir, info.manifest, error)) {
        error = "backup " + backupId + " is damaged: " + error;
        return false;
    }
    if (info.manifest.backupId != backupId) {
        error = "backup " + backupId + " is damaged: its directory holds the manifest of backup " +
                info.manifest.backupId + " (moved or copied there)";
        return false;
    }
    info.chainDir = chainDir;
    info.dir = dir;
    return true;
}
}  // namespace

bool Repository::FindBackup(const std::string& backupId, BackupInfo& info, std::string& error, bool* missing) const
{
    if (missing != nullptr) *missing = false;
    if (!ValidBackupId(backupId)) {
        error = "invalid backup id '" + backupId + "': letters, digits, '-' and '_', at most 64";
        if (missing != nullptr) *missing = true;
        return false;
    }
    for (const std::string& chain : ListChains()) {
        std::error_code ec;
        if (fs::is_directory(ChainDir(chain) + "/backups/" + backupId, ec)) {
            return LoadBackup(ChainDir(chain), backupId, info, error);
        }
    }
    error = "no backup " + backupId + " in " + m_root + " ('datamover list' shows the backups)";
    if (missing != nullptr) *missing = true;
    return false;
}

bool Repository::ResolveChain(const BackupInfo& target, std::vector<BackupInfo>& chain, std::string& error) const
{
    chain.clear();
    chain.push_back(target);
    std::set<std::string> seen{target.manifest.backupId};
    while (chain.front().manifest.kind == "incremental") {
        const Manifest& child = chain.front().manifest;
        BackupInfo parent;
        // By id, in the child's own chain: a backup of the same name elsewhere is not its parent.
        if (!seen.insert(child.parentBackup).second) {
            error = "backup " + child.backupId + " names " + child.parentBackup + " as its parent: a loop";
            return false;
        }
        if (!LoadBackup(target.chainDir, child.parentBackup, parent, error)) {
            std::error_code ec;
            if (!fs::is_directory(target.chainDir + "/backups/" + child.parentBackup, ec)) {
                error = "backup " + child.parentBackup + " is missing";
            }
            error = "backup " + child.backupId + " needs " + child.parentBackup + ": " + error;
            return false;
        }
        if (!FollowsParent(parent.manifest, child, error)) return false;
        chain.insert(chain.begin(), parent);
    }
    return true;
}

}  // namespace repo
