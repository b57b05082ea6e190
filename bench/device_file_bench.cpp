// Throughput of the block device file against plain system calls on one 1 GiB
// temporary file, read in 4 MiB pieces with O_DIRECT:
//   DeviceFileRead / RawPread      (the class's overhead; goal >= 0.9), measured
//     both as separate runs and paired within one pass (the steadier figure)
//   DeviceFileAioRead8 / DeviceFileRead  (8 reads in flight; goal >= 1.3)
//   RawLibaio/<depth> / RawPread  (what the device allows: a plain libaio loop,
//     one context, batched submits, every ready completion reaped at once, at
//     depths 1, 4, 8 and 16; reported, no goal)
//   PairedDepths: Read, AioRead x8 and the plain loop at each depth taking
//     turns segment by segment within one run; the steadier figure
// The file lives in $DM_BENCH_DIR (default /tmp) and is deleted at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libaio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchUtil.h"
#include "host/Logger.h"
#include "storage_access/DiskDeviceFile.h"

namespace {
constexpr uint64_t kFileBytes = 1ULL << 30;
constexpr uint64_t kPiece = 4ULL << 20;
constexpr int kInFlight = 8;
constexpr uint64_t kSegment = 128ULL << 20;

std::string g_path;
int g_directFlag = O_DIRECT;

using benchutil::AlignedBuffer;

// Writes the test file with non-zero data, so that no read is served from a hole.
bool CreateFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    AlignedBuffer buf(kPiece);
    for (uint64_t i = 0; i < kPiece; ++i) {
        buf.data.get()[i] = static_cast<char>((i * 131 + 7) & 0xff);
    }
    bool ok = true;
    for (uint64_t off = 0; off < kFileBytes && ok; off += kPiece) {
        buf.data.get()[0] = static_cast<char>(off >> 22);
        ok = ::pwrite(fd, buf.data.get(), kPiece, static_cast<off_t>(off)) == static_cast<ssize_t>(kPiece);
    }
    ok = ok && ::fsync(fd) == 0;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    return ok;
}

void BM_RawPread(benchmark::State& state)
{
    int fd = ::open(g_path.c_str(), O_RDONLY | g_directFlag);
    AlignedBuffer buf(kPiece);
    if (fd < 0) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        for (uint64_t off = 0; off < kFileBytes; off += kPiece) {
            uint64_t done = 0;
            while (done < kPiece) {
                ssize_t n = ::pread(fd, buf.data.get() + done, kPiece - done, static_cast<off_t>(off + done));
                if (n <= 0) {
                    state.SkipWithError("pread failed");
                    break;
                }
                done += static_cast<uint64_t>(n);
            }
        }
        benchmark::DoNotOptimize(buf.data.get()[0]);
    }
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void BM_DeviceFileRead(benchmark::State& state)
{
    DiskDeviceFile file;
    AlignedBuffer buf(kPiece);
    if (file.Open(g_path, O_RDONLY | g_directFlag, kFileBytes) != DISK_DEVICE_OK) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        for (uint64_t off = 0; off < kFileBytes; off += kPiece) {
            uint64_t len = kPiece;
            if (file.Read(off, len, buf.data.get()) != DISK_DEVICE_OK || len != kPiece) {
                state.SkipWithError("Read failed");
                break;
            }
        }
        benchmark::DoNotOptimize(buf.data.get()[0]);
    }
    file.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

bool PassAioRead(DiskDeviceFile& file, io_context_t ctx, std::vector<AlignedBuffer>& bufs, uint64_t begin = 0,
                 uint64_t end = kFileBytes);

