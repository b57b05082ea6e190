#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "host/testing/Fakes.h"
#include "replication/memory/ReplicateMemPool.h"
#include "tests/replication/memory/MemTestSupport.h"

namespace {
using memtest::Watchdog;
using testing_fakes::LogCapture;

// Blocks come lowest first and lie contiguously; freed ones come back lowest
// first across the free list's words (130 ids span three, the last partial).
TEST(ReplicateMemPool, LowestFirstAndContiguousAcrossTheFreeListWords)
{
    for (uint32_t count : {4u, 130u}) {
        SCOPED_TRACE(count);
        ReplicateMemPool pool;
        ASSERT_TRUE(pool.Initialize(count, 1024));
        EXPECT_EQ(pool.MemPoolSize(), count);
        EXPECT_EQ(pool.GetRealBufferSize(), 1024u);
        BufferSt b;
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_TRUE(pool.MallocMemBlock(b, false, nullptr));
            ASSERT_EQ(b.bufferId, i);
            ASSERT_EQ(b.size, 1024);
            ASSERT_EQ(b.data, pool.GetPoolBuffer() + 1024 * i);
            std::memset(b.data, static_cast<int>(i), 1024);  // whole block is ours (ASan checks bounds)
        }
        EXPECT_FALSE(pool.MallocMemBlock(b, false, nullptr));
        const std::vector<uint32_t> freed = count == 4 ? std::vector<uint32_t>{2, 0} : std::vector<uint32_t>{129, 64, 3};
        for (uint32_t id : freed) {
            ASSERT_TRUE(pool.FreeMemBlock(id));
        }
        EXPECT_EQ(pool.MemPoolSize(), freed.size());
        std::vector<uint32_t> got;
        while (pool.MallocMemBlock(b, false, nullptr)) {
            got.push_back(b.bufferId);
        }
        std::vector<uint32_t> sorted = freed;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(got, sorted);
    }
}

TEST(ReplicateMemPool, RefusesBadGeometryAndSecondInitialize)
{
    LogCapture cap;
    ReplicateMemPool zero;
    EXPECT_FALSE(zero.Initialize(0, 4096));
    EXPECT_TRUE(cap.Contains("Initialize memory pool failed.bufferNumber 0,bufferSize=4096", 4)) << cap.Dump();
    EXPECT_TRUE(cap.Contains("ReplicateMemPool Init:Memory allocated failed.", 4));
    ReplicateMemPool zeroSize;
    EXPECT_FALSE(zeroSize.Initialize(4, 0));
    ReplicateMemPool tooBig;  // 12 GiB: refused before any allocation
    EXPECT_FALSE(tooBig.Initialize(3, 4ULL << 30));
    ReplicateMemPool wraps;  // the product wraps round 64 bits
    EXPECT_FALSE(wraps.Initialize(4, 1ULL << 62));
    EXPECT_EQ(wraps.MemPoolSize(), 0u);
    // No block will ever come: even a waiting caller is refused.
    BufferSt b;
    EXPECT_FALSE(wraps.MallocMemBlock(b, true, nullptr));
    EXPECT_FALSE(wraps.MallocMemBlockPtr(true, nullptr));
    EXPECT_TRUE(cap.Contains("Memory pool is not initialized.", 4));

    ReplicateMemPool pool;
    ASSERT_TRUE(pool.Initialize(2, 64));
    char* first = pool.GetPoolBuffer();
    EXPECT_FALSE(pool.Initialize(4, 64));
    EXPECT_EQ(pool.GetPoolBuffer(), first);
    EXPECT_EQ(pool.GetBufferNumber(), 2u);
}

