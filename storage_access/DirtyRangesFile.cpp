// Packing of DirtyRanges into LZ4 parts and the ".dirtyRanges" file: layout in
// DirtyRangesFormat.h and DIRTY_RANGES_FORMAT.md. The file is untrusted input:
// every count and size read from it is checked against the file's length.
#include <lz4.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/Crc32.h"
#include "foundation/LogProxy.h"
#include "host/GuardedFile.h"
#include "host/SecureMem.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
const char MODULE_NAME[] = "DirtyRanges";

using namespace dirty_ranges_format;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

void FreeBytes(const uint8_t* p)
{
    std::free(const_cast<uint8_t*>(p));
}

// The last range held by the parts (searched from the last part back past empty
// ones), for the order guard of AddRange on a loaded set. `found` is false when
// every part is empty; the result is false when a part cannot be decompressed.
bool LastRangeOfParts(const std::vector<uint32_t>& sizes, const std::vector<DirtyRanges::PartBuffer>& parts,
                      bool& found, DirtyRange& last)
{
    found = false;
    for (size_t i = parts.size(); i-- > 0;) {
        // Same bound as the walk: LZ4 expands at most 255-fold.
        const uint64_t bound = (static_cast<uint64_t>(sizes[i]) * 255 + kRecordSize) / kRecordSize * kRecordSize;
        const size_t want = bound < kPartRawSize ? static_cast<size_t>(bound) : kPartRawSize;
        std::unique_ptr<uint8_t, void (*)(const uint8_t*)> raw(static_cast<uint8_t*>(std::malloc(want)), FreeBytes);
        if (!raw || !parts[i]) {
            return false;
        }
        const int d = LZ4_decompress_safe(reinterpret_cast<const char*>(parts[i].get()),
                                          reinterpret_cast<char*>(raw.get()), static_cast<int>(sizes[i]),
                                          static_cast<int>(want));
        if (d < 0 || d % static_cast<int>(kRecordSize) != 0) {
            return false;
        }
        if (d > 0) {
            const uint8_t* rec = raw.get() + static_cast<size_t>(d) - kRecordSize;
            last = DirtyRange(GetLe64(rec), GetLe64(rec + 8));
            found = true;
            return true;
        }
    }
    return true;
}
}  // namespace

bool DirtyRanges::CompressOnePart(const DirtyRange* first, size_t count)
{
    const size_t rawSize = count * kRecordSize;
    // On a little-endian host the list's memory already is the record layout;
    // elsewhere the records are encoded into a staging buffer.
    const char* src = reinterpret_cast<const char*>(first);
    std::unique_ptr<uint8_t[]> staging;
    if (!kLittleEndian && count > 0) {
        staging.reset(new (std::nothrow) uint8_t[rawSize]);
        if (!staging) {
            LOG_STREAM(4) << "alloc memory failed." << " bufferSize=" << rawSize;
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            PutLe64(staging.get() + i * kRecordSize, first[i].start);
            PutLe64(staging.get() + i * kRecordSize + 8, first[i].size);
        }
        src = reinterpret_cast<const char*>(staging.get());
    }
    const int bound = LZ4_compressBound(static_cast<int>(rawSize));
    auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bound)));
    if (out == nullptr) {
        LOG_STREAM(4) << "alloc memory for LZ4_compress failed.";
        return false;
    }
    const int c = LZ4_compress_default(src, reinterpret_cast<char*>(out), static_cast<int>(rawSize), bound);
    if (c <= 0) {
        std::free(out);
        LOG_STREAM(4) << "compress dirty ranges failed." << " bufferSize=" << rawSize;
        return false;
    }
    // Give back the unused tail of the bound-sized buffer in place instead of
    // copying the part into an exact-size buffer.
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(out, static_cast<size_t>(c)))) {
        out = shrunk;
    }
    try {
        PartBuffer part(out, FreeBytes);  // frees `out` itself if it throws
        m_partSizes.reserve(m_partSizes.size() + 1);
        m_parts.reserve(m_parts.size() + 1);
        m_parts.push_back(std::move(part));
        m_partSizes.push_back(static_cast<uint32_t>(c));
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "alloc memory failed." << " error=" << e.what();
        return false;
    }
    m_totalSize += static_cast<uint32_t>(c);
    if (count > 0) {
        m_lastPacked = first[count - 1];
        m_hasPacked = true;
    }
    LOG_STREAM(2) << "compress dirty ranges success." << " compressBufSize=" << c << " bufferSize=" << rawSize
                  << " totalSize=" << m_totalSize << ",part:" << m_parts.size();
    return true;
}