void BM_DeviceFileAioRead8(benchmark::State& state)
{
    DiskDeviceFile file;
    std::vector<AlignedBuffer> bufs;
    for (int i = 0; i < kInFlight; ++i) {
        bufs.emplace_back(kPiece);
    }
    io_context_t ctx = nullptr;
    if (file.Open(g_path, O_RDONLY | g_directFlag, kFileBytes) != DISK_DEVICE_OK || io_setup(kInFlight, &ctx) != 0) {
        state.SkipWithError("open or io_setup failed");
        return;
    }
    for (auto _ : state) {
        if (!PassAioRead(file, ctx, bufs)) {
            state.SkipWithError("AioRead failed");
            break;
        }
    }
    io_destroy(ctx);
    file.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

// The fio-like reference: one pass with control blocks made once, the first
// `depth` reads submitted in one call, then every ready completion reaped and
// its slot refilled in one batched submit. bufs holds at least depth buffers.
bool RawLibaioPass(int fd, io_context_t ctx, int depth, std::vector<AlignedBuffer>& bufs, uint64_t begin = 0,
                   uint64_t end = kFileBytes)
{
    std::vector<struct iocb> blocks(static_cast<size_t>(depth));
    std::vector<struct iocb*> batch(static_cast<size_t>(depth));
    std::vector<io_event> events(static_cast<size_t>(depth));
    // Submits the first `count` entries of `batch`; false when the kernel refused.
    auto submit = [&](int count) {
        int done = 0;
        while (done < count) {
            int r = io_submit(ctx, count - done, batch.data() + done);
            if (r == -EINTR || r == -EAGAIN) {
                continue;
            }
            if (r <= 0) {
                return false;
            }
            done += r;
        }
        return true;
    };
    uint64_t next = begin;
    int count = 0;
    for (int i = 0; i < depth && next < end; ++i, next += kPiece) {
        io_prep_pread(&blocks[static_cast<size_t>(i)], fd, bufs[static_cast<size_t>(i)].data.get(), kPiece,
                      static_cast<long long>(next));
        batch[static_cast<size_t>(count++)] = &blocks[static_cast<size_t>(i)];
    }
    bool failed = !submit(count);
    int pending = failed ? 0 : count;
    while (pending > 0) {
        int n = io_getevents(ctx, 1, depth, events.data(), nullptr);
        if (n == -EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        count = 0;
        for (int i = 0; i < n; ++i) {
            --pending;
            struct iocb* cb = events[static_cast<size_t>(i)].obj;
            failed = failed || events[static_cast<size_t>(i)].res != kPiece;
            if (!failed && next < end) {
                io_prep_pread(cb, fd, cb->u.c.buf, kPiece, static_cast<long long>(next));
                next += kPiece;
                batch[static_cast<size_t>(count++)] = cb;
            }
        }
        if (count > 0) {
            if (submit(count)) {
                pending += count;
            } else {
                failed = true;
            }
        }
    }
    return !failed;
}

void BM_RawLibaio(benchmark::State& state)
{
    const int depth = static_cast<int>(state.range(0));
    int fd = ::open(g_path.c_str(), O_RDONLY | g_directFlag);
    io_context_t ctx = nullptr;
    if (fd < 0 || io_setup(depth, &ctx) != 0) {
        state.SkipWithError("open or io_setup failed");
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    std::vector<AlignedBuffer> bufs;
    for (int i = 0; i < depth; ++i) {
        bufs.emplace_back(kPiece);
    }
    for (auto _ : state) {
        if (!RawLibaioPass(fd, ctx, depth, bufs)) {
            state.SkipWithError("libaio read failed");
            break;
        }
    }
    io_destroy(ctx);
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

// Every reader reads each 128 MiB segment of the file in turn, the order
// rotating, so drift of the shared disk over the run hits all alike. The
// counters are each reader's throughput over the synchronous Read's within the
// same run: AioRead at 8 in flight, and the plain libaio loop at each depth.
struct PassTimes {
    double seconds = 0;
    uint64_t bytes = 0;
};

bool PassRead(DiskDeviceFile& file, char* buffer, uint64_t begin, uint64_t end)
{
    for (uint64_t off = begin; off < end; off += kPiece) {
        uint64_t len = kPiece;
        if (file.Read(off, len, buffer) != DISK_DEVICE_OK || len != kPiece) {
            return false;
        }
    }
    return true;
}

bool PassAioRead(DiskDeviceFile& file, io_context_t ctx, std::vector<AlignedBuffer>& bufs, uint64_t begin,
                 uint64_t end)
{
    const int depth = static_cast<int>(bufs.size());
    std::vector<io_event> events(bufs.size());
    uint64_t next = begin;
    int pending = 0;
    bool failed = false;
    auto submit = [&](char* buffer) {
        uint64_t len = kPiece;
        if (file.AioRead(next, len, buffer, ctx) != DISK_DEVICE_OK) {
            failed = true;
            return;
        }
        next += kPiece;
        ++pending;
    };
    for (int i = 0; i < depth && next < end; ++i) {
        submit(bufs[static_cast<size_t>(i)].data.get());
    }
    while (pending > 0) {
        int n = io_getevents(ctx, 1, depth, events.data(), nullptr);
        if (n == -EINTR) {
            continue;
        }
        if (n < 0) {
            return false;  // cannot reap; the caller's context is torn down
        }
        for (int i = 0; i < n; ++i) {
            --pending;
            struct iocb* cb = events[static_cast<size_t>(i)].obj;
            char* buffer = static_cast<char*>(cb->u.c.buf);
            failed = failed || events[static_cast<size_t>(i)].res != kPiece;
            std::free(cb);
            if (!failed && next < end) {
                submit(buffer);
            }
        }
    }
    return !failed;
}

void BM_PairedDepths(benchmark::State& state)
{
    const std::vector<int> depths = {1, 4, 8, 16};
    DiskDeviceFile file;
    int fd = ::open(g_path.c_str(), O_RDONLY | g_directFlag);
    std::vector<AlignedBuffer> bufs;
    for (int i = 0; i < 16; ++i) {
        bufs.emplace_back(kPiece);
    }
    std::vector<AlignedBuffer> aioBufs;
    for (int i = 0; i < kInFlight; ++i) {
        aioBufs.emplace_back(kPiece);
    }
    io_context_t ctx = nullptr;
    if (fd < 0 || file.Open(g_path, O_RDONLY | g_directFlag, kFileBytes) != DISK_DEVICE_OK ||
        io_setup(16, &ctx) != 0) {
        state.SkipWithError("open or io_setup failed");
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    // Reader 0: Read; 1: AioRead x8; 2..: plain libaio at depths[i - 2].
    const size_t readers = 2 + depths.size();
    std::vector<PassTimes> times(readers);
    uint64_t pass = 0;
    bool ok = true;
    for (auto _ : state) {
        // Turns of one 128 MiB segment each: short enough that the drift of
        // the shared disk is sampled alike by every reader, long enough that a
        // pipeline's fill and drain weigh little.
        for (uint64_t seg = 0; seg < kFileBytes && ok; seg += kSegment) {
            for (size_t j = 0; j < readers && ok; ++j) {
                const size_t r = (j + pass) % readers;
                auto t0 = std::chrono::steady_clock::now();
                if (r == 0) {
                    ok = PassRead(file, bufs[0].data.get(), seg, seg + kSegment);
                } else if (r == 1) {
                    ok = PassAioRead(file, ctx, aioBufs, seg, seg + kSegment);
                } else {
                    ok = RawLibaioPass(fd, ctx, depths[r - 2], bufs, seg, seg + kSegment);
                }
                times[r].seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                times[r].bytes += kSegment;
            }
            ++pass;
        }
        if (!ok) {
            state.SkipWithError("a paired pass failed");
            break;
        }
    }
    io_destroy(ctx);
    ::close(fd);
    file.Close();
    auto rate = [&](size_t r) { return times[r].seconds > 0 ? static_cast<double>(times[r].bytes) / times[r].seconds : 0; };
    const double base = rate(0);
    state.counters["Read_MiBps"] = base / 1048576;
    state.counters["aio8_vs_Read"] = base > 0 ? rate(1) / base : 0;
    for (size_t i = 0; i < depths.size(); ++i) {
        state.counters["libaio" + std::to_string(depths[i]) + "_vs_Read"] = base > 0 ? rate(2 + i) / base : 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes * readers));
}

// Both readers walk one sequential stream, taking alternate 4 MiB pieces (who
// goes first alternates pair by pair and pass by pass), so drift of the shared disk hits them alike; the counter
// "ratio" is Read's throughput over pread's within the same pass.
void BM_PairedReadVsPread(benchmark::State& state)
{
    int fd = ::open(g_path.c_str(), O_RDONLY | g_directFlag);
    DiskDeviceFile file;
    AlignedBuffer buf(kPiece);
    if (fd < 0 || file.Open(g_path, O_RDONLY | g_directFlag, kFileBytes) != DISK_DEVICE_OK) {
        state.SkipWithError("open failed");
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration rawTime{};
    Clock::duration classTime{};
    uint64_t rawBytes = 0;
    uint64_t classBytes = 0;
    uint64_t pass = 0;
    for (auto _ : state) {
        for (uint64_t off = 0, i = 0; off < kFileBytes; off += kPiece, ++i) {
            // Within each pair of pieces the first reader alternates, so neither
            // side always gets the piece right after the other's.
            const bool raw = (((i % 2) ^ ((i / 2) % 2) ^ (pass % 2)) == 0);
            Clock::time_point t0 = Clock::now();
            if (raw) {
                uint64_t done = 0;
                while (done < kPiece) {
                    ssize_t n = ::pread(fd, buf.data.get() + done, kPiece - done, static_cast<off_t>(off + done));
                    if (n <= 0) {
                        state.SkipWithError("pread failed");
                        break;
                    }
                    done += static_cast<uint64_t>(n);
                }
                rawTime += Clock::now() - t0;
                rawBytes += kPiece;
            } else {
                uint64_t len = kPiece;
                if (file.Read(off, len, buf.data.get()) != DISK_DEVICE_OK) {
                    state.SkipWithError("Read failed");
                }
                classTime += Clock::now() - t0;
                classBytes += len;
            }
        }
        ++pass;
        benchmark::DoNotOptimize(buf.data.get()[0]);
    }
    ::close(fd);
    file.Close();
    const double rawRate = static_cast<double>(rawBytes) / std::chrono::duration<double>(rawTime).count();
    const double classRate = static_cast<double>(classBytes) / std::chrono::duration<double>(classTime).count();
    state.counters["pread_MiBps"] = rawRate / 1048576;
    state.counters["Read_MiBps"] = classRate / 1048576;
    state.counters["ratio"] = classRate / rawRate;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

BENCHMARK(BM_RawPread)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_DeviceFileRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_DeviceFileAioRead8)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_RawLibaio)->Arg(1)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_PairedDepths)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2)->Repetitions(3);
BENCHMARK(BM_PairedReadVsPread)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

// Collects each benchmark's per-repetition throughput while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override
    {
        for (const auto& run : reports) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            for (const char* key : {"bytes_per_second", "ratio", "aio8_vs_Read", "libaio1_vs_Read",
                                    "libaio4_vs_Read", "libaio8_vs_Read", "libaio16_vs_Read"}) {
                auto it = run.counters.find(key);
                if (it != run.counters.end()) {
                    std::string name = run.run_name.function_name;
                    if (!run.run_name.args.empty()) {
                        name += "/" + run.run_name.args;
                    }
                    m_rates[name + "." + key].push_back(it->second.value);
                }
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }
    // Median bytes per second, or 0 when the benchmark did not run.
    double Median(const std::string& name, const char* key = "bytes_per_second") const
    {
        auto it = m_rates.find(name + "." + key);
        return it == m_rates.end() ? 0 : benchutil::MedianOf(it->second);
    }

private:
    std::map<std::string, std::vector<double>> m_rates;
};

using benchutil::PrintRatio;
}  // namespace

int main(int argc, char** argv)
{
    // Interleave the repetitions of the three benchmarks so that drift of the
    // shared disk over the run hits all of them alike; later flags still win.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, &interleave[0]);
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CLogger::GetInstance()->SetStderrLevel(5);
    const char* dirEnv = std::getenv("DM_BENCH_DIR");
    std::string dir = dirEnv != nullptr && *dirEnv != '\0' ? dirEnv : "/tmp";
    g_path = dir + "/dm_device_file_bench." + std::to_string(::getpid());
    std::printf("creating %s (1 GiB)...\n", g_path.c_str());
    std::fflush(stdout);
    if (!CreateFile(g_path)) {
        std::fprintf(stderr, "cannot create %s: %s\n", g_path.c_str(), std::strerror(errno));
        ::unlink(g_path.c_str());
        return 1;
    }
    int probe = ::open(g_path.c_str(), O_RDONLY | O_DIRECT);
    if (probe < 0) {
        std::printf("NOTE: O_DIRECT is not supported in %s (%s); measuring buffered reads instead\n", dir.c_str(),
                    std::strerror(errno));
        g_directFlag = 0;
    } else {
        ::close(probe);
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ::unlink(g_path.c_str());

    const double raw = reporter.Median("BM_RawPread");
    const double read = reporter.Median("BM_DeviceFileRead");
    const double aio = reporter.Median("BM_DeviceFileAioRead8");
    std::printf("\nmedian MiB/s: pread %.1f, Read %.1f, AioRead x%d %.1f (%s)\n", raw / 1048576, read / 1048576,
                kInFlight, aio / 1048576, g_directFlag != 0 ? "O_DIRECT" : "buffered");
    PrintRatio("Read / pread, separate runs", read, raw, 0.9);
    const double paired = reporter.Median("BM_PairedReadVsPread", "ratio");
    PrintRatio("Read / pread, paired in one stream", paired, 1.0, 0.9);
    PrintRatio("AioRead 8 in flight / Read, separate runs", aio, read, 1.3);
    PrintRatio("AioRead 8 in flight / Read, paired passes", reporter.Median("BM_PairedDepths", "aio8_vs_Read"), 1.0,
               1.3);
    for (int depth : {1, 4, 8, 16}) {
        const std::string key = "libaio" + std::to_string(depth) + "_vs_Read";
        std::printf("FIGURE plain libaio depth %2d / Read, paired passes: %.3f\n", depth,
                    reporter.Median("BM_PairedDepths", key.c_str()));
    }
    // What the device allows at each depth, in separate runs against pread.
    for (int depth : {1, 4, 8, 16}) {
        const double lib = reporter.Median("BM_RawLibaio/" + std::to_string(depth));
        std::printf("FIGURE plain libaio depth %2d / pread, separate runs: %.3f (%.1f MiB/s)\n", depth, raw > 0 ? lib / raw : 0.0,
                    lib / 1048576);
    }
    benchmark::Shutdown();
    return 0;
}
