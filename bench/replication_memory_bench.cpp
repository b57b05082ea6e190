// Replication memory and tasks against their baselines, in one process:
//  - fixed-block pool allocate+free pairs vs malloc+free of the same size
//    (one thread: goal >= 1.0, in a single-threaded process and in one where
//    another thread lives; two threads contending: reported);
//  - Lz4Utils::Compress/Decompress of 4 MiB blocks vs raw LZ4 into a
//    preallocated buffer (goal >= 0.9);
//  - worker pool empty tasks per second, 2 workers, vs boost::asio::thread_pool
//    with 2 threads (reported; aim >= 0.5).
// Ratios are ours / baseline in items per second (higher is better for us).
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "replication/memory/Lz4Utils.h"
#include "replication/memory/ReplicateMemPool.h"
#include "replication/memory/ReplicateThreadPool.h"

namespace {

// ---- fixed pool vs malloc ------------------------------------------------

ReplicateMemPool& SharedPool(uint64_t size)
{
    static std::map<uint64_t, std::unique_ptr<ReplicateMemPool>> pools;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    auto& p = pools[size];
    if (!p) {
        p.reset(new ReplicateMemPool());
        p->Initialize(64, size);
    }
    return *p;
}

void BM_MallocFree(benchmark::State& state)
{
    size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        char* p = static_cast<char*>(std::malloc(size));
        benchmark::DoNotOptimize(p);
        p[0] = 1;
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FixedPoolAllocFree(benchmark::State& state)
{
    ReplicateMemPool& pool = SharedPool(static_cast<uint64_t>(state.range(0)));
    BufferSt buf;
    for (auto _ : state) {
        pool.MallocMemBlock(buf, false, std::function<void()>());
        benchmark::DoNotOptimize(buf.data);
        buf.data[0] = 1;
        pool.FreeMemBlock(buf.bufferId);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FixedPoolPtr(benchmark::State& state)
{
    ReplicateMemPool& pool = SharedPool(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        std::shared_ptr<char> p = pool.MallocMemBlockPtr(false, std::function<void()>());
        benchmark::DoNotOptimize(p.get());
        p.get()[0] = 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// The same pairs while another thread lives in the process, as in the
// replication service (event loops, workers): glibc then takes its arena lock
// for blocks above its per-thread cache, while in a single-threaded process it
// skips all locking. Registered after the single-threaded runs, since a
// process never becomes single-threaded again.
class IdleThread {
public:
    IdleThread()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              m_cond.wait(lock, [this] { return m_stop; });
          })
    {
    }
    ~IdleThread()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    std::thread m_thread;
};

void BM_MallocFreeThreaded(benchmark::State& state)
{
    IdleThread other;
    BM_MallocFree(state);
}

void BM_FixedPoolAllocFreeThreaded(benchmark::State& state)
{
    IdleThread other;
    BM_FixedPoolAllocFree(state);
}

BENCHMARK(BM_MallocFree)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_FixedPoolAllocFree)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_FixedPoolPtr)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_MallocFreeThreaded)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_FixedPoolAllocFreeThreaded)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_MallocFree)->Arg(65536)->Threads(2)->UseRealTime();
BENCHMARK(BM_FixedPoolAllocFree)->Arg(65536)->Threads(2)->UseRealTime();

// ---- LZ4 -----------------------------------------------------------------

const int BLOCK = 4 << 20;

struct Lz4Data {
    std::vector<char> compressible, random;
    std::vector<char> packedCompressible, packedRandom;
    int packedCompressibleLen = 0, packedRandomLen = 0;
    std::vector<char> scratch;
};

Lz4Data& Data()
{
    static Lz4Data d = [] {
        Lz4Data x;
        x.compressible.resize(BLOCK);
        std::mt19937 rng(7);
        // Text-like: runs of a small alphabet with occasional noise.
        const char words[] = "replication block payload volume snapshot range ";
        for (int i = 0; i < BLOCK; ++i) {
            x.compressible[i] = (rng() % 16 == 0) ? static_cast<char>(rng()) : words[(i / 3) % (sizeof(words) - 1)];
        }
        x.random.resize(BLOCK);
        for (auto& c : x.random) {
            c = static_cast<char>(rng());
        }
        int bound = LZ4_compressBound(BLOCK);
        x.scratch.resize(LZ4_compressBound(Lz4Utils::MAX_SOURCE_BYTES));
        x.packedCompressible.resize(bound);
        x.packedRandom.resize(bound);
        x.packedCompressibleLen = LZ4_compress_default(x.compressible.data(), x.packedCompressible.data(), BLOCK, bound);
        x.packedRandomLen = LZ4_compress_default(x.random.data(), x.packedRandom.data(), BLOCK, bound);
        Lz4Utils::Initialize();
        return x;
    }();
    return d;
}

const std::vector<char>& Source(int which)
{
    return which == 0 ? Data().compressible : Data().random;
}

