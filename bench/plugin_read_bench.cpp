// A full read of a 1 GiB snapshot through the real plug-in (loaded by the
// factory from a temporary installation root with strata-sim): attach, 4 MiB
// O_DIRECT reads, detach; against pread with O_DIRECT of the snapshot's backing
// file in the same run. Goal: descriptor throughput >= 0.9 x pread.
// The fixed attach settle pause (5 s) is skipped through a virtual clock in the
// timed runs and measured once on its own with the system clock.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/atomic.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/BenchUtil.h"
#include "factory/DiskDescriptorFactory.h"
#include "host/HostMessageSink.h"
#include "host/Logger.h"
#include "host/testing/Fakes.h"
#include "tests/support/SimRoot.h"

namespace {
constexpr uint64_t kDataBytes = 1ULL << 30;
constexpr uint64_t kHeader = 4096;
constexpr uint64_t kPiece = 4ULL << 20;
const char kVolumeUuid[] = "6d1c2b3a-4f5e-4a7b-9c8d-0e1f2a3b4c5d";

simtest::SimRoot* g_sim = nullptr;
std::string g_backing;
double g_openSeconds = 0;   // create + attach + device open, summed over passes
double g_closeSeconds = 0;  // close + detach, summed over passes
int g_passes = 0;

using Clock = std::chrono::steady_clock;

using benchutil::AlignedBuffer;

boost::atomics::atomic<bool>& AbortFlag()
{
    static boost::atomics::atomic<bool> flag(false);
    return flag;
}

VolumeParas Paras(DiskMessageNotify* sink)
{
    VolumeParas p;
    p.volumeID = kVolumeUuid;
    p.volumeName = "bench-disk";
    p.volumeSize = kDataBytes;
    p.currentSnapshotURL = "strata://127.0.0.1/pool1/snap1";
    p.isBackup = true;
    p.productStorageType = QRM_STRATA;
    p.msgNotify = sink;
    p.abortFun = []() -> boost::atomics::atomic<bool>& { return AbortFlag(); };
    return p;
}

// Fills the volume's backing file with non-zero data, then snapshots it.
bool Prepare()
{
    g_sim->CreateVolume("vol1", kDataBytes + kHeader);
    const std::string volBacking = g_sim->BackingPath("vol1");
    int fd = ::open(volBacking.c_str(), O_WRONLY);
    if (fd < 0) {
        return false;
    }
    AlignedBuffer buf(kPiece);
    for (uint64_t i = 0; i < kPiece; ++i) {
        buf.data.get()[i] = static_cast<char>((i * 131 + 7) & 0xff);
    }
    bool ok = true;
    for (uint64_t off = 0; off < kDataBytes + kHeader && ok; off += kPiece) {
        uint64_t n = std::min<uint64_t>(kPiece, kDataBytes + kHeader - off);
        buf.data.get()[0] = static_cast<char>(off >> 22);
        ok = ::pwrite(fd, buf.data.get(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
    g_sim->Snapshot("vol1", "snap1");
    g_backing = g_sim->BackingPath("snap1");
    return ok;
}

// One full read through the descriptor; seconds, or a negative value on failure.
double DescriptorPass(char* buf, double* readsOnly = nullptr)
{
    HostMessageSink sink("");
    std::shared_ptr<CDiskDescriptor> disk;
    auto start = Clock::now();
    if (DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(&sink), disk) != 0 ||
        disk->OpenDisk(std::shared_ptr<CSnapshotID>(), true)._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return -1;
    }
    auto readStart = Clock::now();
    g_openSeconds += std::chrono::duration<double>(readStart - start).count();
    for (uint64_t off = 0; off < kDataBytes; off += kPiece) {
        uint64_t len = kPiece;
        if (disk->ReadBlocks(off, len, buf)._GetCompleteCode() != ENV_PROXY_SUCCESS || len != kPiece) {
            return -1;
        }
    }
    if (readsOnly != nullptr) {
        *readsOnly += std::chrono::duration<double>(Clock::now() - readStart).count();
    }
    auto closeStart = Clock::now();
    if (disk->CloseDisk()._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return -1;
    }
    g_closeSeconds += std::chrono::duration<double>(Clock::now() - closeStart).count();
    ++g_passes;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One full read of the backing file's data area with pread and O_DIRECT.
double PreadPass(char* buf)
{
    auto start = Clock::now();
    int fd = ::open(g_backing.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) {
        return -1;
    }
    for (uint64_t off = 0; off < kDataBytes; off += kPiece) {
        uint64_t done = 0;
        while (done < kPiece) {
            ssize_t n = ::pread(fd, buf + done, kPiece - done, static_cast<off_t>(kHeader + off + done));
            if (n <= 0) {
                ::close(fd);
                return -1;
            }
            done += static_cast<uint64_t>(n);
        }
    }
    ::close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_RawPread(benchmark::State& state)
{
    AlignedBuffer buf(kPiece);
    for (auto _ : state) {
        if (PreadPass(buf.data.get()) < 0) {
            state.SkipWithError("pread failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDataBytes));
}

void BM_DescriptorRead(benchmark::State& state)
{
    testing_fakes::VirtualClock clock;  // the attach settle pause costs nothing here
    AlignedBuffer buf(kPiece);
    for (auto _ : state) {
        if (DescriptorPass(buf.data.get()) < 0) {
            state.SkipWithError("descriptor read failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDataBytes));
}

// Both passes alternately inside one iteration: drift of the shared machine
// hits both sides alike. Reports the throughput ratio descriptor / pread.
void BM_PairedRatio(benchmark::State& state)
{
    testing_fakes::VirtualClock clock;
    AlignedBuffer buf(kPiece);
    double desc = 0;
    double raw = 0;
    double reads = 0;
    for (auto _ : state) {
        double r = PreadPass(buf.data.get());
        double d = DescriptorPass(buf.data.get(), &reads);
        if (r < 0 || d < 0) {
            state.SkipWithError("read failed");
            return;
        }
        raw += r;
        desc += d;
    }
    state.counters["descriptor_MiBps"] = (state.iterations() * 1024.0) / desc;
    state.counters["pread_MiBps"] = (state.iterations() * 1024.0) / raw;
    state.counters["ratio"] = raw / desc;
    state.counters["reads_only_ratio"] = raw / reads;
    std::printf("paired: descriptor %.1f MiB/s (attach+reads+detach), pread %.1f MiB/s, ratio %.3f (goal >= 0.9); "
                "reads alone %.3f\n",
                state.iterations() * 1024.0 / desc, state.iterations() * 1024.0 / raw, raw / desc, raw / reads);
}

// The open of a snapshot with the system clock: attach, the fixed settle pause
// and the device open; reported on its own.
void BM_AttachWithSettle(benchmark::State& state)
{
    for (auto _ : state) {
        HostMessageSink sink("");
        std::shared_ptr<CDiskDescriptor> disk;
        DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(&sink), disk);
        auto start = Clock::now();
        if (!disk || disk->OpenDisk(std::shared_ptr<CSnapshotID>(), true)._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            state.SkipWithError("open failed");
            return;
        }
        double secs = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["open_seconds"] = secs;
        std::printf("attach with settle: %.3f s\n", secs);
        state.PauseTiming();
        disk->CloseDisk();
        state.ResumeTiming();
    }
}
}  // namespace

BENCHMARK(BM_RawPread)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DescriptorRead)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PairedRatio)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AttachWithSettle)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    CLogger::GetInstance()->SetStderrLevel(5);
    benchmark::Initialize(&argc, argv);
    simtest::SimRoot sim;
    g_sim = &sim;
    if (!Prepare()) {
        std::fprintf(stderr, "cannot prepare the 1 GiB snapshot\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    if (g_passes > 0) {
        std::printf("per descriptor pass: open (attach, settle skipped) %.1f ms, close (detach) %.1f ms\n",
                    1000 * g_openSeconds / g_passes, 1000 * g_closeSeconds / g_passes);
    }
    benchmark::Shutdown();
    return 0;
}
