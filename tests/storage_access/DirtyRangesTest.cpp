// Range insertion, widening, packing and the block walk of DirtyRanges.
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <vector>

#include "host/testing/Fakes.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
using testing_fakes::LogCapture;
namespace fmt = dirty_ranges_format;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kUnit = 4 * MiB;

std::vector<uint64_t> Walk(const DirtyRanges& set, uint64_t blockSize, bool* failed = nullptr, size_t limit = 10000000)
{
    std::vector<uint64_t> out;
    auto it = set.Begin(blockSize);
    for (; !it.End() && out.size() < limit; it.FindNextBlock()) {
        out.push_back(it->blockIndex);
    }
    if (failed != nullptr) {
        *failed = it.Failed();
    }
    return out;
}

std::vector<uint64_t> Seq(uint64_t from, uint64_t to)  // [from, to]
{
    std::vector<uint64_t> v;
    for (uint64_t i = from; i <= to; ++i) {
        v.push_back(i);
    }
    return v;
}

// A part made by hand from raw records, as another writer (or an attacker) would.
DirtyRanges::PartBuffer MakePart(const std::vector<uint8_t>& raw, uint32_t* size)
{
    std::vector<char> out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))) + 1);
    int c = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), out.data(), static_cast<int>(raw.size()),
                                 static_cast<int>(out.size()));
    EXPECT_GT(c, 0);
    *size = static_cast<uint32_t>(c);
    std::shared_ptr<uint8_t> buf(new uint8_t[static_cast<size_t>(c)], std::default_delete<uint8_t[]>());
    std::memcpy(buf.get(), out.data(), static_cast<size_t>(c));
    return buf;
}

std::vector<uint8_t> Records(const std::vector<DirtyRange>& ranges)
{
    std::vector<uint8_t> raw(ranges.size() * 16);
    for (size_t i = 0; i < ranges.size(); ++i) {
        fmt::PutLe64(&raw[i * 16], ranges[i].start);
        fmt::PutLe64(&raw[i * 16 + 8], ranges[i].size);
    }
    return raw;
}

TEST(DirtyRangesTransform, WidensToWholeBlocks)
{
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(5000, 100), 4096), DirtyRange(4096, 4096));
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(8192, 0), 4096), DirtyRange(8192, 0));
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(4095, 2), 4096), DirtyRange(0, 8192));
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(4096, 4096), 4096), DirtyRange(4096, 4096));
    // An end near the top of the offset space must not wrap while rounding up.
    const uint64_t top = UINT64_MAX / 4096 * 4096;
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(top - 4096, 10), 4096), DirtyRange(top - 4096, 4096));
}

TEST(DirtyRangesTransform, BlockSizeZeroLogsAndYieldsEmpty)
{
    LogCapture cap;
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(5000, 100), 0), DirtyRange(0, 0));
    auto recs = cap.Find("blockSize is 0 ", 4);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].module, "EnvProxy");
}

TEST(DirtyRangesAdd, MergesWidensAndRejectsOutOfOrder)
{
    LogCapture cap;
    DirtyRanges set;
    EXPECT_TRUE(set.AddRange(DirtyRange(5000, 100)));
    ASSERT_EQ(set.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, kUnit)}));
    EXPECT_TRUE(set.AddRange(DirtyRange(4194305, 10)));
    ASSERT_EQ(set.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, 2 * kUnit)}));
    EXPECT_TRUE(set.AddRange(DirtyRange(100, 10)));  // inside the last unit: nothing to add
    EXPECT_TRUE(cap.Contains("no add.", 0));
    EXPECT_EQ(set.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, 2 * kUnit)}));
    EXPECT_FALSE(set.AddRange(DirtyRange(0, 10)));  // start not above the last start
    EXPECT_TRUE(set.GetRanges().empty());
}

