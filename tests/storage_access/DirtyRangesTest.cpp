// Range insertion, widening, packing and the block walk of DirtyRanges.
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <functional>
#include <vector>

#include "host/testing/Fakes.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
using testing_fakes::LogCapture;
namespace fmt = dirty_ranges_format;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kUnit = 4 * MiB;

// The blocks a fresh iterator from `make` stops at, walked step by step and
// run by run (ForEachBlock); the two walks must agree, and a run walk stopped
// at `limit` must rest on the block the step walk goes on with.
std::vector<uint64_t> WalkBoth(const std::function<DirtyRanges::iterator()>& make, bool* failed = nullptr,
                               size_t limit = 10000000)
{
    std::vector<uint64_t> steps;
    auto it = make();
    for (; !it.End() && steps.size() <= limit; it.FindNextBlock()) {
        steps.push_back(it.BlockIndex());
    }
    std::vector<uint64_t> runs;
    auto run = make();
    run.ForEachBlock([&](uint64_t b) {
        if (runs.size() == limit) return false;
        runs.push_back(b);
        return true;
    });
    if (steps.size() > limit) {
        EXPECT_FALSE(run.End());
        EXPECT_EQ(run.BlockIndex(), steps[limit]) << "a stopped run walk rests on the refused block";
        steps.resize(limit);
    } else {
        EXPECT_TRUE(run.End());
        EXPECT_EQ(run.Failed(), it.Failed());
    }
    EXPECT_EQ(runs, steps) << "run walk and step walk differ";
    if (failed != nullptr) {
        *failed = it.Failed();
    }
    return steps;
}

std::vector<uint64_t> Walk(const DirtyRanges& set, uint64_t blockSize, bool* failed = nullptr, size_t limit = 10000000)
{
    return WalkBoth([&] { return set.Begin(blockSize); }, failed, limit);
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

// A full part's worth of one-unit ranges with a unit's gap between them.
std::vector<DirtyRange> FullPartOfRanges()
{
    std::vector<DirtyRange> out;
    for (uint64_t i = 0; i < fmt::kRangesPerPart; ++i) {
        out.emplace_back(i * 2 * kUnit, kUnit);
    }
    return out;
}

// Eight bytes that are no LZ4 block.
DirtyRanges::PartBuffer Junk()
{
    return DirtyRanges::PartBuffer(new uint8_t[8]{0xf0, 1, 2, 3, 4, 5, 6, 7}, std::default_delete<uint8_t[]>());
}

// The widening itself is shared with AddRange (DirtyRangesAdd); only what the
// adds cannot reach is checked here.
TEST(DirtyRangesTransform, WidensToWholeBlocks)
{
    const uint64_t top = UINT64_MAX / 4096 * 4096;
    // An end near the top of the offset space must not wrap while rounding up.
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(top - 4096, 10), 4096), DirtyRange(top - 4096, 4096));
    LogCapture cap;
    EXPECT_EQ(DirtyRanges::Transform(DirtyRange(5000, 100), 0), DirtyRange(0, 0));
    auto recs = cap.Find("blockSize is 0 ", 4);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].module, "EnvProxy");
}

