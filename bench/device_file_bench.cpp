// Throughput of the block device file against plain system calls on one 1 GiB
// temporary file, read in 4 MiB pieces with O_DIRECT:
//   DeviceFileRead / RawPread      (the class's overhead; goal >= 0.9), measured
//     both as separate runs and paired within one pass (the steadier figure)
//   DeviceFileAioRead8 / DeviceFileRead  (8 reads in flight; goal >= 1.0)
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
    io_event events[kInFlight];
    for (auto _ : state) {
        uint64_t next = 0;
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
        for (int i = 0; i < kInFlight && next < kFileBytes; ++i) {
            submit(bufs[i].data.get());
        }
        while (pending > 0 && !failed) {
            int n = io_getevents(ctx, 1, kInFlight, events, nullptr);
            if (n < 0 && n != -EINTR) {
                failed = true;
                break;
            }
            for (int i = 0; i < n; ++i) {
                --pending;
                struct iocb* cb = events[i].obj;
                char* buffer = static_cast<char*>(cb->u.c.buf);
                failed = failed || events[i].res != kPiece;
                std::free(cb);  // the collector releases the control block
                if (next < kFileBytes && !failed) {
                    submit(buffer);
                }
            }
        }
        // Drain whatever is still in flight before leaving the iteration.
        while (pending > 0) {
            int n = io_getevents(ctx, 1, kInFlight, events, nullptr);
            for (int i = 0; i < n; ++i) {
                std::free(events[i].obj);
                --pending;
            }
            if (n < 0 && n != -EINTR) {
                break;
            }
        }
        if (failed) {
            state.SkipWithError("AioRead failed");
            break;
        }
    }
    io_destroy(ctx);
    file.Close();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
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
            for (const char* key : {"bytes_per_second", "ratio"}) {
                auto it = run.counters.find(key);
                if (it != run.counters.end()) {
                    m_rates[run.run_name.function_name + "." + key].push_back(it->second.value);
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
    PrintRatio("AioRead 8 in flight / Read", aio, read, 1.0);
    benchmark::Shutdown();
    return 0;
}