TEST(DirtyRangesAdd, GapAppendsTouchingMergesOverlapExtends)
{
    DirtyRanges gap;
    ASSERT_TRUE(gap.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(gap.AddRange(DirtyRange(20971520, 1)));
    EXPECT_EQ(gap.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, kUnit), DirtyRange(20971520, kUnit)}));

    DirtyRanges touching;
    ASSERT_TRUE(touching.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(touching.AddRange(DirtyRange(kUnit, 1)));
    EXPECT_EQ(touching.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, 2 * kUnit)}));

    // A range starting inside the last one and running past it extends it.
    DirtyRanges overlap;
    ASSERT_TRUE(overlap.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(overlap.AddRange(DirtyRange(kUnit - 1, 3 * kUnit)));
    EXPECT_EQ(overlap.GetRanges(), (DirtyRanges::RangeList{DirtyRange(0, 4 * kUnit + 0)}));

    // One unit short of touching stays separate.
    DirtyRanges apart;
    ASSERT_TRUE(apart.AddRange(DirtyRange(0, 1)));
    ASSERT_TRUE(apart.AddRange(DirtyRange(2 * kUnit, 1)));
    EXPECT_EQ(apart.GetRanges().size(), 2u);
}

TEST(DirtyRangesAdd, EqualStartIsOutOfOrderAndPackedRangesSurvive)
{
    DirtyRanges set;
    for (uint64_t i = 0; i < fmt::kRangesPerPart; ++i) {
        ASSERT_TRUE(set.AddRange(DirtyRange(i * 2 * kUnit, 1)));
    }
    ASSERT_EQ(set.GetParts().size(), 1u);
    uint64_t next = fmt::kRangesPerPart * 2 * kUnit;
    ASSERT_TRUE(set.AddRange(DirtyRange(next, 1)));
    ASSERT_TRUE(set.AddRange(DirtyRange(next + 2 * kUnit, 1)));
    EXPECT_FALSE(set.AddRange(DirtyRange(next + 2 * kUnit, 1)));
    EXPECT_TRUE(set.GetRanges().empty());
    EXPECT_EQ(set.GetParts().size(), 1u);
}

TEST(DirtyRangesAdd, OrderIsCheckedAcrossAPacking)
{
    // Right after a packing the list is empty; a range below the packed ones
    // would otherwise be accepted and then skipped by every walk.
    DirtyRanges set;
    for (uint64_t i = 0; i < fmt::kRangesPerPart; ++i) {
        ASSERT_TRUE(set.AddRange(DirtyRange(i * 2 * kUnit, kUnit)));
    }
    ASSERT_EQ(set.GetParts().size(), 1u);
    const uint64_t lastStart = (fmt::kRangesPerPart - 1) * 2 * kUnit;
    EXPECT_FALSE(set.AddRange(DirtyRange(0, 1)));
    EXPECT_FALSE(set.AddRange(DirtyRange(lastStart, 1)));
    // Inside the last packed unit: nothing new; straddling it: only the new part is kept.
    EXPECT_TRUE(set.AddRange(DirtyRange(lastStart + 100, 10)));
    EXPECT_TRUE(set.GetRanges().empty());
    EXPECT_TRUE(set.AddRange(DirtyRange(lastStart + 200, kUnit)));
    EXPECT_EQ(set.GetRanges(), (DirtyRanges::RangeList{DirtyRange(lastStart + kUnit, kUnit)}));
}

TEST(DirtyRangesAdd, RangePastTheOffsetSpaceIsRefused)
{
    DirtyRanges set;
    EXPECT_FALSE(set.AddRange(DirtyRange(UINT64_MAX - 10, 100)));
    EXPECT_FALSE(set.AddRange(DirtyRange(UINT64_MAX - 10, 5)));  // would round up past 2^64
    EXPECT_TRUE(set.GetRanges().empty());
    EXPECT_TRUE(set.AddRange(DirtyRange(UINT64_MAX / kUnit * kUnit - kUnit, 1)));
}

TEST(DirtyRangesAdd, VersionDecidesPacking)
{
    for (uint32_t version : {0u, 1u}) {
        DirtyRanges set(version);
        for (uint64_t i = 0; i < fmt::kRangesPerPart + 5; ++i) {
            ASSERT_TRUE(set.AddRange(DirtyRange(i * 2 * kUnit, 1)));
        }
        EXPECT_FALSE(set.NeedCompressBuff());
        EXPECT_TRUE(set.GetParts().empty()) << version;
        EXPECT_EQ(set.GetRanges().size(), fmt::kRangesPerPart + 5);
        // Packing an oversized list still yields readable parts of at most a full part each.
        ASSERT_TRUE(set.CompressRanges());
        EXPECT_EQ(set.GetParts().size(), 2u);
        EXPECT_EQ(Walk(set, kUnit).size(), fmt::kRangesPerPart + 5 + 1);  // +1: boundary block seen twice
    }
}

