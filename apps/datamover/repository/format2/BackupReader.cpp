#include "apps/datamover/repository/format2/BackupReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace repo {

uint64_t BlockPosition(const Manifest& m, size_t k, uint64_t index)
{
    return (m.kind == "full" ? index : k) * m.blockSize;
}

bool LoadCheckedTable(const BackupInfo& b, BlockTable& table, std::vector<std::string>& problems)
{
    const Manifest& m = b.manifest;
    std::string error;
    if (!ReadTable(b.dir + "/" + kTableFile, table, error) || !TableMatches(m, table, error)) {
        problems.push_back(error);
        return false;
    }
    const std::vector<BlockEntry>& entries = table.entries;
    uint64_t count = BlockCount(m.volumeSize, m.blockSize);
    bool full = m.kind == "full";
    uint64_t covered = 0;
    for (size_t k = 0; k < entries.size(); ++k) {
        const BlockEntry& e = entries[k];
        bool ordered = k == 0 || entries[k - 1].index < e.index;
        if (e.index >= count || !ordered || e.length != BlockLength(e.index, m.volumeSize, m.blockSize) ||
            (full && e.index != k)) {
            problems.push_back("the block table is inconsistent at entry " + std::to_string(k));
            return false;
        }
        covered += e.length;
    }
    bool ok = true;
    if (full && entries.size() != count) {
        problems.push_back("the full backup does not cover the volume");
        ok = false;
    }
    if (covered != m.changedBytes) {
        problems.push_back("the block table covers other bytes than the manifest says");
        ok = false;
    }
    std::string dataPath = b.dir + "/" + m.dataFile;
    struct stat st {};
    uint64_t expected = full ? m.volumeSize
                             : (entries.empty() ? 0 : (entries.size() - 1) * m.blockSize + entries.back().length);
    if (::stat(dataPath.c_str(), &st) != 0) {
        problems.push_back("cannot open " + dataPath + ": " + std::strerror(errno));
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) != expected) {
        problems.push_back(dataPath + " has a wrong length");
        ok = false;
    }
    return ok;
}

DataFile::~DataFile()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool DataFile::Open(const std::string& path, std::string& error)
{
    m_path = path;
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool DataFile::ReadChecked(uint64_t position, uint32_t length, uint32_t crc, char* buffer, std::string& error) const
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(m_fd, buffer + done, length - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // A backup is read once: keep it from crowding the page cache.
    ::posix_fadvise(m_fd, static_cast<off_t>(position), length, POSIX_FADV_DONTNEED);
    if (done != length) {
        error = "cannot read " + std::to_string(length) + " bytes at " + std::to_string(position) + " of " + m_path;
        return false;
    }
    if (BlockCrc(buffer, length) != crc) {
        error = "fails its checksum";
        return false;
    }
    return true;
}

std::vector<std::pair<uint64_t, uint64_t>> DataFile::Holes() const
{
    std::vector<std::pair<uint64_t, uint64_t>> holes;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) return holes;
    const off_t end = st.st_size;
    for (off_t at = 0; at < end;) {
        off_t hole = ::lseek(m_fd, at, SEEK_HOLE);
        if (hole < 0 || hole >= end) break;  // no SEEK_HOLE support reports the end: no holes
        off_t data = ::lseek(m_fd, hole, SEEK_DATA);
        if (data < 0) data = end;  // ENXIO: a hole to the end
        holes.emplace_back(static_cast<uint64_t>(hole), static_cast<uint64_t>(data));
        at = data;
    }
    return holes;
}


bool ChainReader::Open(const Repository& r, const BackupInfo& target, std::string& error)
{
    if (!r.ResolveChain(target, m_chain, error)) return false;
    const Manifest& top = target.manifest;
    uint64_t count = BlockCount(top.volumeSize, top.blockSize);
    m_plan.assign(count, Source{});
    for (const BackupInfo& b : m_chain) {
        BlockTable table;
        std::vector<std::string> problems;
        if (b.manifest.volumeSize != top.volumeSize || !LoadCheckedTable(b, table, problems)) {
            error = "backup " + b.manifest.backupId + " is damaged: " +
                    (problems.empty() ? "its volume size differs from " + top.backupId : problems.front());
            return false;
        }
        auto file = std::make_unique<DataFile>();
        if (!file->Open(b.dir + "/" + b.manifest.dataFile, error)) return false;
        // A full image keeps zero blocks as holes: found once here, they are
        // never read (an incremental stores no zero blocks of its own sparsely).
        std::vector<std::pair<uint64_t, uint64_t>> holes;
        if (b.manifest.kind == "full") holes = file->Holes();
        m_files.push_back(std::move(file));
        m_ids.push_back(b.manifest.backupId);
        size_t h = 0;
        for (size_t k = 0; k < table.entries.size(); ++k) {
            const BlockEntry& e = table.entries[k];
            const uint64_t position = BlockPosition(b.manifest, k, e.index);
            while (h < holes.size() && holes[h].second <= position) ++h;
            const bool hole = h < holes.size() && holes[h].first <= position && position + e.length <= holes[h].second;
            m_plan[e.index] = Source{m_files.size() - 1, position, e.length, e.crc, true, hole};
        }
    }
    m_totalBytes = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (!m_plan[i].present) {
            error = "block " + std::to_string(i) + " is in no backup of the chain";
            return false;
        }
        m_totalBytes += m_plan[i].length;
        m_holeBlocks += m_plan[i].hole ? 1 : 0;
    }
    return true;
}

bool ChainReader::Read(uint64_t index, char* buffer, std::string& error) const
{
    const Source& s = m_plan[index];
    if (s.hole) {
        std::memset(buffer, 0, s.length);
        if (s.crc == ZeroBlockCrc(s.length)) return true;
        error = "block " + std::to_string(index) + " of backup " + m_ids[s.file] +
                ": fails its checksum (it lies in a hole of the image, which reads as zeros)";
        return false;
    }
    if (m_files[s.file]->ReadChecked(s.position, s.length, s.crc, buffer, error)) return true;
    error = "block " + std::to_string(index) + " of backup " + m_ids[s.file] + ": " + error;
    return false;
}

}  // namespace repo
