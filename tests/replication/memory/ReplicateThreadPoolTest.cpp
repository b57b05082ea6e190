#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/OruTSP.h"
#include "host/testing/Fakes.h"
#include "replication/memory/ReplicateThreadPool.h"
#include "tests/replication/memory/MemTestSupport.h"

namespace {
using memtest::WaitUntil;
using memtest::Watchdog;
using testing_fakes::LogCapture;

PendingTaskResult Done(int32_t code = 0)
{
    PendingTaskResult r;
    r.code = code;
    return r;
}

// A work item that counts its runs.
std::function<PendingTaskResult()> Counting(std::atomic<int>& runs)
{
    return [&runs] {
        ++runs;
        return Done();
    };
}

// A gate work items can block on until the test opens it.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    void Open() { open.set_value(); }
    void Wait() { opened.wait(); }
};

TEST(ReplicateThreadPool, StartRefusesNoThreadsAndKeepsTheFirstCount)
{
    Watchdog dog(60);
    LogCapture cap;
    OruTSP::reset(777);
    ReplicateThreadPool pool;
    EXPECT_FALSE(pool.Start(0));
    EXPECT_FALSE(pool.Start(-3));
    EXPECT_FALSE(pool.IsRunning());
    EXPECT_TRUE(cap.Contains("ReplicateThreadPool is running", 4));
    auto enter = cap.Find("Enter ReplicateThreadPool start. threads=0", 2);
    ASSERT_EQ(enter.size(), 1u);
    EXPECT_EQ(enter[0].requestId, 0u);  // the pool's lines carry id 0
    OruTSP::reset(0);

    ASSERT_TRUE(pool.Start(4));
    ASSERT_TRUE(pool.Start(8));
    EXPECT_TRUE(cap.Contains("The replicate thread pool was running", 3));
    EXPECT_TRUE(cap.Contains("ReplicateThreadPool start complete. threads=4", 2));
    // Eight blocking items: only four can run at once.
    Gate gate;
    std::atomic<int> started{0};
    std::mutex idsMutex;
    std::set<std::thread::id> ids;
    for (int i = 0; i < 8; ++i) {
        pool.PostTask([&] {
            {
                std::lock_guard<std::mutex> lock(idsMutex);
                ids.insert(std::this_thread::get_id());
            }
            ++started;
            gate.Wait();
            return Done();
        });
    }
    // Four running and blocked means four queued; a fifth worker shows in the thread ids.
    ASSERT_TRUE(WaitUntil([&] { return started.load() == 4; }));
    EXPECT_EQ(pool.QueuedTasks(), 4u);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return started.load() == 8; }));
    pool.Stop();
    EXPECT_EQ(ids.size(), 4u);
}

TEST(ReplicateThreadPool, OneWorkerRunsItemsInPostingOrder)
{
    Watchdog dog(60);
    ReplicateThreadPool pool;
    std::vector<int> order;  // touched only by the single worker
    const int n = 2000;
    std::atomic<int> count{0};
    // Half of them posted before Start: they wait for it.
    for (int i = 0; i < n / 2; ++i) {
        pool.PostTask([&, i] {
            order.push_back(i);
            ++count;
            return Done();
        });
    }
    EXPECT_EQ(pool.QueuedTasks(), static_cast<size_t>(n / 2));
    ASSERT_TRUE(pool.Start(1));
    for (int i = n / 2; i < n; ++i) {
        pool.PostTaskAndReply([&, i] { return Done(i); },
                              [&](PendingTaskResult& r) {
                                  order.push_back(r.code);
                                  ++count;
                                  return 0;
                              });
    }
    ASSERT_TRUE(WaitUntil([&] { return count.load() == n; }));
    pool.Stop();
    ASSERT_EQ(order.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(order[i], i);
    }
}

TEST(ReplicateThreadPool, ReplyGetsTheResultOnTheSameWorker)
{
    Watchdog dog(60);
    ReplicateThreadPool pool;
    ASSERT_TRUE(pool.Start(3));
    OruTSP::reset(4242);  // the poster's request id does not travel with the item
    std::atomic<bool> done{false};
    std::thread::id workId, replyId;
    std::string seenValue;
    std::vector<uint64_t> ids;
    pool.PostTaskAndReply(
        [&] {
            ids.push_back(*OruTSP::get(TSP_RequestID));
            workId = std::this_thread::get_id();
            PendingTaskResult r;
            r.value = std::string("payload");
            return r;
        },
        [&](PendingTaskResult& r) {
            replyId = std::this_thread::get_id();
            ids.push_back(*OruTSP::get(TSP_RequestID));
            seenValue = std::any_cast<std::string>(r.value);
            done = true;
            return -1;  // ignored
        });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    pool.Stop();
    EXPECT_EQ(workId, replyId);
    EXPECT_NE(workId, std::this_thread::get_id());
    EXPECT_EQ(seenValue, "payload");
    EXPECT_EQ(ids, (std::vector<uint64_t>{0, 0}));
    OruTSP::reset(0);
}

