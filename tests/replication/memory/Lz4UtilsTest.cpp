#include <gtest/gtest.h>

#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "host/testing/Fakes.h"
#include "replication/memory/Lz4Utils.h"
#include "tests/replication/memory/MemTestSupport.h"

namespace {
using memtest::WaitUntil;
using memtest::Watchdog;
using testing_fakes::LogCapture;

std::vector<char> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<char> v(n);
    for (auto& c : v) {
        c = static_cast<char>(rng());
    }
    return v;
}

// A refused result goes back to the pool, so ten can be held at once again;
// the eleventh user waits until one is released.
TEST(Lz4Utils, IncompressibleDataLeavesOutputAloneAndEleventhUserWaits)
{
    Watchdog dog(60);
    LogCapture cap;
    std::vector<char> noise = RandomBytes(4096, 1);
    char sentinel = 's';
    std::shared_ptr<char> out(&sentinel, [](char*) {});
    for (int i = 0; i < 15; ++i) {  // more calls than result buffers
        ASSERT_EQ(Lz4Utils::Compress(noise.data(), 4096, out), -2);
    }
    EXPECT_EQ(out.get(), &sentinel);
    EXPECT_TRUE(cap.Contains("Larger than original data after compression. srcDataLen=4096", 0));
    std::vector<char> zeros(4096, 0);
    std::vector<std::shared_ptr<char>> held(Lz4Utils::POOL_BLOCKS);
    for (auto& h : held) {
        ASSERT_GT(Lz4Utils::Compress(zeros.data(), 4096, h), 0);
    }
    std::atomic<int32_t> result{0};
    std::shared_ptr<char> late;
    std::thread t([&] { result = Lz4Utils::Compress(zeros.data(), 4096, late); });
    ASSERT_TRUE(WaitUntil([&] { return cap.Contains("MemPool is used up.Wait for net free", 1); })) << cap.Dump();
    EXPECT_EQ(result.load(), 0);
    char* freed = held[3].get();
    held[3].reset();
    t.join();
    EXPECT_GT(result.load(), 0);
    EXPECT_EQ(late.get(), freed);
}

// Round trips of a small and of the largest source the buffers are sized for.
TEST(Lz4Utils, SourceLimits)
{
    LogCapture cap;
    std::shared_ptr<char> out;
    std::vector<char> zeros(Lz4Utils::MAX_SOURCE_BYTES + 1, 0);
    for (int32_t size : {4096, Lz4Utils::MAX_SOURCE_BYTES}) {
        SCOPED_TRACE(size);
        zeros[size / 2] = 'x';
        int32_t n = Lz4Utils::Compress(zeros.data(), size, out);
        ASSERT_GT(n, 0);
        EXPECT_LT(n, size / 100);
        std::shared_ptr<char> back;
        ASSERT_EQ(Lz4Utils::Decompress(out.get(), n, back), size);
        EXPECT_TRUE(std::equal(zeros.begin(), zeros.begin() + size, back.get()));
        zeros[size / 2] = 0;
    }
    std::vector<char> noise = RandomBytes(Lz4Utils::MAX_SOURCE_BYTES, 2);
    EXPECT_EQ(Lz4Utils::Compress(noise.data(), Lz4Utils::MAX_SOURCE_BYTES, out), -2);

    // One byte more, a negative length or no data is refused, never "0 bytes".
    out.reset();
    EXPECT_EQ(Lz4Utils::Compress(zeros.data(), Lz4Utils::MAX_SOURCE_BYTES + 1, out), -1);
    EXPECT_EQ(Lz4Utils::Compress(zeros.data(), -1, out), -1);
    EXPECT_EQ(Lz4Utils::Compress(nullptr, 16, out), -1);
    EXPECT_FALSE(out);
    EXPECT_TRUE(cap.Contains("Invalid source for compression. srcDataLen=4194321", 4)) << cap.Dump();
    // An empty source compresses to one byte: not smaller.
    EXPECT_EQ(Lz4Utils::Compress(zeros.data(), 0, out), -2);
}

TEST(Lz4Utils, DecompressRefusesBadInput)
{
    LogCapture cap;
    std::shared_ptr<char> out;
    std::vector<char> junk = RandomBytes(512, 3);
    junk[0] = static_cast<char>(0xF0);  // a literal run longer than the input
    EXPECT_EQ(Lz4Utils::Decompress(junk.data(), 512, out), -1);
    EXPECT_FALSE(out);
    auto lines = cap.Find("Decompress failed. err=-", 4);
    EXPECT_FALSE(lines.empty()) << cap.Dump();
    EXPECT_EQ(Lz4Utils::Decompress(junk.data(), -5, out), -1);
    EXPECT_EQ(Lz4Utils::Decompress(nullptr, 10, out), -1);

    // Valid LZ4 whose plain form is larger than a result buffer.
    std::vector<char> zeros(5 << 20, 0);
    std::vector<char> packed(LZ4_compressBound(static_cast<int>(zeros.size())));
    int n = LZ4_compress_default(zeros.data(), packed.data(), static_cast<int>(zeros.size()),
                                 static_cast<int>(packed.size()));
    ASSERT_GT(n, 0);
    EXPECT_EQ(Lz4Utils::Decompress(packed.data(), n, out), -1);
    EXPECT_FALSE(out);
}

}  // namespace
