#include "Bitmap.h"

#include <algorithm>

namespace rbdtool {

BitmapBuilder::BitmapBuilder(uint64_t imageSize, uint64_t blockSize)
    : m_imageSize(imageSize), m_blockSize(blockSize), m_chunks((imageSize + blockSize - 1) / blockSize)
{
    uint64_t used = (m_chunks + 7) / 8;
    m_bytes.assign(std::max<uint64_t>(4096, (used + 4095) / 4096 * 4096), 0);
}

void BitmapBuilder::Mark(uint64_t offset, uint64_t length)
{
    if (length == 0 || offset >= m_imageSize) return;
    uint64_t end = std::min(m_imageSize, offset + std::min(length, m_imageSize - offset));
    for (uint64_t i = offset / m_blockSize; i < (end + m_blockSize - 1) / m_blockSize; ++i) {
        m_bytes[i / 8] = static_cast<uint8_t>(m_bytes[i / 8] | (1u << (i % 8)));
    }
}

}  // namespace rbdtool