bool DirtyRanges::CompressRanges()
{
    RangeList& list = *m_ranges;
    const size_t n = list.size();
    if (n == 0) {
        return CompressOnePart(nullptr, 0);
    }
    // A part never holds more than a full part's records (a list that was not
    // packed while it grew, under another version, is split), so every part
    // stays readable.
    for (size_t off = 0; off < n; off += kRangesPerPart) {
        const size_t count = std::min(kRangesPerPart, n - off);
        if (!CompressOnePart(list.data() + off, count)) {
            list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(off));
            return false;
        }
    }
    list.clear();
    return true;
}

bool DirtyRanges::SaveDirtyRanges()
{
    const size_t n = m_parts.size();
    if (m_partSizes.size() != n || n > UINT32_MAX) {
        LOG_STREAM(4) << "part table inconsistent." << " partNum=" << n << " partSizeNum=" << m_partSizes.size();
        return false;
    }
    // Sized from the parts actually held (m_totalSize counts only the parts
    // packed here, so it says nothing about a set that was loaded).
    const uint64_t size = FileSizeFor(m_partSizes.data(), n) - kCrcSize;
    if (size > SIZE_MAX) {
        LOG_STREAM(4) << "alloc memory failed." << " bufferSize=" << size;
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    if (!buffer) {
        LOG_STREAM(4) << "alloc memory failed." << " bufferSize=" << size;
        return false;
    }
    // No zeroing: the count, the table and the parts fill the buffer exactly.
    PutLe32(buffer.get(), static_cast<uint32_t>(n));
    size_t offset = kPartSizeEntrySize;
    for (size_t i = 0; i < n; ++i) {
        PutLe32(buffer.get() + offset, m_partSizes[i]);
        offset += kPartSizeEntrySize;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!m_parts[i] || memcpy_s(buffer.get() + offset, static_cast<size_t>(size) - offset, m_parts[i].get(),
                                    m_partSizes[i]) != 0) {
            LOG_STREAM(1) << "memcpy_s failed." << " partIndex=" << i << " partSize=" << m_partSizes[i];
            return false;
        }
        offset += m_partSizes[i];
    }
    LOG_STREAM(1) << " try to write dirty range. " << " partNum=" << n << " bufferSize=" << size;
    return WriteToFile(buffer.get(), size);
}

bool DirtyRanges::WriteToFile(const uint8_t* buffer, uint64_t size)
{
    const std::string path = GetDirtyRangeFileName();
    // The set's own sub-directory is created on first use; the directory
    // above it belongs to the host.
    boost::system::error_code ec;
    boost::filesystem::create_directory(boost::filesystem::path(path).parent_path(), ec);
    Oru::GuardedFile file(0);
    if (file.Open(path, "w", nullptr) != 0) {
        LOG_STREAM(4) << "open file error" << " filename=" << path << " errno:" << file.GetErrorInfo();
        return false;
    }
    const uint32_t crc = Crc32(buffer, static_cast<size_t>(size));
    uint8_t crcBytes[kCrcSize];
    PutLe32(crcBytes, crc);
    if (file.Write(crcBytes, 1, kCrcSize) != kCrcSize) {
        LOG_STREAM(4) << "WriteCRCError. errno:" << file.GetErrorInfo() << " filename=" << path
                      << " bufferSize=" << size << " crcChecksum=" << crc;
        return false;
    }
    const size_t written = file.Write(buffer, 1, static_cast<size_t>(size));
    if (written != size || file.Flush(true) != 0) {
        LOG_STREAM(4) << "WriteCRCError. errno:" << file.GetErrorInfo() << " filename=" << path
                      << " bufferSize=" << size << " crcChecksum=" << crc;
        return false;
    }
    LOG_STREAM(2) << "Write to file success." << " filename=" << path << " bufferSize=" << size;
    return true;
}

bool DirtyRanges::FlushToStorage()
{
    return CompressRanges() && SaveDirtyRanges();
}

std::string DirtyRanges::GetDirtyRangeFileName() const
{
    return m_dirPath + kSubDir + m_fileStem + kFileSuffix;
}

bool DirtyRanges::LoadFromStorage()
{
    clear();
    switch (m_version) {
        case 0:
            return true;
        case 1:
            return LoadV1();
        case 2:
            return LoadV2();
        default:
            LOG_STREAM(4) << "version mismatch" << " m_version=" << m_version;
            return false;
    }
}

bool DirtyRanges::LoadV1()
{
    return false;
}

bool DirtyRanges::LoadV2()
{
    const std::string path = GetDirtyRangeFileName();
    Oru::GuardedFile file(0);
    if (file.Open(path, "r", nullptr) != 0 || !file.Loaded()) {
        LOG_STREAM(4) << "open file error" << " fileName=" << path << ", errno=" << file.GetErrorInfo();
        return false;
    }
    uint64_t size = 0;
    if (!file.FileSize(size, path) || size == 0) {
        LOG_STREAM(4) << "get size failed" << " fileName=" << path << " size=" << size;
        return false;
    }
    if (ReadFromFile(file, size)) {
        LOG_STREAM(2) << "Load dirty range success" << " fileName=" << path;
        return true;
    }
    LOG_STREAM(4) << "read failed." << " fileName=" << path << " size=" << size;
    return false;
}