// Unknown ids are refused; a duplicate free is accepted and changes nothing.
TEST(ReplicateMemPool, NonWaitingCallbackRunsOnceOutsideTheLockAndMayAllocate)
{
    LogCapture cap;
    ReplicateMemPool pool;
    ASSERT_TRUE(pool.Initialize(2, 128));
    EXPECT_FALSE(pool.FreeMemBlock(2));
    EXPECT_FALSE(pool.FreeMemBlock(0xFFFFFFFF));
    EXPECT_TRUE(cap.Contains("FreeMemBlock failed bufferId not exist:2", 4));
    EXPECT_EQ(pool.MemPoolSize(), 2u);
    BufferSt a, b;
    ASSERT_TRUE(pool.MallocMemBlock(a, false, nullptr));
    ASSERT_TRUE(pool.MallocMemBlock(b, false, nullptr));

    BufferSt untouched;
    untouched.bufferId = 77;
    untouched.size = 5;
    char marker = 0;
    untouched.data = &marker;
    std::vector<int> order;
    BufferSt inCallback;
    bool allocatedInCallback = false;
    uint32_t freeSeenInCallback = 99;
    EXPECT_FALSE(pool.MallocMemBlock(untouched, false, [&] {
        order.push_back(1);
        // Both calls take the pool's mutex: they would deadlock under it.
        freeSeenInCallback = pool.MemPoolSize();
        allocatedInCallback = pool.MallocMemBlock(inCallback, false, nullptr);
    }));
    EXPECT_EQ(untouched.bufferId, 77u);
    EXPECT_EQ(untouched.size, 5);
    EXPECT_EQ(untouched.data, &marker);
    EXPECT_FALSE(pool.MallocMemBlockPtr(false, [] { throw std::runtime_error("cb boom"); }));
    EXPECT_FALSE(pool.MallocMemBlockPtr(false, [&] { order.push_back(2); }));
    EXPECT_FALSE(pool.MallocMemBlock(untouched, false, nullptr));  // empty callbacks are skipped

    ASSERT_TRUE(pool.FreeMemBlock(b.bufferId));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));  // a throwing one does not stop the others
    EXPECT_TRUE(cap.Contains("cb boom", 4));
    EXPECT_EQ(freeSeenInCallback, 1u);
    ASSERT_TRUE(allocatedInCallback);
    EXPECT_EQ(inCallback.bufferId, b.bufferId);

    ASSERT_TRUE(pool.FreeMemBlock(a.bufferId));
    EXPECT_EQ(order.size(), 2u) << "a callback ran a second time";
    EXPECT_TRUE(pool.FreeMemBlock(a.bufferId));
    EXPECT_EQ(pool.MemPoolSize(), 1u);
}

class CountingPool : public ReplicateMemPool {
public:
    bool FreeMemBlock(uint32_t id) override
    {
        ++frees;
        return ReplicateMemPool::FreeMemBlock(id);
    }
    int frees = 0;
};

TEST(ReplicateMemPool, SharedPointerReturnsBlockThroughTheVirtualFree)
{
    CountingPool pool;
    ASSERT_TRUE(pool.Initialize(2, 32));
    std::shared_ptr<char> p = pool.MallocMemBlockPtr(false, nullptr);
    ASSERT_TRUE(p);
    EXPECT_EQ(p.get(), pool.GetPoolBuffer());
    std::shared_ptr<char> copy = p;
    p.reset();
    EXPECT_EQ(pool.MemPoolSize(), 1u);  // a copy still holds it
    EXPECT_EQ(pool.frees, 0);
    copy.reset();
    EXPECT_EQ(pool.MemPoolSize(), 2u);
    EXPECT_EQ(pool.frees, 1);
}

// Eight threads allocate and free at random, waiting or registering a
// callback: no block is ever held twice, each holder's pattern survives until
// it frees, no wake-up is lost (the watchdog ends a hang) and every
// registered callback runs exactly once. With one block every allocation
// after the first takes the empty-pool paths.
TEST(ReplicateMemPoolStress, EightThreadsNeverShareABlockOrLoseAWakeUp)
{
    Watchdog dog(120);
    for (uint32_t blocks : {6u, 1u}) {
        SCOPED_TRACE(blocks);
        const uint64_t size = 64;
        ReplicateMemPool pool;
        ASSERT_TRUE(pool.Initialize(blocks, size));
        std::vector<std::atomic<int>> owner(blocks);
        for (auto& o : owner) {
            o = -1;
        }
        std::atomic<int> conflicts{0}, registered{0}, ran{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(t);
                for (int i = 0; i < 5000; ++i) {
                    bool wait = (rng() % 4) != 0;
                    if (rng() % 2 == 0) {
                        std::shared_ptr<char> p = pool.MallocMemBlockPtr(wait, nullptr);
                        if (p) {
                            p.get()[0] = static_cast<char>(t);
                            p.get()[size - 1] = static_cast<char>(t);
                        }
                        continue;
                    }
                    BufferSt b;
                    if (!pool.MallocMemBlock(b, wait, [&] { ++ran; })) {
                        ++registered;
                        continue;
                    }
                    int expected = -1;
                    if (!owner[b.bufferId].compare_exchange_strong(expected, t)) {
                        ++conflicts;
                    }
                    std::memset(b.data, t, size);
                    if (std::count(b.data, b.data + size, static_cast<char>(t)) != static_cast<long>(size)) {
                        ++conflicts;
                    }
                    owner[b.bufferId] = -1;
                    pool.FreeMemBlock(b.bufferId);
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        BufferSt last;
        ASSERT_TRUE(pool.MallocMemBlock(last, false, nullptr));
        ASSERT_TRUE(pool.FreeMemBlock(last.bufferId));  // runs whatever is still registered
        EXPECT_EQ(conflicts.load(), 0);
        EXPECT_EQ(ran.load(), registered.load());
        EXPECT_EQ(pool.MemPoolSize(), blocks);
    }
}

}  // namespace