TEST(DirtyRangesPacking, TwoMillionRangesPackTwiceAndOnceMoreOnFlush)
{
    DirtyRanges set;
    const uint64_t n = 2 * fmt::kRangesPerPart + 1;
    for (uint64_t i = 0; i < n; ++i) {
        ASSERT_TRUE(set.AddRange(DirtyRange(i * 8 * MiB, kUnit)));
        if (i + 1 == fmt::kRangesPerPart) {
            EXPECT_EQ(set.GetParts().size(), 1u);
            EXPECT_TRUE(set.GetRanges().empty());
        }
    }
    EXPECT_EQ(set.GetParts().size(), 2u);
    EXPECT_EQ(set.GetRanges().size(), 1u);
    ASSERT_TRUE(set.CompressRanges());
    ASSERT_EQ(set.GetParts().size(), 3u);
    uint64_t sum = 0;
    std::vector<size_t> raw;
    for (size_t i = 0; i < 3; ++i) {
        sum += set.GetPartSizes()[i];
        std::vector<char> out(fmt::kPartRawSize);
        raw.push_back(static_cast<size_t>(LZ4_decompress_safe(reinterpret_cast<const char*>(set.GetParts()[i].get()),
                                                              out.data(), static_cast<int>(set.GetPartSizes()[i]),
                                                              static_cast<int>(out.size()))));
    }
    EXPECT_EQ(raw, (std::vector<size_t>{fmt::kPartRawSize, fmt::kPartRawSize, 16}));
    EXPECT_EQ(set.GetTotalSize(), sum);

    // Walk at 4 MiB: every range once, plus the last block of each full part twice.
    std::vector<uint64_t> blocks = Walk(set, kUnit);
    ASSERT_EQ(blocks.size(), n + 2);
    EXPECT_EQ(blocks.front(), 0u);
    EXPECT_EQ(blocks.back(), (n - 1) * 2);
}

TEST(DirtyRangesPacking, EmptyListStillMakesAPartAndClearKeepsTotal)
{
    DirtyRanges set;
    ASSERT_TRUE(set.CompressRanges());
    ASSERT_EQ(set.GetParts().size(), 1u);
    EXPECT_EQ(set.GetPartSizes()[0], 1u);  // LZ4 block of zero bytes
    EXPECT_TRUE(set.Begin(kUnit).End());
    const uint32_t total = set.GetTotalSize();
    set.clear();
    EXPECT_TRUE(set.GetParts().empty());
    EXPECT_TRUE(set.GetPartSizes().empty());
    EXPECT_EQ(set.GetTotalSize(), total);
}