void BM_RawCompress(benchmark::State& state)
{
    Lz4Data& d = Data();
    const std::vector<char>& src = Source(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        int n = LZ4_compress_default(src.data(), d.scratch.data(), BLOCK, static_cast<int>(d.scratch.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * BLOCK);
}

void BM_Lz4UtilsCompress(benchmark::State& state)
{
    Data();
    const std::vector<char>& src = Source(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::shared_ptr<char> out;
        int32_t n = Lz4Utils::Compress(src.data(), BLOCK, out);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * BLOCK);
}

void BM_RawDecompress(benchmark::State& state)
{
    Lz4Data& d = Data();
    bool compressible = state.range(0) == 0;
    const char* src = compressible ? d.packedCompressible.data() : d.packedRandom.data();
    int len = compressible ? d.packedCompressibleLen : d.packedRandomLen;
    for (auto _ : state) {
        int n = LZ4_decompress_safe(src, d.scratch.data(), len, static_cast<int>(d.scratch.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * BLOCK);
}

void BM_Lz4UtilsDecompress(benchmark::State& state)
{
    Lz4Data& d = Data();
    bool compressible = state.range(0) == 0;
    const char* src = compressible ? d.packedCompressible.data() : d.packedRandom.data();
    int len = compressible ? d.packedCompressibleLen : d.packedRandomLen;
    for (auto _ : state) {
        std::shared_ptr<char> out;
        int32_t n = Lz4Utils::Decompress(src, len, out);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * BLOCK);
}

// Arg 0: compressible, 1: random.
BENCHMARK(BM_RawCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4UtilsCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawDecompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4UtilsDecompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- worker pool vs boost::asio::thread_pool -----------------------------

const int TASKS = 20000;

void WaitFor(const std::atomic<int>& counter, int target)
{
    while (counter.load(std::memory_order_acquire) < target) {
        std::this_thread::yield();
    }
}

void BM_AsioPoolEmptyTasks(benchmark::State& state)
{
    boost::asio::thread_pool pool(2);
    std::atomic<int> done{0};
    for (auto _ : state) {
        done.store(0);
        for (int i = 0; i < TASKS; ++i) {
            boost::asio::post(pool, [&done] { done.fetch_add(1, std::memory_order_release); });
        }
        WaitFor(done, TASKS);
    }
    pool.join();
    state.SetItemsProcessed(state.iterations() * TASKS);
}

void BM_ReplicateThreadPoolEmptyTasks(benchmark::State& state)
{
    ReplicateThreadPool pool;
    pool.Start(2);
    std::atomic<int> done{0};
    for (auto _ : state) {
        done.store(0);
        for (int i = 0; i < TASKS; ++i) {
            pool.PostTask([&done] {
                done.fetch_add(1, std::memory_order_release);
                return PendingTaskResult();
            });
        }
        WaitFor(done, TASKS);
    }
    pool.Stop();
    state.SetItemsProcessed(state.iterations() * TASKS);
}

BENCHMARK(BM_AsioPoolEmptyTasks)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplicateThreadPoolEmptyTasks)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- ratios --------------------------------------------------------------

// Keeps items per second of every run so that the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // With repetitions the median stands for the benchmark; a single
        // run stands for itself until a median arrives.
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) {
                continue;
            }
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_rate[name] = it->second.value;
                m_fromMedian[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !m_fromMedian[name]) {
                m_rate[name] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatio(const std::string& label, const std::string& ours, const std::string& base, const char* goal)
    {
        auto o = m_rate.find(ours);
        auto b = m_rate.find(base);
        if (o == m_rate.end() || b == m_rate.end() || b->second <= 0) {
            return;  // filtered out of this run
        }
        std::printf("RATIO %-44s %6.2f  (%s)\n", label.c_str(), o->second / b->second, goal);
    }

private:
    std::map<std::string, double> m_rate;
    std::map<std::string, bool> m_fromMedian;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratios are ours / baseline in items per second\n");
    for (const char* size : {"4096", "65536", "1048576"}) {
        std::string s(size);
        reporter.PrintRatio("fixed pool alloc+free vs malloc+free " + s, "BM_FixedPoolAllocFree/" + s,
                            "BM_MallocFree/" + s, "goal >= 1.0");
        reporter.PrintRatio("same, process with another thread " + s, "BM_FixedPoolAllocFreeThreaded/" + s,
                            "BM_MallocFreeThreaded/" + s, "goal >= 1.0");
        reporter.PrintRatio("fixed pool ptr vs malloc+free " + s, "BM_FixedPoolPtr/" + s, "BM_MallocFree/" + s,
                            "reported");
    }
    reporter.PrintRatio("fixed pool 2 threads vs malloc 2 threads 65536",
                        "BM_FixedPoolAllocFree/65536/real_time/threads:2", "BM_MallocFree/65536/real_time/threads:2",
                        "reported");
    reporter.PrintRatio("Lz4Utils::Compress compressible 4 MiB", "BM_Lz4UtilsCompress/0", "BM_RawCompress/0",
                        "goal >= 0.9");
    reporter.PrintRatio("Lz4Utils::Compress random 4 MiB", "BM_Lz4UtilsCompress/1", "BM_RawCompress/1",
                        "goal >= 0.9");
    reporter.PrintRatio("Lz4Utils::Decompress compressible 4 MiB", "BM_Lz4UtilsDecompress/0", "BM_RawDecompress/0",
                        "goal >= 0.9");
    reporter.PrintRatio("Lz4Utils::Decompress random 4 MiB", "BM_Lz4UtilsDecompress/1", "BM_RawDecompress/1",
                        "goal >= 0.9");
    reporter.PrintRatio("thread pool empty tasks, 2 workers, vs asio", "BM_ReplicateThreadPoolEmptyTasks/real_time",
                        "BM_AsioPoolEmptyTasks/real_time", "aim >= 0.5");
    benchmark::Shutdown();
    return 0;
}