// Ranges are widened to 4 MiB units and merged with the last one when they
// touch or overlap it; one not above the last start drops the list.
TEST(DirtyRangesAdd, SequencesOfAdds)
{
    const uint64_t topUnit = UINT64_MAX / kUnit * kUnit;
    const struct {
        const char* name;
        std::vector<DirtyRange> adds;
        std::vector<bool> accepted;
        DirtyRanges::RangeList list;
    } cases[] = {
        {"widened", {DirtyRange(5000, 100)}, {true}, {DirtyRange(0, kUnit)}},
        {"next unit merges", {DirtyRange(5000, 100), DirtyRange(4194305, 10)}, {true, true}, {DirtyRange(0, 2 * kUnit)}},
        {"inside the last unit", {DirtyRange(5000, 100), DirtyRange(100, 10)}, {true, true}, {DirtyRange(0, kUnit)}},
        {"start below the last", {DirtyRange(kUnit, 100), DirtyRange(0, 10)}, {true, false}, {}},
        {"equal start", {DirtyRange(0, 1), DirtyRange(0, 1)}, {true, false}, {}},
        {"gap", {DirtyRange(0, kUnit), DirtyRange(20971520, 1)}, {true, true},
         {DirtyRange(0, kUnit), DirtyRange(20971520, kUnit)}},
        {"touching", {DirtyRange(0, kUnit), DirtyRange(kUnit, 1)}, {true, true}, {DirtyRange(0, 2 * kUnit)}},
        {"overlap extends", {DirtyRange(0, kUnit), DirtyRange(kUnit - 1, 3 * kUnit)}, {true, true},
         {DirtyRange(0, 4 * kUnit)}},
        {"one unit apart", {DirtyRange(0, 1), DirtyRange(2 * kUnit, 1)}, {true, true},
         {DirtyRange(0, kUnit), DirtyRange(2 * kUnit, kUnit)}},
        {"empty on a boundary", {DirtyRange(kUnit, 0)}, {true}, {}},
        {"past the offset space", {DirtyRange(UINT64_MAX - 10, 100)}, {false}, {}},
        {"rounds up past 2^64", {DirtyRange(UINT64_MAX - 10, 5)}, {false}, {}},
        {"last whole unit", {DirtyRange(topUnit - kUnit, 1)}, {true}, {DirtyRange(topUnit - kUnit, kUnit)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DirtyRanges set;
        for (size_t i = 0; i < c.adds.size(); ++i) {
            EXPECT_EQ(set.AddRange(c.adds[i]), c.accepted[i]) << i;
        }
        EXPECT_EQ(set.GetRanges(), c.list);
    }
}

// Right after a packing the list is empty: order and overlap are judged against
// the last packed range, or a range below it would be skipped by every walk.
TEST(DirtyRangesAdd, OrderIsCheckedAcrossAPacking)
{
    DirtyRanges set;
    for (const DirtyRange& r : FullPartOfRanges()) {
        ASSERT_TRUE(set.AddRange(r));
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
    // An equal start after that drops the unpacked list, never the packed part.
    EXPECT_FALSE(set.AddRange(DirtyRange(lastStart + kUnit, 1)));
    EXPECT_TRUE(set.GetRanges().empty());
    EXPECT_EQ(set.GetParts().size(), 1u);
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

// The edges of a walk: an empty set, block size 0, a block size that does not
// divide the 4 MiB units, unpacked ranges (never walked) and a set cleared
// under its iterator.
TEST(DirtyRangesIterator, EdgesOfAWalk)
{
    DirtyRanges set;
    EXPECT_TRUE(set.Begin(MiB).End());
    EXPECT_FALSE(set.Begin(MiB).Failed());
    // An empty list still packs into a part: an LZ4 block of zero bytes.
    ASSERT_TRUE(set.CompressRanges());
    ASSERT_EQ(set.GetPartSizes(), (std::vector<uint32_t>{1}));
    EXPECT_TRUE(set.Begin(kUnit).End());
    ASSERT_EQ(set.GetTotalSize(), 1u);
    set.clear();
    EXPECT_TRUE(set.GetParts().empty());
    EXPECT_TRUE(set.GetPartSizes().empty());
    EXPECT_EQ(set.GetTotalSize(), 1u) << "clear keeps the packed total";

    ASSERT_TRUE(set.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(set.AddRange(DirtyRange(20971520, kUnit)));
    ASSERT_TRUE(set.CompressRanges());
    EXPECT_EQ(set.GetTotalSize(), 1u + set.GetPartSizes()[0]);
    ASSERT_TRUE(set.AddRange(DirtyRange(100 * MiB, 1)));  // unpacked
    EXPECT_EQ(Walk(set, 3 * MiB), (std::vector<uint64_t>{0, 1, 6, 7}));
    EXPECT_EQ(Walk(set, MiB, nullptr, 2), (std::vector<uint64_t>{0, 1}));  // stopped inside a run
    auto it = set.Begin(MiB);
    set.clear();
    std::vector<uint64_t> seen;
    for (; !it.End(); it.FindNextBlock()) {
        seen.push_back(it->blockIndex);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1, 2, 3, 20, 21, 22, 23}));

    // The next range starts inside the block just walked (a part from another
    // writer need not be widened to units): the walk goes on, never back.
    uint32_t size = 0;
    auto part = MakePart(Records({DirtyRange(0, MiB), DirtyRange(2 * MiB, 3 * MiB)}), &size);
    EXPECT_EQ(WalkBoth([&] { return DirtyRanges::iterator(kUnit, {size}, {part}); }), (std::vector<uint64_t>{0, 1}));

    LogCapture cap;
    ASSERT_TRUE(set.AddRange(DirtyRange(0, 1)));
    ASSERT_TRUE(set.CompressRanges());
    auto zero = set.Begin(0);
    EXPECT_TRUE(zero.End());
    EXPECT_TRUE(zero.Failed());
    zero.FindNextBlock();  // harmless
    EXPECT_TRUE(zero.End());
}

TEST(DirtyRangesIterator, LastBlockOfAPartIsSeenTwice)
{
    // Two hand-made parts: the first full, ending at unit 2 * (parts - 1).
    const uint64_t lastBlock = (fmt::kRangesPerPart - 1) * 2;
    uint32_t s0 = 0, s1 = 0;
    auto p0 = MakePart(Records(FullPartOfRanges()), &s0);
    auto p1 = MakePart(Records({DirtyRange((lastBlock + 10) * kUnit, kUnit)}), &s1);
    auto make = [&] { return DirtyRanges::iterator(kUnit, {s0, s1}, {p0, p1}); };
    bool failed = true;
    std::vector<uint64_t> seen = WalkBoth(make, &failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(seen.size(), fmt::kRangesPerPart + 2);
    EXPECT_EQ(seen[fmt::kRangesPerPart - 1], lastBlock);
    EXPECT_EQ(seen[fmt::kRangesPerPart], lastBlock);
    EXPECT_EQ(seen[fmt::kRangesPerPart + 1], lastBlock + 10);
    // Stopped on either side of the part boundary, a run walk rests where the step walk goes on.
    WalkBoth(make, nullptr, fmt::kRangesPerPart);
    WalkBoth(make, nullptr, fmt::kRangesPerPart + 1);
    auto it = make();
    it.ForEachBlock([](uint64_t) { return true; });
    EXPECT_EQ(it.PartIndex(), 2u);
}

TEST(DirtyRangesIterator, DamagedPartEndsTheWalkAsFailed)
{
    LogCapture cap(2);  // not the per-record lines of a full part
    uint32_t s0 = 0;
    auto good = MakePart(Records(FullPartOfRanges()), &s0);
    // The second part is junk: the walk yields the first part, then stops for good.
    DirtyRanges::iterator it(kUnit, {s0, 8}, {good, Junk()});
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
    bool failed = false;
    EXPECT_EQ(WalkBoth([&] { return DirtyRanges::iterator(kUnit, {s0, 8}, {good, Junk()}); }, &failed).size(),
              fmt::kRangesPerPart + 1);
    EXPECT_TRUE(failed);
}

// Parts that cannot be trusted fail the walk at once: a short part that is not
// the last, records that wrap, overlap, descend or are torn, junk, and a size
// table shorter than the parts.
TEST(DirtyRangesIterator, UntrustedPartsFailTheWalk)
{
    std::vector<uint8_t> torn = Records({DirtyRange(0, kUnit)});
    torn.push_back(1);
    const struct {
        const char* name;
        std::vector<std::vector<uint8_t>> parts;
        const char* detail;
    } cases[] = {
        {"short part not last", {Records({DirtyRange(0, kUnit)}), Records({DirtyRange(10 * kUnit, kUnit)})},
         " maxSize=16777216 uncompressSize=16"},
        {"wraps", {Records({DirtyRange(UINT64_MAX - 5, 10)})}, " badRecord=0"},
        {"overlaps", {Records({DirtyRange(0, 2 * kUnit), DirtyRange(kUnit, kUnit)})}, " badRecord=1"},
        {"descends", {Records({DirtyRange(8 * kUnit, kUnit), DirtyRange(0, kUnit)})}, " badRecord=1"},
        {"torn", {torn}, " uncompressSize=17"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint32_t> sizes;
        std::vector<DirtyRanges::PartBuffer> parts;
        for (const auto& raw : c.parts) {
            uint32_t size = 0;
            parts.push_back(MakePart(raw, &size));
            sizes.push_back(size);
        }
        LogCapture cap;
        DirtyRanges::iterator it(kUnit, sizes, parts);
        EXPECT_TRUE(it.Failed());
        EXPECT_TRUE(it.End());
        EXPECT_EQ(cap.Count("uncompress dirty ranges failed.", 4), 1u);
        EXPECT_TRUE(cap.Contains(c.detail, 4)) << cap.Dump();
    }
    EXPECT_TRUE(DirtyRanges::iterator(kUnit, {8}, {Junk()}).Failed());
    DirtyRanges set;
    ASSERT_TRUE(set.AddRange(DirtyRange(0, kUnit)));
    ASSERT_TRUE(set.CompressRanges());
    EXPECT_TRUE(DirtyRanges::iterator(kUnit, {}, set.GetParts()).Failed());

    // A range in the last block of the offset space still ends the walk.
    uint32_t s = 0;
    const uint64_t top = UINT64_MAX / kUnit * kUnit;
    auto part = MakePart(Records({DirtyRange(top - kUnit, kUnit), DirtyRange(top, UINT64_MAX - top)}), &s);
    bool failed = true;
    EXPECT_EQ(WalkBoth([&] { return DirtyRanges::iterator(kUnit, {s}, {part}); }, &failed, 10),
              (std::vector<uint64_t>{top / kUnit - 1, top / kUnit}));
    EXPECT_FALSE(failed);
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

}  // namespace
