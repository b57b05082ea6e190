// The bitmap volume's bytes for two snapshots of one image, in the geometry the plug-in reads:
// bit i covers image bytes [i x blockSize, (i + 1) x blockSize), in byte i / 8 under 1 << (i % 8),
// no header, zero padding to whole 4096-byte blocks (at least one).
#pragma once
#include <cstdint>
#include <vector>

namespace rbdtool {

class BitmapBuilder {
public:
    BitmapBuilder(uint64_t imageSize, uint64_t blockSize);
    // Marks every chunk that [offset, offset + length) touches; extents past the end are clipped.
    void Mark(uint64_t offset, uint64_t length);
    void MarkAll() { Mark(0, m_imageSize); }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    uint64_t Chunks() const { return m_chunks; }

private:
    uint64_t m_imageSize;
    uint64_t m_blockSize;
    uint64_t m_chunks;
    std::vector<uint8_t> m_bytes;
};

// The bitmap's block size for an image of `objectSize`-byte objects: one bitmap byte per object,
// so a whole-object diff marks whole bytes.
inline uint64_t BitmapBlockSize(uint64_t objectSize) { return objectSize >= 8 ? objectSize / 8 : 1; }

}  // namespace rbdtool
