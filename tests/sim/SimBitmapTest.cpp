// Bitmap volumes against a reference computed from the snapshot files themselves:
// random changes, partial last chunks, chunk sizes, rewrites with the same bytes,
// a bitmap of everything, and the on-volume layout the bitmap reader expects.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <sys/stat.h>

#include "tests/sim/SimToolHelpers.h"

using namespace simtest;

namespace {

std::vector<bool> ReferenceBits(const SimRoot& root, const std::string& from, const std::string& to, uint64_t bs)
{
    const uint64_t size = root.State().volumes.at(to).size;
    const std::string a = from.empty() ? std::string() : root.Read(from, 0, size);
    const std::string b = root.Read(to, 0, size);
    const uint64_t chunks = (size + bs - 1) / bs;
    std::vector<bool> bits(chunks);
    for (uint64_t i = 0; i < chunks; ++i) {
        uint64_t len = std::min(bs, size - i * bs);
        bits[i] = from.empty() || a.compare(i * bs, len, b, i * bs, len) != 0;
    }
    return bits;
}

// Checks the bitmap volume's bytes: bit i of chunk i at byte i/8, mask 1 << (i%8),
// zero padding to whole 4096-byte blocks.
void ExpectBitmap(const SimRoot& root, const std::string& bitmap, const std::vector<bool>& expected)
{
    const SimVolume v = root.State().volumes.at(bitmap);
    ASSERT_EQ(0u, v.size % 4096);
    ASSERT_GE(v.size, (expected.size() + 7) / 8);
    const std::string data = root.Read(bitmap, 0, v.size + 100);
    ASSERT_EQ(v.size, data.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        bool bit = (static_cast<uint8_t>(data[i / 8]) >> (i % 8)) & 1;
        if (bit != expected[i] && ++mismatches < 5) {
            ADD_FAILURE() << "chunk " << i << ": bitmap " << bit << ", reference " << expected[i];
        }
    }
    EXPECT_EQ(0u, mismatches);
    for (size_t i = expected.size(); i < data.size() * 8; ++i) {
        if ((static_cast<uint8_t>(data[i / 8]) >> (i % 8)) & 1) {
            ADD_FAILURE() << "padding bit " << i << " is set";
            break;
        }
    }
}

struct Geometry {
    uint64_t volumeSize;
    uint64_t blockSize;
};

class SimBitmapRandom : public ::testing::TestWithParam<Geometry> {};

TEST_P(SimBitmapRandom, MarksExactlyTheChangedChunks)
{
    const Geometry g = GetParam();
    SimRoot::Options o;
    o.simConfig["block_size"] = std::to_string(g.blockSize);
    SimRoot root(o);
    root.CreateVolume("vol", g.volumeSize);
    std::mt19937_64 rng(g.volumeSize ^ g.blockSize);
    auto randomWrites = [&](int count, uint64_t seedBase) {
        for (int i = 0; i < count; ++i) {
            uint64_t len = 1 + rng() % (g.blockSize * 2);
            uint64_t off = rng() % (g.volumeSize - len);
            root.WriteRandom("vol", off, len, seedBase + static_cast<uint64_t>(i));
        }
    };
    randomWrites(10, 1000);
    root.Snapshot("vol", "s1");
    randomWrites(6, 2000);
    // A chunk rewritten with the bytes it already holds is not a change.
    const uint64_t same = (g.volumeSize / g.blockSize / 2) * g.blockSize;
    root.Write("vol", same, root.Read("s1", same, 4096));
    // A write on the very last byte touches the partial last chunk (if any).
    root.WritePattern("vol", g.volumeSize - 1, 1, 0xee);
    root.Snapshot("vol", "s2");

    ToolResult c = CreateBitmap(root, "s1", "s2", "bm");
    ASSERT_EQ("0", c["ResultCode"]);
    EXPECT_EQ(std::to_string(g.blockSize), c["blockSize"]);
    EXPECT_EQ(std::to_string((g.volumeSize + 1048575) / 1048576), c["snapSize"]);
    std::vector<bool> expected = ReferenceBits(root, "s1", "s2", g.blockSize);
    EXPECT_TRUE(expected.back());
    ExpectBitmap(root, "bm", expected);

    // From a snapshot to the live volume, after more changes.
    randomWrites(3, 3000);
    ASSERT_EQ("0", CreateBitmap(root, "s2", "vol", "bmLive")["ResultCode"]);
    ExpectBitmap(root, "bmLive", ReferenceBits(root, "s2", "vol", g.blockSize));

    // No older snapshot: every chunk, nothing in the padding.
    ASSERT_EQ("0", CreateBitmap(root, "", "s1", "bmAll")["ResultCode"]);
    ExpectBitmap(root, "bmAll", std::vector<bool>(expected.size(), true));
}

INSTANTIATE_TEST_SUITE_P(Geometries, SimBitmapRandom,
                         ::testing::Values(Geometry{(10u << 20) + 512, 1u << 20},  // short last chunk
                                           Geometry{8u << 20, 65536},              // 128 whole chunks
                                           Geometry{(3u << 20) + 4096, 4096}),     // > 4096 bytes of bitmap
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                             return "Volume" + std::to_string(info.param.volumeSize) + "Chunk" +
                                    std::to_string(info.param.blockSize);
                         });

