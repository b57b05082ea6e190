// Range insertion and the block walk of DirtyRanges; the part format and the
// file live in DirtyRangesFile.cpp.
#include "storage_access/DirtyRanges.h"

#include <lz4.h>

#include <climits>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "foundation/LogProxy.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
const char MODULE_NAME[] = "DirtyRanges";

using namespace dirty_ranges_format;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Highest end a range may have so that widening it to whole units cannot pass
// the top of the 64-bit offset space.
constexpr uint64_t kMaxAddableEnd = UINT64_MAX / kRangeUnit * kRangeUnit;

inline DirtyRange Widen(const DirtyRange& range, uint64_t blockSize)
{
    uint64_t first = range.start / blockSize;
    uint64_t end = range.End();
    // ceil(end / blockSize) without the overflow of (blockSize + end - 1).
    uint64_t last = end / blockSize + (end % blockSize != 0 ? 1 : 0);
    return DirtyRange(first * blockSize, (last - first) * blockSize);
}

inline uint64_t ByteSwap64(uint64_t v)
{
    return __builtin_bswap64(v);
}
}  // namespace

static_assert(sizeof(DirtyRange) == kRecordSize, "a range must be one stored record");
static_assert(std::is_standard_layout<DirtyRange>::value, "ranges are decompressed in place");

bool DirtyRanges::Initialize(std::string dirPath, std::string fileStem)
{
    m_dirPath = std::move(dirPath);
    m_fileStem = std::move(fileStem);
    return true;
}

void DirtyRanges::clear()
{
    m_ranges->clear();
    m_partSizes.clear();
    m_parts.clear();
    m_hasPacked = false;
}

DirtyRange DirtyRanges::Transform(const DirtyRange& range, uint64_t blockSize)
{
    if (blockSize == 0) {
        LOG_STREAM_M(4, "EnvProxy") << "blockSize is 0 ";
        return DirtyRange();
    }
    return Widen(range, blockSize);
}

bool DirtyRanges::NeedCompressBuff() const
{
    return m_version >= 2 && m_ranges->size() >= kRangesPerPart;
}

bool DirtyRanges::AddRange(DirtyRange range)
{
    if (range.size > UINT64_MAX - range.start || range.End() > kMaxAddableEnd) {
        LOG_STREAM(4) << "range beyond the volume offset space." << " range.start=" << range.start
                      << " range.size=" << range.size;
        return false;
    }
    RangeList& list = *m_ranges;
    try {
        if (list.empty()) {
            DirtyRange t = Widen(range, kRangeUnit);
            if (t.size == 0) {
                // An empty range on a unit boundary changes nothing; stored, it
                // would make every walk produce a block that did not change.
                LOG_STREAM(0) << "no add.";
                return true;
            }
            if (m_hasPacked) {
                // The list was just packed: order and overlap are judged against
                // the last packed range, so no part repeats or precedes another.
                if (range.start <= m_lastPacked.start) {
                    LOG_STREAM(4) << "range out of order." << " range.start=" << range.start
                                  << " lastStart=" << m_lastPacked.start;
                    return false;
                }
                if (t.End() <= m_lastPacked.End()) {
                    LOG_STREAM(0) << "no add.";
                    return true;
                }
                if (t.start < m_lastPacked.End()) {
                    t = DirtyRange(m_lastPacked.End(), t.End() - m_lastPacked.End());
                }
            }
            if (m_version >= 2 && list.capacity() < kRangesPerPart) {
                // One allocation of a whole part's worth: no regrowth copies and
                // no doubling past the part size.
                list.reserve(kRangesPerPart);
            }
            list.push_back(t);
            return true;
        }
        DirtyRange& last = list.back();
        if (range.start <= last.start) {
            LOG_STREAM(4) << "range out of order." << " range.start=" << range.start << " lastStart=" << last.start;
            list.clear();
            return false;
        }
        DirtyRange t = Widen(range, kRangeUnit);
        if (t.End() <= last.End() || t.size == 0) {
            LOG_STREAM(0) << "no add.";
        } else if (t.start > last.End()) {
            list.push_back(t);
        } else {
            last.size += t.End() - last.End();
        }
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "alloc memory failed." << " bufferSize=" << (list.size() + 1) * kRecordSize
                      << " error=" << e.what();
        return false;
    }
    if (NeedCompressBuff()) {
        return CompressRanges();
    }
    return true;
}

// ---------------------------------------------------------------------------
// iterator

inline void DirtyRanges::iterator::Settle()
{
    if (current < m_count && !m_failed) {
        const uint64_t end = m_data[current].End();
        m_lastBlock = end == 0 ? 0 : DivBlock(end - 1);
    } else {
        m_lastBlock = 0;
    }
    m_end = m_failed || (partIndex == m_parts.size() && current >= m_count);
}

DirtyRanges::iterator::iterator(uint64_t blockSize, const std::vector<uint32_t>& partSizes,
                                std::vector<PartBuffer> parts)
    : block(0, blockSize), m_parts(std::move(parts))
{
    if (blockSize == 0) {
        LOG_STREAM(4) << "blockSize is 0 ";
        m_failed = true;
        Settle();
        return;
    }
    if ((blockSize & (blockSize - 1)) == 0) {
        m_blockShift = __builtin_ctzll(blockSize);
    }
    try {
        m_partSizes = partSizes;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "alloc memory failed." << " error=" << e.what();
        m_failed = true;
        Settle();
        return;
    }
    if (!m_parts.empty()) {
        if (DecompressPart() && m_count > 0) {
            block.blockIndex = DivBlock(m_data[0].start);
        }
    }
    Settle();
}