TEST(ReplicateThreadPool, StopLetsTheRunningItemFinishAndKeepsTheQueued)
{
    Watchdog dog(60);
    ReplicateThreadPool pool;
    ASSERT_TRUE(pool.Start(1));
    Gate gate;
    std::atomic<bool> started{false}, finished{false};
    std::atomic<int> queuedRan{0};
    pool.PostTask([&] {
        started = true;
        gate.Wait();
        finished = true;
        return Done();
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    for (int i = 0; i < 3; ++i) {
        pool.PostTask(Counting(queuedRan));
    }
    std::thread stopper([&] { pool.Stop(); });
    ASSERT_TRUE(WaitUntil([&] { return !pool.IsRunning(); }));
    gate.Open();
    stopper.join();
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(queuedRan.load(), 0);
    EXPECT_EQ(pool.QueuedTasks(), 3u);
    pool.Stop();  // again: returns at once

    // Restarted, the pool runs what was left.
    ASSERT_TRUE(pool.Start(2));
    ASSERT_TRUE(WaitUntil([&] { return queuedRan.load() == 3; }));
    pool.Stop();
    // Restarted again; an item may stop its own pool (it must not join itself).
    ASSERT_TRUE(pool.Start(2));
    std::atomic<bool> again{false};
    pool.PostTask([&] {
        pool.Stop();
        again = true;
        return Done();
    });
    ASSERT_TRUE(WaitUntil([&] { return again.load(); }));
    ASSERT_TRUE(WaitUntil([&] { return !pool.IsRunning(); }));
    pool.Stop();
}

TEST(ReplicateThreadPool, DestroyedPoolDiscardsQueuedItems)
{
    auto token = std::make_shared<int>(1);
    std::atomic<int> ran{0};
    {
        ReplicateThreadPool pool;
        for (int i = 0; i < 3; ++i) {
            pool.PostTask([&, token] {
                ++ran;
                return Done();
            });
        }
        EXPECT_EQ(token.use_count(), 4);
    }
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(token.use_count(), 1);
}

TEST(ReplicateThreadPool, ExceptionsAreLoggedAndTheWorkerGoesOn)
{
    Watchdog dog(60);
    LogCapture cap;
    ReplicateThreadPool pool;
    ASSERT_TRUE(pool.Start(1));
    std::atomic<int> replies{0}, after{0};
    pool.PostTaskAndReply([]() -> PendingTaskResult { throw std::runtime_error("work boom"); },
                          [&](PendingTaskResult&) {
                              ++replies;
                              return 0;
                          });
    pool.PostTaskAndReply([] { return Done(); },
                          [](PendingTaskResult&) -> int32_t { throw std::logic_error("reply boom"); });
    pool.PostTask([]() -> PendingTaskResult { throw 42; });
    pool.PostTask(std::function<PendingTaskResult()>());  // an empty work item
    pool.PostTask(Counting(after));
    ASSERT_TRUE(WaitUntil([&] { return after.load() == 1; }));
    pool.Stop();
    EXPECT_EQ(replies.load(), 0);  // no result, no reply
    EXPECT_TRUE(cap.Contains("Work item threw an exception: work boom", 4)) << cap.Dump();
    EXPECT_TRUE(cap.Contains("Reply threw an exception: reply boom", 4));
    EXPECT_TRUE(cap.Contains("Work item threw an exception: unknown exception", 4));
}

// Eight threads post while another stops and restarts the pool; every item
// runs exactly once and every reply follows its item.
TEST(ReplicateThreadPoolStress, EightPostersAndRestarts)
{
    Watchdog dog(120);
    ReplicateThreadPool pool;
    ASSERT_TRUE(pool.Start(4));
    const int perThread = 2000;
    std::atomic<int> items{0}, replies{0}, mismatches{0};
    std::atomic<bool> posting{true};
    std::thread restarter([&] {
        while (posting.load()) {
            pool.Stop();
            pool.Start(1 + items.load() % 4);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> posters;
    for (int t = 0; t < 8; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                if (i % 2 == 0) {
                    pool.PostTask(Counting(items));
                } else {
                    int32_t tag = t * perThread + i;
                    pool.PostTaskAndReply(
                        [&, tag] {
                            ++items;
                            return Done(tag);
                        },
                        [&, tag](PendingTaskResult& r) {
                            if (r.code != tag) {
                                ++mismatches;
                            }
                            ++replies;
                            return 0;
                        });
                }
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    posting = false;
    restarter.join();
    ASSERT_TRUE(pool.Start(4));
    ASSERT_TRUE(WaitUntil([&] { return items.load() == 8 * perThread; }, 60));
    pool.Stop();
    EXPECT_EQ(items.load(), 8 * perThread);
    EXPECT_EQ(replies.load(), 8 * perThread / 2);
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
