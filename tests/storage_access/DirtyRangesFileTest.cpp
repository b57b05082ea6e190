// The ".dirtyRanges" file: layout, checksum, versions, damaged and hostile files,
// and agreement with files written by an independent program (data/).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/Crc32.h"
#include "host/GuardedFile.h"
#include "host/testing/Fakes.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
using testing_fakes::LogCapture;
namespace fmt = dirty_ranges_format;
namespace fs = boost::filesystem;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kUnit = 4 * MiB;

std::string DataDir()
{
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/')) + "/data";
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<DirtyRange> WalkRanges(const DirtyRanges& set, bool* failed = nullptr)
{
    // Walking at 4 MiB turns every stored unit back into one block; the repeat
    // at a part boundary is dropped so the result reads as the stored ranges.
    std::vector<DirtyRange> out;
    auto it = set.Begin(kUnit);
    for (; !it.End(); it.FindNextBlock()) {
        uint64_t start = it->blockIndex * kUnit;
        if (!out.empty() && out.back().End() > start) {
            continue;
        }
        if (!out.empty() && out.back().End() == start) {
            out.back().size += kUnit;
        } else {
            out.emplace_back(start, kUnit);
        }
    }
    if (failed != nullptr) {
        *failed = it.Failed();
    }
    return out;
}

class DirtyRangesFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        // tmpfs where there is one: the guarded file syncs every write.
        std::string tmpl = std::string(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/dirty_ranges_test.XXXXXX";
        ASSERT_NE(::mkdtemp(&tmpl[0]), nullptr);
        m_dir = tmpl;
        fs::create_directories(m_dir + "/SNAPS_DIR");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string PathOf(const std::string& stem) const { return m_dir + "/SNAPS_DIR/" + stem + ".dirtyRanges"; }

    // Loads bytes as set `stem` with version 2.
    bool LoadBytes(DirtyRanges& set, const std::vector<uint8_t>& bytes, const std::string& stem = "bytes")
    {
        WriteBytes(PathOf(stem), bytes);
        set.m_version = 2;
        set.Initialize(m_dir, stem);
        return set.LoadFromStorage();
    }

    std::vector<uint8_t> Flushed(const std::vector<DirtyRange>& ranges, const std::string& stem)
    {
        DirtyRanges set;
        set.Initialize(m_dir, stem);
        for (const DirtyRange& r : ranges) {
            EXPECT_TRUE(set.AddRange(r));
        }
        EXPECT_TRUE(set.FlushToStorage());
        return ReadBytes(PathOf(stem));
    }

    std::string m_dir;
};

const std::vector<DirtyRange> kThree = {DirtyRange(0, 4194304), DirtyRange(20971520, 4194304),
                                        DirtyRange(104857600, 8388608)};

TEST_F(DirtyRangesFile, WriterMatchesTheIndependentProgram)
{
    EXPECT_EQ(Flushed(kThree, "three"), ReadBytes(DataDir() + "/three.dirtyRanges"));
    EXPECT_EQ(Flushed({}, "empty"), ReadBytes(DataDir() + "/empty.dirtyRanges"));
    std::vector<DirtyRange> many;
    for (uint64_t i = 0; i <= 1048576; ++i) {
        many.emplace_back(i * 8388608, 4194304);
    }
    std::vector<uint8_t> ours = Flushed(many, "two-parts");
    std::vector<uint8_t> theirs = ReadBytes(DataDir() + "/two-parts.dirtyRanges");
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_TRUE(ours == theirs);
}

TEST_F(DirtyRangesFile, ReaderLoadsTheIndependentProgramsFiles)
{
    DirtyRanges three;
    ASSERT_TRUE(LoadBytes(three, ReadBytes(DataDir() + "/three.dirtyRanges"), "three"));
    EXPECT_EQ(three.GetTotalSize(), 0u);  // loading does not count into the packed total
    std::vector<uint64_t> blocks;
    for (auto it = three.Begin(kUnit); !it.End(); it.FindNextBlock()) {
        blocks.push_back(it.BlockIndex());
    }
    EXPECT_EQ(blocks, (std::vector<uint64_t>{0, 5, 25, 26}));

    DirtyRanges empty;
    ASSERT_TRUE(LoadBytes(empty, ReadBytes(DataDir() + "/empty.dirtyRanges"), "empty"));
    EXPECT_EQ(empty.GetParts().size(), 1u);
    EXPECT_TRUE(empty.Begin(kUnit).End());

    DirtyRanges two;
    ASSERT_TRUE(LoadBytes(two, ReadBytes(DataDir() + "/two-parts.dirtyRanges"), "two-parts"));
    ASSERT_EQ(two.GetParts().size(), 2u);
    bool failed = true;
    std::vector<DirtyRange> walked = WalkRanges(two, &failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(walked.size(), 1048577u);
    EXPECT_EQ(walked.back(), DirtyRange(1048576ull * 8388608, 4194304));

    // A flipped bit: EverySingleBitFlipIsDetected, on the same bytes.
    LogCapture cap;
    DirtyRanges truncated;
    EXPECT_FALSE(LoadBytes(truncated, ReadBytes(DataDir() + "/three-truncated.dirtyRanges"), "three-truncated"));
    EXPECT_TRUE(cap.Contains("CRC32 not matched:", 4));
    EXPECT_TRUE(cap.Contains("read failed.", 4));
    EXPECT_TRUE(truncated.GetParts().empty());
}

// A loaded set saving again is an invariant of the corpus replay
// (DirtyRangesFuzzReplay); here a set that packed, was cleared and packed again
// saves only what it holds.
TEST_F(DirtyRangesFile, ReusedSetSavesOnlyWhatItHolds)
{
    std::vector<uint8_t> original = Flushed(kThree, "first");
    DirtyRanges reused;
    reused.Initialize(m_dir, "reused");
    ASSERT_TRUE(reused.AddRange(DirtyRange(0, 1)));
    ASSERT_TRUE(reused.CompressRanges());
    reused.clear();
    for (const DirtyRange& r : kThree) {
        ASSERT_TRUE(reused.AddRange(r));
    }
    ASSERT_TRUE(reused.FlushToStorage());
    EXPECT_EQ(ReadBytes(PathOf("reused")), original);
}

TEST_F(DirtyRangesFile, EverySingleBitFlipIsDetected)
{
    const std::vector<uint8_t> good = Flushed(kThree, "good");
    for (size_t byte = 0; byte < good.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> bad = good;
            bad[byte] ^= static_cast<uint8_t>(1u << bit);
            LogCapture cap;
            DirtyRanges set;
            ASSERT_FALSE(LoadBytes(set, bad)) << byte << ":" << bit;
            ASSERT_TRUE(cap.Contains("CRC32 not matched:", 4)) << byte << ":" << bit;
            ASSERT_TRUE(set.GetParts().empty());
        }
    }
}

// A file whose checksum is right but whose table lies: the CRC is recomputed so
// that only the bounds checks stand between the values and the reader.
std::vector<uint8_t> Sealed(std::vector<uint8_t> body)
{
    std::vector<uint8_t> file(4 + body.size());
    std::copy(body.begin(), body.end(), file.begin() + 4);
    fmt::PutLe32(file.data(), Crc32(file.data() + 4, file.size() - 4));
    return file;
}

std::vector<uint8_t> Le32s(std::initializer_list<uint32_t> values)
{
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    return out;
}

TEST_F(DirtyRangesFile, LyingPartTableFailsWithoutHugeAllocations)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
    };
    std::vector<uint8_t> part = {0x00};  // the LZ4 block of zero bytes
    auto with = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        for (uint8_t x : b) {
            a.push_back(x);
        }
        return a;
    };
    std::vector<Case> cases = {
        {"count only, short", {1, 0}},
        {"max count", Le32s({0xFFFFFFFFu, 1})},
        {"count wraps 4N to 0", with(Le32s({0x40000000u}), part)},
        {"count above table", Le32s({3, 1, 1})},
        {"size beyond file", with(Le32s({1, 2}), part)},
        {"max size", with(Le32s({1, 0xFFFFFFFFu}), part)},
        {"sizes sum wraps 32 bits", with(Le32s({2, 0x80000000u, 0x80000001u}), part)},
        {"zero size", with(Le32s({1, 0}), part)},
        {"second part missing", with(Le32s({2, 1, 1}), part)},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        DirtyRanges set;
        EXPECT_FALSE(LoadBytes(set, Sealed(c.body))) << c.name;
        EXPECT_TRUE(set.GetParts().empty()) << c.name;
        EXPECT_TRUE(set.GetPartSizes().empty()) << c.name;
        EXPECT_TRUE(cap.Contains("read failed.", 4)) << c.name;
        EXPECT_FALSE(cap.Contains("CRC32 not matched:")) << c.name;
    }
    // Zero parts is a well-formed empty file; trailing bytes after the parts
    // (an older writer's padding) are covered by the checksum and ignored.
    DirtyRanges none;
    EXPECT_TRUE(LoadBytes(none, Sealed(Le32s({0}))));
    EXPECT_TRUE(none.Begin(kUnit).End());
    DirtyRanges padded;
    EXPECT_TRUE(LoadBytes(padded, Sealed(with(with(Le32s({1, 1}), part), {0, 0, 0}))));
    EXPECT_EQ(padded.GetPartSizes(), (std::vector<uint32_t>{1}));
}

