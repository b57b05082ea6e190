// Walks of random sets against a plain reference model: every block that
// intersects an added range (widened to 4 MiB units) is produced, in order, and
// nothing else; the only repeats are the one per part boundary. Fixed seeds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <random>
#include <string>
#include <vector>

#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace {
namespace fs = boost::filesystem;
constexpr uint64_t kUnit = 4194304;

// The model: a flag per 4 MiB unit of the volume.
struct Model {
    std::vector<bool> units;

    void Add(uint64_t start, uint64_t size)
    {
        uint64_t first = start / kUnit;
        uint64_t end = start + size;
        uint64_t last = (end + kUnit - 1) / kUnit;  // small volumes: no overflow here
        if (units.size() < last) {
            units.resize(last, false);
        }
        for (uint64_t u = first; u < last; ++u) {
            units[u] = true;
        }
    }

    // Distinct block indices at `bs` that intersect a flagged unit, ascending.
    std::vector<uint64_t> Blocks(uint64_t bs) const
    {
        std::vector<uint64_t> out;
        for (uint64_t u = 0; u < units.size(); ++u) {
            if (!units[u]) {
                continue;
            }
            uint64_t b0 = u * kUnit / bs;
            uint64_t b1 = ((u + 1) * kUnit - 1) / bs;
            for (uint64_t b = b0; b <= b1; ++b) {
                if (out.empty() || out.back() < b) {
                    out.push_back(b);
                }
            }
        }
        return out;
    }
};

struct Walked {
    std::vector<uint64_t> distinct;
    size_t repeats = 0;
    bool ordered = true;
    bool failed = false;
};

Walked WalkSet(const DirtyRanges& set, uint64_t bs)
{
    Walked w;
    auto it = set.Begin(bs);
    uint64_t prev = 0;
    bool first = true;
    for (; !it.End(); it.FindNextBlock()) {
        uint64_t b = it.BlockIndex();
        if (!first && b < prev) {
            w.ordered = false;
        }
        if (!first && b == prev) {
            ++w.repeats;
        } else {
            w.distinct.push_back(b);
        }
        prev = b;
        first = false;
    }
    w.failed = it.Failed();
    return w;
}

// Ascending raw ranges: unaligned, overlapping, touching, empty and gapped.
void Generate(std::mt19937_64& rng, size_t n, double gapShare, DirtyRanges& set, Model& model)
{
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    uint64_t start = rng() % (3 * kUnit);
    for (size_t i = 0; i < n; ++i) {
        uint64_t size;
        double s = coin(rng);
        if (s < 0.1) {
            size = 0;
        } else if (s < 0.6) {
            size = 1 + rng() % kUnit;
        } else if (s < 0.9) {
            size = 1 + rng() % (3 * kUnit);
        } else {
            size = kUnit * (1 + rng() % 4);  // whole units
        }
        ASSERT_TRUE(set.AddRange(DirtyRange(start, size))) << i;
        model.Add(start, size);
        double g = coin(rng);
        uint64_t next;
        if (g < gapShare) {
            next = start + size + kUnit + rng() % (6 * kUnit);  // past the next unit boundary
        } else if (g < gapShare + (1 - gapShare) / 2) {
            next = start + 1 + rng() % (size + 1);  // inside or right after: overlap or touch
        } else {
            next = (start + size + kUnit - 1) / kUnit * kUnit;  // exactly the next boundary
        }
        start = next > start ? next : start + 1;
    }
}

void Check(const DirtyRanges& set, const std::vector<uint64_t>& expect, uint64_t bs, const std::string& what)
{
    Walked w = WalkSet(set, bs);
    ASSERT_FALSE(w.failed) << what;
    ASSERT_TRUE(w.ordered) << what;
    ASSERT_EQ(w.distinct.size(), expect.size()) << what;
    for (size_t i = 0; i < expect.size(); ++i) {
        ASSERT_EQ(w.distinct[i], expect[i]) << what << " at " << i;
    }
    size_t boundaries = set.GetParts().empty() ? 0 : set.GetParts().size() - 1;
    ASSERT_LE(w.repeats, boundaries) << what;
}

class DirtyRangesProperty : public ::testing::Test {
protected:
    void SetUp() override
    {
        // tmpfs where there is one: the guarded file syncs every write.
        std::string tmpl = std::string(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + "/dirty_ranges_prop.XXXXXX";
        ASSERT_NE(::mkdtemp(&tmpl[0]), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Flushes `set`, loads the file into a second set and checks both walks.
    void FlushLoadCheck(DirtyRanges& set, const Model& model, const std::vector<uint64_t>& sizes,
                        const std::string& what)
    {
        set.Initialize(m_dir, "prop");
        ASSERT_TRUE(set.FlushToStorage()) << what;
        DirtyRanges loaded;
        loaded.Initialize(m_dir, "prop");
        ASSERT_TRUE(loaded.LoadFromStorage()) << what;
        ASSERT_EQ(loaded.GetPartSizes(), set.GetPartSizes()) << what;
        for (uint64_t bs : sizes) {
            const std::vector<uint64_t> expect = model.Blocks(bs);
            Check(set, expect, bs, what + " packed bs=" + std::to_string(bs));
            Check(loaded, expect, bs, what + " loaded bs=" + std::to_string(bs));
        }
    }

    std::string m_dir;
};

TEST_F(DirtyRangesProperty, SmallSetsAtManyBlockSizes)
{
    std::mt19937_64 rng(20240601);
    for (int round = 0; round < 60; ++round) {
        DirtyRanges set;
        Model model;
        size_t n = 1 + rng() % 400;
        Generate(rng, n, 0.2 + 0.6 * (round % 4) / 3.0, set, model);
        // Any block size: powers of two around the unit, odd sizes, a byte.
        std::vector<uint64_t> sizes = {1048576, kUnit, 3 * 1048576 + 17, 64 * 1048576, 65536 + rng() % (16 * kUnit)};
        if (round % 10 == 0) {
            sizes.push_back(4096);
        }
        FlushLoadCheck(set, model, sizes, "round " + std::to_string(round));
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(DirtyRangesProperty, LargeSetsSpanningSeveralParts)
{
    std::mt19937_64 rng(77);
    for (int round = 0; round < 1; ++round) {
        DirtyRanges set;
        Model model;
        // Enough ranges that AddRange packs at least once and the flush packs the rest.
        Generate(rng, 1450000, 0.95, set, model);
        ASSERT_GE(set.GetParts().size(), 1u);
        FlushLoadCheck(set, model, {kUnit, 64 * 1048576 + 1 + rng() % kUnit}, "large " + std::to_string(round));
        ASSERT_GE(set.GetParts().size(), 2u);
        if (HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace
