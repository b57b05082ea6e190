// Reading a backup's blocks with every check, shared by verify, restore and
// the commands that rewrite a chain: a block table is used only when it is
// bound to its manifest and consistent with the volume, and a block only when
// its checksum holds. Objects are used from one thread, except ChainReader::Read,
// which any number of threads may call at once (positioned reads only).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/datamover/repository/format2/RepoFormat.h"

namespace repo {

// The table of backup `b`, checked against its manifest: binding, entries
// ascending and inside the volume with the right lengths, a full backup
// covering every block, the covered bytes, the data file's length. Problems
// are appended; false when the table cannot be used at all.
bool LoadCheckedTable(const BackupInfo& b, BlockTable& table, std::vector<std::string>& problems);

// One open data file; closes it on destruction.
class DataFile {
public:
    DataFile() = default;
    ~DataFile();
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;
    bool Open(const std::string& path, std::string& error);
    // Reads `length` bytes at `position` and checks them against `crc`.
    bool ReadChecked(uint64_t position, uint32_t length, uint32_t crc, char* buffer, std::string& error) const;
    // The holes of a sparse file, [start, end) pairs in ascending order.
    std::vector<std::pair<uint64_t, uint64_t>> Holes() const;

private:
    int m_fd = -1;
    std::string m_path;
};

// Where block i of backup `b`'s table entry k is stored in its data file.
uint64_t BlockPosition(const Manifest& m, size_t k, uint64_t index);

// What a restore reads: the blocks of one backup point, whatever format keeps
// them. Read returns a block only after its check held; any number of threads
// may call it at once.
class PointReader {
public:
    virtual ~PointReader() = default;
    virtual uint64_t Blocks() const = 0;
    virtual uint64_t TotalBytes() const = 0;
    virtual uint32_t Length(uint64_t index) const = 0;
    // How many backups the point is read from (1 where every backup is complete).
    virtual size_t Backups() const = 0;
    // Block `index` into `buffer` (at least the block size).
    virtual bool Read(uint64_t index, char* buffer, std::string& error) const = 0;
};

// The blocks of one backup point: the chain from its full backup, each block
// taken from the newest backup that holds it.
class ChainReader : public PointReader {
public:
    // Resolves the chain and checks every table; false with the reason.
    bool Open(const Repository& r, const BackupInfo& target, std::string& error);
    const std::vector<BackupInfo>& Chain() const { return m_chain; }
    uint64_t Blocks() const override { return m_plan.size(); }
    uint64_t TotalBytes() const override { return m_totalBytes; }
    size_t Backups() const override { return m_chain.size(); }
    // Blocks that lie in holes of a sparse full image.
    uint64_t HoleBlocks() const { return m_holeBlocks; }
    uint32_t Length(uint64_t index) const override { return m_plan[index].length; }
    // The position in Chain() of the backup that holds block `index` (0: the full backup).
    size_t HolderOf(uint64_t index) const { return m_plan[index].file; }
    // Block `index` into `buffer` (at least the block size), checksum checked.
    bool Read(uint64_t index, char* buffer, std::string& error) const override;

private:
    struct Source {
        size_t file = 0;
        uint64_t position = 0;
        uint32_t length = 0;
        uint32_t crc = 0;
        bool present = false;
        bool hole = false;  // wholly in a hole of its data file: zeros, never read
    };
    std::vector<BackupInfo> m_chain;
    std::vector<std::unique_ptr<DataFile>> m_files;
    std::vector<std::string> m_ids;
    std::vector<Source> m_plan;
    uint64_t m_totalBytes = 0;
    uint64_t m_holeBlocks = 0;
};

}  // namespace repo