TEST(DirtyRangesIterator, WalksBlocksOfAnySize)
{
    DirtyRanges one;
    ASSERT_TRUE(one.AddRange(DirtyRange(0, 8 * MiB)));
    ASSERT_TRUE(one.CompressRanges());
    EXPECT_EQ(Walk(one, MiB), Seq(0, 7));
    EXPECT_EQ(Walk(one, 8 * MiB), Seq(0, 0));
    EXPECT_EQ(Walk(one, 64 * MiB), Seq(0, 0));

    DirtyRanges two;
    ASSERT_TRUE(two.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(two.AddRange(DirtyRange(20971520, kUnit)));
    ASSERT_TRUE(two.CompressRanges());
    std::vector<uint64_t> expect = Seq(0, 3);
    for (uint64_t i = 20; i <= 23; ++i) {
        expect.push_back(i);
    }
    EXPECT_EQ(Walk(two, MiB), expect);
    // Blocks not aligned with the 4 MiB units: 3 MiB blocks 0,1 cover [0,4M); 6,7 cover [20M,24M).
    EXPECT_EQ(Walk(two, 3 * MiB), (std::vector<uint64_t>{0, 1, 6, 7}));
    // A block larger than the gap: both ranges fall into blocks 0 and 1 of 16 MiB.
    EXPECT_EQ(Walk(two, 16 * MiB), (std::vector<uint64_t>{0, 1}));
    // Unpacked ranges are not walked.
    ASSERT_TRUE(two.AddRange(DirtyRange(100 * MiB, 1)));
    EXPECT_EQ(Walk(two, MiB), expect);
}

TEST(DirtyRangesIterator, EmptySetAndZeroBlockSizeEndAtOnce)
{
    DirtyRanges set;
    auto it = set.Begin(MiB);
    EXPECT_TRUE(it.End());
    EXPECT_FALSE(it.Failed());
    ASSERT_TRUE(set.AddRange(DirtyRange(0, 1)));
    ASSERT_TRUE(set.CompressRanges());
    LogCapture cap;
    auto zero = set.Begin(0);
    EXPECT_TRUE(zero.End());
    EXPECT_TRUE(zero.Failed());
    zero.FindNextBlock();  // harmless
    EXPECT_TRUE(zero.End());
}

TEST(DirtyRangesIterator, LastBlockOfAPartIsSeenTwice)
{
    // Two hand-made parts: the first full, ending at unit 2 * (parts - 1).
    std::vector<DirtyRange> first;
    for (uint64_t i = 0; i < fmt::kRangesPerPart; ++i) {
        first.emplace_back(i * 2 * kUnit, kUnit);
    }
    const uint64_t lastBlock = (fmt::kRangesPerPart - 1) * 2;
    uint32_t s0 = 0, s1 = 0;
    auto p0 = MakePart(Records(first), &s0);
    auto p1 = MakePart(Records({DirtyRange((lastBlock + 10) * kUnit, kUnit)}), &s1);
    DirtyRanges::iterator it(kUnit, {s0, s1}, {p0, p1});
    std::vector<uint64_t> seen;
    for (; !it.End(); it.FindNextBlock()) {
        seen.push_back(it.BlockIndex());
    }
    EXPECT_FALSE(it.Failed());
    ASSERT_EQ(seen.size(), fmt::kRangesPerPart + 2);
    EXPECT_EQ(seen[fmt::kRangesPerPart - 1], lastBlock);
    EXPECT_EQ(seen[fmt::kRangesPerPart], lastBlock);
    EXPECT_EQ(seen[fmt::kRangesPerPart + 1], lastBlock + 10);
    EXPECT_EQ(it.PartIndex(), 2u);
}

TEST(DirtyRangesIterator, IteratorOutlivesAClearedSet)
{
    DirtyRanges set;
    ASSERT_TRUE(set.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(set.AddRange(DirtyRange(3 * kUnit, kUnit)));
    ASSERT_TRUE(set.CompressRanges());
    auto it = set.Begin(kUnit);
    set.clear();
    std::vector<uint64_t> seen;
    for (; !it.End(); it.FindNextBlock()) {
        seen.push_back(it->blockIndex);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 3}));
}

TEST(DirtyRangesIterator, DamagedPartEndsTheWalkAsFailed)
{
    LogCapture cap(2);  // not the per-record lines of a full part
    uint32_t s0 = 0;
    std::vector<DirtyRange> full;
    for (uint64_t i = 0; i < fmt::kRangesPerPart; ++i) {
        full.emplace_back(i * 2 * kUnit, kUnit);
    }
    auto good = MakePart(Records(full), &s0);
    std::shared_ptr<uint8_t> junk(new uint8_t[8]{0xf0, 1, 2, 3, 4, 5, 6, 7}, std::default_delete<uint8_t[]>());

    // The second part is junk: the walk yields the first part, then stops for good.
    DirtyRanges::iterator it(kUnit, {s0, 8}, {good, junk});
    size_t steps = 0;
    while (!it.End() && steps < 3 * fmt::kRangesPerPart) {
        it.FindNextBlock();
        ++steps;
    }
    EXPECT_TRUE(it.End());
    EXPECT_TRUE(it.Failed());
    EXPECT_EQ(steps, fmt::kRangesPerPart + 1);  // every block, the boundary repeat, the failed step
    EXPECT_EQ(it.PartIndex(), 1u);
    EXPECT_GE(cap.Count("uncompress dirty ranges failed.", 4), 1u);
    it.FindNextBlock();
    EXPECT_TRUE(it.End());
    EXPECT_EQ(cap.Count("uncompress dirty ranges failed.", 4), 1u);  // not retried

    // Junk as the first part fails in the constructor.
    DirtyRanges::iterator first(kUnit, {8}, {junk});
    EXPECT_TRUE(first.End());
    EXPECT_TRUE(first.Failed());
}