// Ranges added to a loaded set are judged against the last loaded range, as
// after a packing: one below it would be accepted and then break the walk.
// The loaded part is full, so that the grown set is a valid two-part set.
TEST_F(DirtyRangesFile, RangesAddedAfterALoadComeAfterTheLoadedOnes)
{
    const uint64_t n = fmt::kRangesPerPart;
    std::vector<DirtyRange> base;
    base.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        base.emplace_back(i * 2 * kUnit, kUnit);
    }
    {
        // The last add packs the full part; saving without a flush adds no empty one.
        DirtyRanges src;
        src.Initialize(m_dir, "base");
        for (const DirtyRange& r : base) {
            ASSERT_TRUE(src.AddRange(r));
        }
        ASSERT_EQ(src.GetParts().size(), 1u);
        ASSERT_TRUE(src.SaveDirtyRanges());
    }
    const uint64_t lastStart = base.back().start;
    struct Case {
        const char* name;
        DirtyRange add;
        bool accepted;
        std::vector<DirtyRange> tail;  // last ranges walked after flushing and loading again
    } cases[] = {
        // The comparisons themselves are those after a packing
        // (DirtyRangesAdd.OrderIsCheckedAcrossAPacking); here the load must set them up.
        {"below the parts", DirtyRange(8 * MiB, 1), false, {base.back()}},
        {"across the end of the last", DirtyRange(lastStart + 2 * MiB, kUnit), true,
         {DirtyRange(lastStart, 2 * kUnit)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DirtyRanges set;
        set.Initialize(m_dir, "base");
        ASSERT_TRUE(set.LoadFromStorage());
        EXPECT_EQ(set.AddRange(c.add), c.accepted);
        set.Initialize(m_dir, "grown");
        ASSERT_TRUE(set.FlushToStorage());
        DirtyRanges again;
        again.Initialize(m_dir, "grown");
        ASSERT_TRUE(again.LoadFromStorage());
        bool failed = true;
        std::vector<DirtyRange> walked = WalkRanges(again, &failed);
        EXPECT_FALSE(failed);
        ASSERT_EQ(walked.size(), n - 1 + c.tail.size());
        EXPECT_EQ(walked.front(), base.front());
        EXPECT_EQ(std::vector<DirtyRange>(walked.end() - static_cast<std::ptrdiff_t>(c.tail.size()), walked.end()),
                  c.tail);
    }

    // The guard looks past trailing empty parts to the last range there is.
    {
        DirtyRanges src;
        src.Initialize(m_dir, "tail");
        for (const DirtyRange& r : kThree) {
            ASSERT_TRUE(src.AddRange(r));
        }
        ASSERT_TRUE(src.CompressRanges());
        ASSERT_TRUE(src.CompressRanges());  // an empty last part
        ASSERT_TRUE(src.SaveDirtyRanges());
        DirtyRanges set;
        set.Initialize(m_dir, "tail");
        ASSERT_TRUE(set.LoadFromStorage());
        ASSERT_EQ(set.GetParts().size(), 2u);
        EXPECT_FALSE(set.AddRange(DirtyRange(8 * MiB, 1)));
        EXPECT_TRUE(set.AddRange(DirtyRange(200 * MiB, 1)));
    }
    // Only empty parts: nothing to come after.
    {
        Flushed({}, "empty");
        DirtyRanges set;
        set.Initialize(m_dir, "empty");
        ASSERT_TRUE(set.LoadFromStorage());
        EXPECT_TRUE(set.AddRange(DirtyRange(0, 1)));
    }
    // An unreadable last part hides where the loaded ranges end: nothing is added.
    {
        DirtyRanges set;
        ASSERT_TRUE(LoadBytes(set, Sealed(std::vector<uint8_t>{1, 0, 0, 0, 3, 0, 0, 0, 0xf0, 0xff, 0xff})));
        EXPECT_FALSE(set.AddRange(DirtyRange(200 * MiB, 1)));
    }
}

// Version 0 loads nothing, 1 has no reader, 2 reads the file, others are refused;
// a missing or empty file fails to load.
TEST_F(DirtyRangesFile, VersionsAndMissingFiles)
{
    Flushed(kThree, "three");
    WriteBytes(PathOf("empty-file"), {});
    const struct {
        uint32_t version;
        const char* stem;
        bool loads;
        size_t parts;
        std::string log;  // "": no level-4 record
    } cases[] = {
        {0, "three", true, 0, ""},
        {1, "three", false, 0, ""},
        {2, "three", true, 1, ""},
        {3, "three", false, 0, "version mismatch m_version=3"},
        {2, "nothing-here", false, 0, "open file error fileName=" + PathOf("nothing-here")},
        {2, "empty-file", false, 0, "get size failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + " " + c.stem);
        LogCapture cap;
        DirtyRanges set(c.version);
        set.Initialize(m_dir, c.stem);
        EXPECT_EQ(set.LoadFromStorage(), c.loads);
        EXPECT_EQ(set.GetParts().size(), c.parts);
        if (c.log.empty()) {
            EXPECT_EQ(cap.Find("", 4).size(), 0u) << cap.Dump();
        } else {
            EXPECT_TRUE(cap.Contains(c.log, 4)) << cap.Dump();
        }
        // Loading again starts from a cleared set.
        EXPECT_EQ(set.LoadFromStorage(), c.loads);
        EXPECT_EQ(set.GetParts().size(), c.parts);
    }
}

TEST_F(DirtyRangesFile, CleanAndWriteFailures)
{
    Flushed(kThree, "gone");
    DirtyRanges clean;
    clean.Initialize(m_dir, "gone");
    EXPECT_TRUE(clean.CleanDirtyRanges());
    EXPECT_FALSE(fs::exists(PathOf("gone")));
    EXPECT_TRUE(clean.CleanDirtyRanges());  // already gone counts as removed

    // The set's sub-directory is made on demand; a missing parent is an open error.
    fs::remove_all(m_dir + "/SNAPS_DIR");
    DirtyRanges fresh;
    fresh.Initialize(m_dir, "fresh");
    ASSERT_TRUE(fresh.AddRange(DirtyRange(0, 1)));
    EXPECT_TRUE(fresh.FlushToStorage());
    EXPECT_TRUE(fs::exists(PathOf("fresh")));

    LogCapture cap;
    DirtyRanges nowhere;
    nowhere.Initialize(m_dir + "/no/such/dir", "x");
    EXPECT_FALSE(nowhere.FlushToStorage());
    EXPECT_TRUE(cap.Contains("open file error filename=" + m_dir + "/no/such/dir/SNAPS_DIR/x.dirtyRanges", 4));
}

TEST_F(DirtyRangesFile, FailedWriteLeavesThePreviousFile)
{
    std::vector<uint8_t> before = Flushed(kThree, "keep");
    // The guarded file writes beside the real name first; a directory in that
    // place makes the write fail even for root.
    const std::string tmp = PathOf("keep") + ".tmp." + std::to_string(::getpid());
    fs::create_directory(tmp);
    LogCapture cap;
    DirtyRanges set;
    set.Initialize(m_dir, "keep");
    ASSERT_TRUE(set.AddRange(DirtyRange(0, 1)));
    EXPECT_FALSE(set.FlushToStorage());
    EXPECT_TRUE(cap.Contains("open file error", 4));
    fs::remove(tmp);
    EXPECT_EQ(ReadBytes(PathOf("keep")), before);
}

}  // namespace