bool DirtyRanges::iterator::DecompressPart()
{
    if (partIndex >= m_parts.size()) {
        return false;
    }
    // A part that cannot be decompressed ends the walk for good.
    if (!LoadPart()) {
        m_failed = true;
    }
    Settle();
    return !m_failed;
}

bool DirtyRanges::iterator::LoadPart()
{
    const size_t index = static_cast<size_t>(partIndex);
    const bool isLast = index + 1 == m_parts.size();
    // The list's storage is kept from part to part and only its first m_count
    // entries are valid, so a part costs no re-zeroing of 16 MiB.
    m_count = 0;
    current = 0;
    m_data = nullptr;
    if (index >= m_partSizes.size() || !m_parts[index] || m_partSizes[index] > static_cast<uint32_t>(INT_MAX)) {
        LOG_STREAM(4) << "uncompress dirty ranges failed." << " maxSize=" << kPartRawSize << " uncompressSize=-1"
                      << " partIndex=" << partIndex;
        return false;
    }
    const uint32_t compressedSize = m_partSizes[index];
    // An LZ4 sequence yields at most 255 bytes per input byte (a match of
    // 4 + 15 + 255 per length byte costs token, offset and length bytes), so a
    // small part (a short last part, or a damaged one) is decompressed into a
    // buffer sized from that bound instead of the full 16 MiB.
    const uint64_t bound = (static_cast<uint64_t>(compressedSize) * 255 + kRecordSize) / kRecordSize * kRecordSize;
    const size_t want = bound < kPartRawSize ? static_cast<size_t>(bound) : kPartRawSize;
    if (!EnsureRoom(want)) {
        LOG_STREAM(4) << "uncompress dirty ranges failed." << " maxSize=" << kPartRawSize << " uncompressSize=0";
        return false;
    }
    DirtyRange* out = ranges.get();
    const int d = LZ4_decompress_safe(reinterpret_cast<const char*>(m_parts[index].get()),
                                      reinterpret_cast<char*>(out), static_cast<int>(compressedSize),
                                      static_cast<int>(want));
    if (d < 0 || (!isLast && static_cast<size_t>(d) != kPartRawSize) || d % static_cast<int>(kRecordSize) != 0) {
        LOG_STREAM(4) << "uncompress dirty ranges failed." << " maxSize=" << kPartRawSize << " uncompressSize=" << d
                      << " partIndex=" << partIndex;
        return false;
    }
    const size_t count = static_cast<size_t>(d) / kRecordSize;
    // The records are untrusted: a range that wraps the offset space or runs
    // back into its predecessor would make the walk skip or repeat blocks.
    uint64_t prevEnd = 0;
    for (size_t i = 0; i < count; ++i) {
        DirtyRange& r = out[i];
        if (!kLittleEndian) {
            r.start = ByteSwap64(r.start);
            r.size = ByteSwap64(r.size);
        }
        if (r.size > UINT64_MAX - r.start || (i > 0 && r.start < prevEnd)) {
            LOG_STREAM(4) << "uncompress dirty ranges failed." << " maxSize=" << kPartRawSize
                          << " uncompressSize=" << d << " badRecord=" << i << " range.start=" << r.start
                          << " range.size=" << r.size;
            return false;
        }
        prevEnd = r.End();
    }
    if (LogLevelEnabled(0)) {
        for (size_t i = 0; i < count; ++i) {
            LOG_STREAM(0) << "Range:" << " range.start=" << out[i].start << " range.size=" << out[i].size;
        }
    }
    LOG_STREAM(2) << "uncompress dirty ranges success." << " partIndex=" << partIndex << " uncompressSize=" << d
                  << " compressedSize=" << compressedSize;
    m_data = out;
    m_count = count;
    ++partIndex;
    return true;
}

bool DirtyRanges::iterator::EnsureRoom(size_t bytes)
{
    if (ranges && m_room >= bytes) {
        return true;
    }
    ranges.reset();
    m_room = 0;
    void* room = std::malloc(bytes);
    if (room == nullptr) {
        return false;
    }
    try {
        ranges.reset(static_cast<DirtyRange*>(room), [](DirtyRange* p) { std::free(p); });
    } catch (const std::exception&) {
        return false;  // the deleter has freed it
    }
    m_room = bytes;
    return true;
}

void DirtyRanges::iterator::FindNextBlockSlow()
{
    if (m_failed) {
        Settle();
        return;
    }
    // Whether `current` changed in this step; if it did not, blockIndex already
    // lies at or past the start of the current range and no jump is needed.
    bool moved = false;
    if (current >= m_count && partIndex < m_parts.size()) {
        if (!DecompressPart()) {
            return;  // failed for good (see DecompressPart), not retried at the next step
        }
        moved = true;
    }
    const uint64_t e = NextEdge();
    while (current < m_count && e >= m_data[current].End()) {
        ++current;
        moved = true;
    }
    if (current < m_count) {
        ++block.blockIndex;
        if (moved) {
            uint64_t k = DivBlock(m_data[current].start);
            if (k > block.blockIndex) {
                block.blockIndex = k;
            }
        }
    }
    Settle();
}