TEST(DirtyRangesIterator, NonLastPartMustBeFull)
{
    uint32_t s0 = 0, s1 = 0;
    auto shortPart = MakePart(Records({DirtyRange(0, kUnit)}), &s0);
    auto last = MakePart(Records({DirtyRange(10 * kUnit, kUnit)}), &s1);
    LogCapture cap;
    DirtyRanges::iterator it(kUnit, {s0, s1}, {shortPart, last});
    EXPECT_TRUE(it.Failed());
    auto recs = cap.Find("uncompress dirty ranges failed.", 4);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_NE(recs[0].text.find(" maxSize=16777216 uncompressSize=16"), std::string::npos) << recs[0].text;
}

TEST(DirtyRangesIterator, UntrustedRecordsAreChecked)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> raw;
    };
    std::vector<uint8_t> partial = Records({DirtyRange(0, kUnit)});
    partial.push_back(1);  // a torn record
    std::vector<Case> cases = {
        {"wraps", Records({DirtyRange(UINT64_MAX - 5, 10)})},
        {"overlaps", Records({DirtyRange(0, 2 * kUnit), DirtyRange(kUnit, kUnit)})},
        {"descends", Records({DirtyRange(8 * kUnit, kUnit), DirtyRange(0, kUnit)})},
        {"torn", partial},
    };
    for (const Case& c : cases) {
        uint32_t s = 0;
        auto part = MakePart(c.raw, &s);
        DirtyRanges::iterator it(kUnit, {s}, {part});
        EXPECT_TRUE(it.Failed()) << c.name;
        EXPECT_TRUE(it.End()) << c.name;
    }
    // A range in the last block of the offset space still ends the walk.
    uint32_t s = 0;
    const uint64_t top = UINT64_MAX / kUnit * kUnit;
    auto part = MakePart(Records({DirtyRange(top - kUnit, kUnit), DirtyRange(top, UINT64_MAX - top)}), &s);
    DirtyRanges::iterator it(kUnit, {s}, {part});
    std::vector<uint64_t> seen;
    for (; !it.End() && seen.size() < 10; it.FindNextBlock()) {
        seen.push_back(it.BlockIndex());
    }
    EXPECT_FALSE(it.Failed());
    EXPECT_EQ(seen, (std::vector<uint64_t>{top / kUnit - 1, top / kUnit}));
}

TEST(DirtyRangesIterator, MostCompressiblePartsStillDecompress)
{
    // Parts are decompressed into a buffer sized from LZ4's largest expansion;
    // records of zeros compress as far as LZ4 ever does, full or short.
    for (size_t records : {fmt::kRangesPerPart, fmt::kRangesPerPart / 3 + 1, size_t{300}}) {
        uint32_t s = 0;
        auto part = MakePart(std::vector<uint8_t>(records * 16, 0), &s);
        uint32_t s1 = 0;
        auto tail = MakePart(Records({DirtyRange(kUnit, kUnit)}), &s1);
        // A full part is not the last one: a short range part follows it.
        DirtyRanges::iterator it = records == fmt::kRangesPerPart
                                       ? DirtyRanges::iterator(kUnit, {s, s1}, {part, tail})
                                       : DirtyRanges::iterator(kUnit, {s}, {part});
        size_t steps = 0;
        for (; !it.End() && steps < 10; it.FindNextBlock()) {
            ++steps;
        }
        EXPECT_FALSE(it.Failed()) << records << " records in " << s << " bytes";
        EXPECT_TRUE(it.End());
    }
}

TEST(DirtyRangesIterator, SizeTableShorterThanPartsFails)
{
    DirtyRanges set;
    ASSERT_TRUE(set.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(set.CompressRanges());
    DirtyRanges::iterator it(kUnit, {}, set.GetParts());
    EXPECT_TRUE(it.Failed());
}

}  // namespace