TEST(SimBitmap, BlockSizeChangedAfterTheSnapshotsStillCompares)
{
    SimRoot root;  // snapshots digested with 1 MiB chunks
    root.CreateVolume("vol", 4u << 20);
    root.Snapshot("vol", "s1");
    root.WritePattern("vol", (2u << 20) + 70000, 1, 1);
    root.Snapshot("vol", "s2");
    root.SetSimConfig("block_size", "65536");
    ASSERT_EQ("65536", CreateBitmap(root, "s1", "s2", "bm")["blockSize"]);
    std::vector<bool> expected(64, false);
    expected[(2u << 20) / 65536 + 1] = true;
    ExpectBitmap(root, "bm", expected);
}

TEST(SimBitmap, ComparesDigestsTakenAtSnapshotTime)
{
    SimRoot root;
    root.CreateVolume("vol", 8u << 20);
    root.Snapshot("vol", "s1");
    root.WritePattern("vol", 3u << 20, 10, 9);
    root.Snapshot("vol", "s2");
    // Change s2's bytes behind the simulator's back: the stored digests still speak for
    // the snapshot as taken, which shows the bitmap reads digests, not the volume.
    const std::string s2 = root.BackingPath("s2");
    {
        int fd = open(s2.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(1, pwrite(fd, "x", 1, 6u << 20));
        close(fd);
    }
    ASSERT_EQ("0", CreateBitmap(root, "s1", "s2", "bm1")["ResultCode"]);
    std::vector<bool> expected(8, false);
    expected[3] = true;
    ExpectBitmap(root, "bm1", expected);
    // Without its digest file a snapshot is digested again from its bytes.
    const std::string dig = s2.substr(0, s2.size() - 4) + ".dig";
    ASSERT_EQ(0, unlink(dig.c_str()));
    ASSERT_EQ("0", CreateBitmap(root, "s1", "s2", "bm2")["ResultCode"]);
    expected[6] = true;
    ExpectBitmap(root, "bm2", expected);
}

TEST(SimBitmap, SnapshotsAreCopiesWithTheirOwnHoles)
{
    SimRoot root;
    root.CreateVolume("vol", 256u << 20);
    root.WritePattern("vol", 100u << 20, 4096, 0x77);
    root.Snapshot("vol", "s1");
    root.WritePattern("vol", 100u << 20, 4096, 0x11);
    EXPECT_EQ(std::string(4096, '\x77'), root.Read("s1", 100u << 20, 4096));
    EXPECT_EQ(std::string(4096, '\x11'), root.Read("vol", 100u << 20, 4096));
    EXPECT_EQ(std::string(4096, '\0'), root.Read("s1", 50u << 20, 4096));
    struct stat st {};
    ASSERT_EQ(0, stat(root.BackingPath("s1").c_str(), &st));
    EXPECT_EQ(256u << 20, static_cast<uint64_t>(st.st_size));
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 16u << 20);  // still sparse
}

}  // namespace
