// The bitmap bytes the adapter writes, in the geometry the plug-in reads back.
#include <gtest/gtest.h>

#include "Bitmap.h"

namespace {

constexpr uint64_t kMiB = 1ULL << 20;

struct Case {
    const char* what;
    uint64_t imageSize;
    uint64_t offset, length;
    std::vector<std::pair<size_t, uint8_t>> expect;  // non-zero bytes
};

TEST(RbdBitmap, MarksEveryChunkAnExtentTouches)
{
    const uint64_t block = 512 * 1024;  // 4 MiB objects: one bitmap byte per object
    const std::vector<Case> cases = {
        {"nothing", 64 * kMiB, 0, 0, {}},
        {"one byte", 64 * kMiB, 20 * kMiB, 1, {{5, 0x01}}},
        {"last byte of a chunk", 64 * kMiB, block - 1, 1, {{0, 0x01}}},
        {"across two objects", 64 * kMiB, 8 * kMiB - 1000, 2000, {{1, 0x80}, {2, 0x01}}},
        {"a whole object", 64 * kMiB, 4 * kMiB, 4 * kMiB, {{1, 0xff}}},
        {"clipped at the end", 6 * kMiB, 5 * kMiB, 10 * kMiB, {{1, 0x0c}}},
        {"past the end", 6 * kMiB, 7 * kMiB, kMiB, {}},
        {"short last chunk", 5 * kMiB + 1, 5 * kMiB, 1, {{1, 0x04}}},
    };
    for (const Case& c : cases) {
        rbdtool::BitmapBuilder b(c.imageSize, block);
        b.Mark(c.offset, c.length);
        std::vector<std::pair<size_t, uint8_t>> got;
        for (size_t i = 0; i < b.Bytes().size(); ++i) {
            if (b.Bytes()[i] != 0) got.emplace_back(i, b.Bytes()[i]);
        }
        EXPECT_EQ(got, c.expect) << c.what;
    }
}

TEST(RbdBitmap, SizeIsWholeBlocksAndMarkAllStopsAtTheLastChunk)
{
    rbdtool::BitmapBuilder small(kMiB, 512 * 1024);
    EXPECT_EQ(small.Bytes().size(), 4096u);
    small.MarkAll();
    EXPECT_EQ(small.Bytes()[0], 0x03);
    EXPECT_EQ(small.Bytes()[1], 0x00);

    // 2 GiB at 64 KiB per bit: 32768 bits, 4096 bytes exactly; 1 byte more needs another block.
    EXPECT_EQ(rbdtool::BitmapBuilder(2048 * kMiB, 65536).Bytes().size(), 4096u);
    rbdtool::BitmapBuilder over(2048 * kMiB + 1, 65536);
    EXPECT_EQ(over.Bytes().size(), 8192u);
    over.MarkAll();
    EXPECT_EQ(over.Bytes()[4096], 0x01);
    EXPECT_EQ(over.Chunks(), 32769u);
    EXPECT_EQ(rbdtool::BitmapBlockSize(4 * kMiB), 512u * 1024);
}

}  // namespace
