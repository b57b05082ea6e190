// The changed byte ranges of one volume between two snapshots. The host creates
// the set and sets m_version and m_isRestore; the changed-range computation fills
// it with AddRange in ascending order; the host flushes it to its ".dirtyRanges"
// file and walks the changed blocks with an iterator. Ranges are merged into
// whole 4 MiB units and packed into LZ4 parts of 1048576 ranges, so memory stays
// bounded however large the volume. One thread at a time per set; parts are
// immutable once made and shared with iterators, so a set may be cleared while
// an iterator walks it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Oru {
class GuardedFile;
}

// One changed byte range (16 bytes when stored).
struct DirtyRange {
    uint64_t start = 0;
    uint64_t size = 0;

    DirtyRange() = default;
    DirtyRange(uint64_t s, uint64_t n) : start(s), size(n) {}
    uint64_t End() const { return start + size; }
    bool operator==(const DirtyRange& o) const { return start == o.start && size == o.size; }
    bool operator!=(const DirtyRange& o) const { return !(*this == o); }
};

// The iterator's position: the changed block blockIndex of blockSize bytes.
struct DirtyBlock {
    uint64_t blockIndex = 0;
    uint64_t blockSize = 0;

    DirtyBlock() = default;
    DirtyBlock(uint64_t index, uint64_t bs) : blockIndex(index), blockSize(bs) {}
    uint64_t EndOffset() const { return (blockIndex + 1) * blockSize; }
};

class DirtyRanges {
public:
    // A compressed part; its length is kept beside it in the part-size list.
    using PartBuffer = std::shared_ptr<const uint8_t>;
    using RangeList = std::vector<DirtyRange>;

    // Walks the changed blocks of the parts it was given, one part decompressed
    // at a time, at any block size. A walk:
    //   for (auto it = set.Begin(bs); !it.End(); it.FindNextBlock()) use(it->blockIndex);
    //   if (it.Failed()) ... the walk stopped on a damaged part.
    // or, faster on long runs: it.ForEachBlock([&](uint64_t b) { use(b); return true; });
    // Every block that intersects a packed range is produced in non-decreasing
    // order; at a part boundary the last block of the part is produced twice.
    // Move-only: the decompressed list is private to one walk.
    class iterator {
    public:
        // blockSize must not be 0 (such an iterator is failed at once).
        iterator(uint64_t blockSize, const std::vector<uint32_t>& partSizes, std::vector<PartBuffer> parts);
        iterator(iterator&&) noexcept = default;
        iterator& operator=(iterator&&) noexcept = default;
        iterator(const iterator&) = delete;
        iterator& operator=(const iterator&) = delete;

        const DirtyBlock& operator*() const { return block; }
        const DirtyBlock* operator->() const { return &block; }
        const DirtyBlock& Block() const { return block; }
        uint64_t BlockIndex() const { return block.blockIndex; }

        // Moves to the next changed block. The common step, inside the range
        // being walked, is one compare inline; everything else goes out of line.
        void FindNextBlock()
        {
            if (block.blockIndex < m_lastBlock) {
                ++block.blockIndex;
                return;
            }
            FindNextBlockSlow();
        }
        // Calls f(blockIndex) at every block FindNextBlock would stop at, in the
        // same order, from the current one until the walk ends or f returns
        // false (the iterator then stays on the block f refused). Consecutive
        // blocks of a range are counted in a local instead of through the
        // iterator's members, so a long run costs what a plain loop over the
        // range costs.
        template <class F>
        void ForEachBlock(F&& f)
        {
            while (!m_end) {
                const uint64_t first = block.blockIndex;
                const uint64_t last = m_lastBlock > first ? m_lastBlock : first;
                for (uint64_t b = first;; ++b) {
                    if (!f(b)) {
                        block.blockIndex = b;
                        return;
                    }
                    if (b == last) {
                        break;
                    }
                }
                block.blockIndex = last;
                FindNextBlockSlow();
            }
        }
        // True when the walk is over: every part walked, or a part failed.
        bool End() const { return m_end; }
        // True when the walk stopped because a part could not be decompressed
        // (or the block size was 0); End() is then true as well.
        bool Failed() const { return m_failed; }
        // Loads part partIndex into the decompressed list; false when there is
        // no part left or it cannot be decompressed (partIndex then stays, and
        // the iterator is failed and at its end).
        bool DecompressPart();
        uint64_t PartIndex() const { return partIndex; }