bool DirtyRanges::ReadFromFile(Oru::GuardedFile& file, uint64_t size)
{
    std::shared_ptr<uint8_t> buffer;
    if (size <= SIZE_MAX) {
        try {
            // Parts are slices of this one buffer, so a load costs the file's
            // size and nothing more per part than its table entry.
            buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)], std::default_delete<uint8_t[]>());
        } catch (const std::exception&) {
            buffer.reset();
        }
    }
    if (!buffer) {
        LOG_STREAM(4) << "alloc memory failed." << " bufferSize=" << size;
        return false;
    }
    const size_t fileSize = static_cast<size_t>(size);
    const size_t got = file.Read(buffer.get(), 1, fileSize);
    if (got != fileSize) {
        LOG_STREAM(4) << "Read file error. errno:" << file.GetErrorInfo() << " readSize=" << got;
        return false;
    }
    const uint8_t* bytes = buffer.get();
    if (fileSize < kCrcSize) {
        LOG_STREAM(4) << "CRC32 not matched:" << " crcCalc=0" << " crcFromFile=(missing)" << " size=" << fileSize;
        return false;
    }
    const uint32_t crcFromFile = GetLe32(bytes + kCrcOffset);
    const uint32_t crcCalc = Crc32(bytes + kCrcSize, fileSize - kCrcSize);
    if (crcCalc != crcFromFile) {
        LOG_STREAM(4) << "CRC32 not matched:" << " crcCalc=" << crcCalc << " crcFromFile=" << crcFromFile;
        return false;
    }
    if (fileSize < kMinFileSize) {
        LOG_STREAM(4) << "part table exceeds file." << " partNum=(missing)" << " size=" << fileSize;
        return false;
    }
    const uint32_t n = GetLe32(bytes + kPartCountOffset);
    // 64-bit arithmetic throughout: neither 4 * N nor the sum of the sizes may wrap.
    const uint64_t tableEnd = kPartTableOffset + static_cast<uint64_t>(n) * kPartSizeEntrySize;
    if (tableEnd > fileSize) {
        LOG_STREAM(4) << "part table exceeds file." << " partNum=" << n << " size=" << fileSize;
        return false;
    }
    std::vector<uint32_t> sizes;
    std::vector<PartBuffer> parts;
    try {
        sizes.reserve(n);  // bounded by the file: 4 bytes of table per part
        parts.reserve(n);
        uint64_t offset = tableEnd;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t partSize = GetLe32(bytes + kPartTableOffset + static_cast<size_t>(i) * kPartSizeEntrySize);
            // An LZ4 block is never empty; a part that does not fit would be
            // ranges silently lost, so the whole load fails instead.
            if (partSize == 0 || partSize > fileSize - offset) {
                LOG_STREAM(4) << "part exceeds file." << " partIndex=" << i << " partSize=" << partSize
                              << " offset=" << offset << " size=" << fileSize;
                return false;
            }
            sizes.push_back(partSize);
            parts.emplace_back(buffer, buffer.get() + offset);
            offset += partSize;
        }
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "alloc memory failed." << " partNum=" << n << " error=" << e.what();
        return false;
    }
    // Bytes after the last part are covered by the checksum and ignored: a set
    // saved by an older writer may carry zero padding there.
    m_partSizes = std::move(sizes);
    m_parts = std::move(parts);
    // Ranges added after a load must still come after everything loaded, or
    // the walk (which trusts the order) would skip them.
    bool found = false;
    DirtyRange last;
    if (!LastRangeOfParts(m_partSizes, m_parts, found, last)) {
        // The end of the loaded ranges is unknown: refuse every addition.
        LOG_STREAM(3) << "last part unreadable, no range may be added." << " partNum=" << n;
        m_lastPacked = DirtyRange(UINT64_MAX, 0);
        m_hasPacked = true;
    } else if (found) {
        m_lastPacked = last;
        m_hasPacked = true;
    }
    LOG_STREAM(1) << "Read success. " << " partSize=" << n;
    return true;
}

bool DirtyRanges::CleanDirtyRanges()
{
    const std::string path = GetDirtyRangeFileName();
    Oru::GuardedFile file(0);
    int rc = file.Remove(path);
    if (rc != 0) {
        LOG_STREAM(4) << "remove file error" << " fileName=" << path << " errno:" << file.GetErrorInfo();
    }
    return rc == 0;
}
