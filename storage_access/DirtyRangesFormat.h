// Constants and byte helpers of the ".dirtyRanges" file and of its LZ4 parts.
// Other programs read and write this layout, so nothing here may change without
// changing the file format (see DIRTY_RANGES_FORMAT.md). Header-only, stateless.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dirty_ranges_format {

// Ranges are merged into whole units of this size before they are stored.
constexpr uint64_t kRangeUnit = 4194304;
// One stored range: start then size, both unsigned 64-bit little-endian.
constexpr size_t kRecordSize = 16;
// Every part but the last holds exactly this many records.
constexpr size_t kRangesPerPart = 1048576;
// Uncompressed size of a full part, and the most any part may decompress to.
constexpr size_t kPartRawSize = kRangesPerPart * kRecordSize;  // 16777216

// File layout: CRC-32 of bytes [4, end) | part count N | N part sizes | parts.
constexpr size_t kCrcOffset = 0;
constexpr size_t kCrcSize = 4;
constexpr size_t kPartCountOffset = 4;
constexpr size_t kPartSizeEntrySize = 4;
constexpr size_t kPartTableOffset = 8;
// Smallest well-formed file: checksum, part count 0, no parts.
constexpr size_t kMinFileSize = kPartTableOffset;

constexpr const char kSubDir[] = "/SNAPS_DIR/";
constexpr const char kFileSuffix[] = ".dirtyRanges";

inline void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint32_t GetLe32(const uint8_t* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

inline void PutLe64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint64_t GetLe64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Size of a file whose part sizes are `sizes[0..count)`, computed in 64 bits so
// that no sum of 32-bit sizes can wrap.
inline uint64_t FileSizeFor(const uint32_t* sizes, size_t count)
{
    uint64_t total = kPartTableOffset + static_cast<uint64_t>(count) * kPartSizeEntrySize;
    for (size_t i = 0; i < count; ++i) {
        total += sizes[i];
    }
    return total;
}

}  // namespace dirty_ranges_format