    private:
        void FindNextBlockSlow();
        bool LoadPart();
        bool EnsureRoom(size_t bytes);
        // Recomputes the cached end state and the last block of the current range.
        void Settle();
        uint64_t DivBlock(uint64_t x) const { return m_blockShift >= 0 ? x >> m_blockShift : x / block.blockSize; }
        // (blockIndex + 1) * blockSize, saturated so that a walk near the top of
        // the 64-bit offset space still ends.
        uint64_t NextEdge() const
        {
            uint64_t e;
            if (__builtin_mul_overflow(block.blockIndex + 1, block.blockSize, &e) || block.blockIndex + 1 == 0) {
                return UINT64_MAX;
            }
            return e;
        }

        DirtyBlock block;
        uint64_t partIndex = 0;
        std::vector<uint32_t> m_partSizes;
        std::vector<PartBuffer> m_parts;
        size_t current = 0;  // index of the range being walked
        // Decompressed ranges, reused from part to part and never zeroed, so
        // that a part costs only the pages its ranges fill.
        std::shared_ptr<DirtyRange> ranges;
        size_t m_room = 0;   // bytes `ranges` can hold
        size_t m_count = 0;  // ranges of the current part held in `ranges`
        const DirtyRange* m_data = nullptr;
        bool m_failed = false;
        // Cached for the inline step: the block before which the current range
        // certainly goes on ((End() - 1) / blockSize, 0 when there is none), and
        // whether the walk is over.
        uint64_t m_lastBlock = 0;
        bool m_end = false;
        int m_blockShift = -1;  // log2 of a power-of-two block size, else -1
    };

    // A new set has version 2 (the compressed-part format); the host may change it.
    DirtyRanges() = default;
    explicit DirtyRanges(uint32_t version) : m_version(version) {}
    DirtyRanges(const DirtyRanges&) = delete;
    DirtyRanges& operator=(const DirtyRanges&) = delete;

    bool Initialize(std::string dirPath, std::string fileStem);
    void UseFull() { m_useFull = true; }
    bool IsUseFull() const { return m_useFull; }
    bool IsRestore() const { return m_isRestore; }
    // Empties the unpacked ranges and the parts; m_totalSize keeps its value.
    void clear();

    // Adds a range; ranges must arrive in strictly ascending order of start.
    // false after an out-of-order range (the unpacked ranges are then dropped),
    // for a range that runs past the 64-bit offset space, or when packing fails.
    bool AddRange(DirtyRange range);
    // The smallest whole-block range that covers `range`; (0, 0) for block size 0.
    static DirtyRange Transform(const DirtyRange& range, uint64_t blockSize);
    bool NeedCompressBuff() const;

    // Packs the unpacked ranges into new parts (one per 1048576 ranges; an empty
    // list still makes one part) and empties the list.
    bool CompressRanges();
    // Serializes the part table and the parts and writes the file.
    bool SaveDirtyRanges();
    // Writes the CRC-32 of `buffer` and then `buffer` to the set's file.
    bool WriteToFile(const uint8_t* buffer, uint64_t size);
    // Packs the rest into a last part and writes the file.
    bool FlushToStorage();
    // m_dirPath + "/SNAPS_DIR/" + m_fileStem + ".dirtyRanges"
    std::string GetDirtyRangeFileName() const;
    // Clears the set, then loads its file according to m_version.
    bool LoadFromStorage();
    bool LoadV1();
    bool LoadV2();
    // Reads and checks a whole file of `size` bytes from an open guarded file.
    bool ReadFromFile(Oru::GuardedFile& file, uint64_t size);
    // Removes the set's file; true when it is gone.
    bool CleanDirtyRanges();

    // An iterator over the packed parts at `blockSize`.
    iterator Begin(uint64_t blockSize) const { return iterator(blockSize, m_partSizes, m_parts); }

    const RangeList& GetRanges() const { return *m_ranges; }
    const std::vector<uint32_t>& GetPartSizes() const { return m_partSizes; }
    const std::vector<PartBuffer>& GetParts() const { return m_parts; }
    uint32_t GetTotalSize() const { return m_totalSize; }
    const std::string& GetDirPath() const { return m_dirPath; }
    const std::string& GetFileStem() const { return m_fileStem; }

    // Set by the host (m_version, m_isRestore) or by UseFull (m_useFull).
    bool m_useFull = false;
    bool m_isRestore = false;
    uint32_t m_version = 2;

private:
    bool CompressOnePart(const DirtyRange* first, size_t count);

    std::shared_ptr<RangeList> m_ranges = std::make_shared<RangeList>();
    uint32_t m_totalSize = 0;  // sum of the sizes of the parts packed here (wraps, like the field it mirrors)
    std::vector<uint32_t> m_partSizes;
    std::vector<PartBuffer> m_parts;
    std::string m_fileStem;
    std::string m_dirPath;
    // The last range packed into a part, so that a range added right after a
    // packing is still checked for order and overlap.
    DirtyRange m_lastPacked;
    bool m_hasPacked = false;
};
