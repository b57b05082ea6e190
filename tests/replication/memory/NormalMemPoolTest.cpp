#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "host/testing/Fakes.h"
#include "replication/memory/ReplicationNormalMemPool.h"
#include "tests/replication/memory/MemTestSupport.h"

// The heap-failure test asks for an impossible size; the sanitizers must
// answer null, as the plain allocator does, instead of stopping the process.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

namespace {
using memtest::WaitUntil;
using memtest::Watchdog;
using testing_fakes::LogCapture;

// Refused callers' callbacks run on the next free, in order, outside the
// lock (they may allocate), and once.
TEST(ReplicationNormalMemPool, BudgetOfOneHundredBytesAndCallbacksOnFree)
{
    ReplicationNormalMemPool pool;
    ASSERT_TRUE(pool.Initialize(100));
    std::shared_ptr<char> a = pool.MallocMemBlockPtr(60, false, nullptr);
    ASSERT_TRUE(a);
    std::memset(a.get(), 1, 60);
    EXPECT_EQ(pool.GetUsedSize(), 60u);
    std::vector<int> order;
    std::shared_ptr<char> inCallback;
    EXPECT_FALSE(pool.MallocMemBlockPtr(60, false, [&] {
        order.push_back(1);
        inCallback = pool.MallocMemBlockPtr(60, false, nullptr);
    }));
    // Exactly the remaining budget fits; one byte more does not.
    EXPECT_FALSE(pool.MallocMemBlockPtr(41, false, nullptr));
    std::shared_ptr<char> b = pool.MallocMemBlockPtr(40, false, nullptr);
    ASSERT_TRUE(b);
    EXPECT_EQ(pool.GetUsedSize(), 100u);
    EXPECT_FALSE(pool.MallocMemBlockPtr(1, false, [&] {
        order.push_back(2);
        EXPECT_EQ(pool.GetUsedSize(), 100u);
    }));
    EXPECT_TRUE(order.empty());
    a.reset();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_TRUE(inCallback);
    b.reset();
    EXPECT_EQ(pool.GetUsedSize(), 60u);
    inCallback.reset();
    EXPECT_EQ(order.size(), 2u) << "a callback ran a second time";
    EXPECT_EQ(pool.GetUsedSize(), 0u);
}

// Requests that can never be served (above the whole budget, or one the heap
// refuses) are refused at once, even when waiting, and are not counted.
TEST(ReplicationNormalMemPool, RequestAboveTheWholeBudgetIsRefusedAtOnce)
{
    Watchdog dog(20);
    LogCapture cap;
    ReplicationNormalMemPool pool;
    ASSERT_TRUE(pool.Initialize(100));
    int called = 0;
    EXPECT_FALSE(pool.MallocMemBlockPtr(101, true, [&] { ++called; }));  // would wait forever
    EXPECT_FALSE(pool.MallocMemBlockPtr(~0ULL, false, [&] { ++called; }));
    EXPECT_TRUE(cap.Contains("Request exceeds the NormalMemPool budget. bufferSize:101", 4)) << cap.Dump();
    EXPECT_EQ(pool.GetUsedSize(), 0u);
    // Never registered, so a later free does not call it.
    pool.MallocMemBlockPtr(10, false, nullptr).reset();
    EXPECT_EQ(called, 0);

    ReplicationNormalMemPool uninitialised;
    EXPECT_FALSE(uninitialised.MallocMemBlockPtr(1, true, nullptr));
    EXPECT_TRUE(uninitialised.MallocMemBlockPtr(0, true, nullptr));

    ReplicationNormalMemPool huge;
    ASSERT_TRUE(huge.Initialize(~0ULL));
    std::shared_ptr<char> small = huge.MallocMemBlockPtr(16, false, nullptr);
    ASSERT_TRUE(small);
    EXPECT_FALSE(huge.MallocMemBlockPtr(1ULL << 62, true, nullptr));
    EXPECT_TRUE(cap.Contains("Failed to new memory from NormalMemPool. bufferSize:", 4)) << cap.Dump();
    EXPECT_EQ(huge.GetUsedSize(), 16u);
    small.reset();
    EXPECT_EQ(huge.GetUsedSize(), 0u);
}

// A second Initialize while blocks are out. Lowered below what is out, the
// pool is over budget and nothing fits until they come back (the fit test
// must not wrap); a waiter is woken by the new budget: let in by a larger
// one, refused by one its request can never fit.
TEST(ReplicationNormalMemPool, NewBudgetWhileBlocksAreOut)
{
    Watchdog dog(30);
    const char* line = "NormalMemPool is used up.Wait for net free";
    {
        LogCapture cap(1);
        ReplicationNormalMemPool pool;
        ASSERT_TRUE(pool.Initialize(1000));
        std::shared_ptr<char> out = pool.MallocMemBlockPtr(600, false, nullptr);
        ASSERT_TRUE(out);
        ASSERT_TRUE(pool.Initialize(100));
        for (uint64_t size : {1ULL, 100ULL}) {
            EXPECT_FALSE(pool.MallocMemBlockPtr(size, false, nullptr)) << size;
        }
        EXPECT_FALSE(pool.MallocMemBlockPtr(101, true, nullptr));
        EXPECT_EQ(pool.GetUsedSize(), 600u);
        out.reset();
        EXPECT_TRUE(pool.MallocMemBlockPtr(100, false, nullptr));
        EXPECT_EQ(cap.Count(line, 1), 2u);
    }
    for (auto c : {std::make_pair(200ULL, true), std::make_pair(40ULL, false)}) {
        SCOPED_TRACE(c.first);
        LogCapture cap(1);
        ReplicationNormalMemPool pool;
        ASSERT_TRUE(pool.Initialize(100));
        std::shared_ptr<char> all = pool.MallocMemBlockPtr(100, false, nullptr);
        std::atomic<bool> done{false};
        std::shared_ptr<char> got;
        std::thread waiter([&] {
            got = pool.MallocMemBlockPtr(50, true, nullptr);
            done = true;
        });
        ASSERT_TRUE(WaitUntil([&] { return cap.Count(line, 1) >= 1; }));
        ASSERT_TRUE(pool.Initialize(c.first));
        ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
        waiter.join();
        EXPECT_EQ(static_cast<bool>(got), c.second);
        EXPECT_EQ(pool.GetUsedSize(), c.second ? 150u : 100u);
    }
}

// Waiters test again after every free: one that still does not fit waits on,
// and one free wakes every waiter that fits now.
TEST(ReplicationNormalMemPool, WaitersRetestAfterEachFree)
{
    Watchdog dog(30);
    LogCapture cap(1);
    const char* line = "NormalMemPool is used up.Wait for net free";
    ReplicationNormalMemPool pool;
    ASSERT_TRUE(pool.Initialize(100));
    std::shared_ptr<char> big = pool.MallocMemBlockPtr(60, false, nullptr);
    std::shared_ptr<char> small = pool.MallocMemBlockPtr(40, false, nullptr);
    std::vector<std::shared_ptr<char>> got(2);
    std::atomic<int> done{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&, i] {
            got[i] = pool.MallocMemBlockPtr(45, true, nullptr);
            ++done;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return cap.Count(line, 1) >= 2; }));
    small.reset();  // 40 free: neither fits, both test again and wait on
    ASSERT_TRUE(WaitUntil([&] { return cap.Count(line, 1) >= 4; }));
    EXPECT_EQ(done.load(), 0);
    big.reset();  // 100 free: both fit
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_TRUE(got[0] && got[1]);
    EXPECT_EQ(pool.GetUsedSize(), 90u);
}

// Eight threads allocate sizes that do not all fit at once; the budget is
// never exceeded and everything comes back.
TEST(ReplicationNormalMemPoolStress, EightThreadsStayWithinBudget)
{
    Watchdog dog(120);
    ReplicationNormalMemPool pool;
    ASSERT_TRUE(pool.Initialize(100));
    std::atomic<int> overBudget{0};
    std::atomic<uint64_t> outstanding{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < 5000; ++i) {
                uint64_t size = 1 + rng() % 30;
                bool wait = (rng() % 3) != 0;
                std::shared_ptr<char> p = pool.MallocMemBlockPtr(size, wait, nullptr);
                if (!p) {
                    continue;
                }
                if (outstanding.fetch_add(size) + size > 100) {
                    ++overBudget;
                }
                std::memset(p.get(), t, size);
                outstanding.fetch_sub(size);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(overBudget.load(), 0);
    EXPECT_EQ(pool.GetUsedSize(), 0u);
}

}  // namespace
