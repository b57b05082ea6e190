// Sealing and storing 4 MiB chunks (zstd level 1, AES-256-GCM, one file per
// chunk with fsync) against plain write() of the same bytes to one file with
// one fdatasync at the end, in the same process, on half-compressible and on
// incompressible data; with one, two and four threads storing side by side
// (four on two cores: the store waits on fsync, not on the processor).
// Prints throughput and RATIO = store throughput / write throughput (goals:
// the full-backup goals of at most 1.0x the time of a plain copy on
// half-compressible data and 1.3x on incompressible data, as throughput).
// Files live in $DM_BENCH_DIR (default /tmp) and are removed; $DM_BENCH_CHUNKS
// chunks per run (default 32), median of 3 runs.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/backend/LocalDirStore.h"
#include "bench/BenchUtil.h"

namespace {

constexpr size_t kChunk = 4u << 20;

void RemoveTree(const std::string& path)
{
    ::nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
           FTW_DEPTH | FTW_PHYS);
}

// A repository past its first few hundred chunks has all 256 fan-out
// directories; measure that steady state, not the one-off mkdir and fsync of each.
std::unique_ptr<repo3::LocalDirStore> SteadyStateStore(const std::string& root)
{
    RemoveTree(root);
    auto store = std::make_unique<repo3::LocalDirStore>(root, true);
    ::mkdir((root + "/chunks").c_str(), 0755);
    for (int i = 0; i < 256; ++i) {
        char dir[8];
        std::snprintf(dir, sizeof dir, "%02x", i);
        ::mkdir((root + "/chunks/" + dir).c_str(), 0755);
    }
    ::sync();
    return store;
}

// `count` distinct chunks: random bytes, or half random and half a repeated text.
std::vector<std::string> MakeChunks(size_t count, bool halfCompressible, uint32_t seed)
{
    std::vector<std::string> out(count, std::string(kChunk, '\0'));
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& c : out) {
        for (size_t i = 0; i + 8 <= kChunk; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&c[i], &x, 8);
        }
        if (halfCompressible) {
            for (size_t i = kChunk / 2; i < kChunk; ++i) {
                c[i] = "0123456789abcdef all work and no play "[i % 38];
            }
        }
    }
    return out;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double PlainWrite(const std::string& dir, const std::vector<std::string>& chunks)
{
    const std::string path = dir + "/plain.img";
    const auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return 0;
    }
    for (const auto& c : chunks) {
        if (::write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size())) {
            ::close(fd);
            return 0;
        }
    }
    ::fdatasync(fd);
    ::close(fd);
    const double s = Seconds(t0);
    ::unlink(path.c_str());
    return s;
}

double StoreChunks(const std::string& dir, const std::vector<std::string>& chunks, int threads, size_t& stored)
{
    const std::string root = dir + "/repo";
    auto backend = SteadyStateStore(root);
    repo3::LocalDirStore& store = *backend;
    repo3::RepoKeys keys;
    keys.encryption = repo3::Encryption::RepoKey;
    repo3::RandomBytes(keys.master.data(), keys.master.size());
    repo3::RandomBytes(keys.mac.data(), keys.mac.size());
    repo3::ChunkStore cs(store, keys);
    std::atomic<size_t> next{0};
    std::atomic<size_t> bytes{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < chunks.size(); i = next++) {
                bytes += cs.Put(chunks[i].data(), chunks[i].size()).storedBytes;
            }
        });
    }
    for (auto& t : pool) {
        t.join();
    }
    const double s = Seconds(t0);
    stored = bytes;
    RemoveTree(root);
    return s;
}

// Where the time of one thread goes: id (HMAC-SHA256), encode (zstd and
// AES-256-GCM) and the store (write, fsync, link, directory fsync), in seconds.
void Breakdown(const std::string& dir, const std::vector<std::string>& chunks, double& id, double& encode,
               double& store)
{
    const std::string root = dir + "/repo";
    auto owned = SteadyStateStore(root);
    repo3::LocalDirStore& backend = *owned;
    repo3::RepoKeys keys;
    keys.encryption = repo3::Encryption::RepoKey;
    repo3::RandomBytes(keys.master.data(), keys.master.size());
    repo3::RandomBytes(keys.mac.data(), keys.mac.size());
    repo3::ChunkStore cs(backend, keys);
    id = encode = store = 0;
    for (const auto& c : chunks) {
        auto t = std::chrono::steady_clock::now();
        const repo3::ChunkId cid = cs.IdOf(c.data(), c.size());
        id += Seconds(t);
        t = std::chrono::steady_clock::now();
        const std::string file = cs.Encode(cid, c.data(), c.size());
        encode += Seconds(t);
        t = std::chrono::steady_clock::now();
        backend.PutIfAbsent(repo3::ChunkStore::ObjectName(cid), file);
        store += Seconds(t);
    }
    RemoveTree(root);
}

}  // namespace

int main()
{
    const char* envDir = std::getenv("DM_BENCH_DIR");
    const char* envCount = std::getenv("DM_BENCH_CHUNKS");
    const std::string base = envDir != nullptr ? envDir : "/tmp";
    const size_t count = envCount != nullptr ? std::strtoul(envCount, nullptr, 10) : 32;
    std::string dir = base + "/dm_chunk_bench_XXXXXX";
    if (::mkdtemp(&dir[0]) == nullptr || count == 0) {
        std::fprintf(stderr, "cannot create a directory under %s\n", base.c_str());
        return 1;
    }
    const double mib = static_cast<double>(count * kChunk) / (1 << 20);
    std::printf("chunk store: %zu chunks of 4 MiB (%.0f MiB) per run, zstd level 1, AES-256-GCM, in %s\n", count, mib,
                base.c_str());
    for (bool half : {true, false}) {
        const auto chunks = MakeChunks(count, half, half ? 1 : 2);
        for (int threads : {1, 2, 4}) {
            std::vector<double> plain, put;
            size_t stored = 0;
            for (int run = 0; run < 3; ++run) {
                plain.push_back(PlainWrite(dir, chunks));
                put.push_back(StoreChunks(dir, chunks, threads, stored));
            }
            const double plainMiBs = mib / benchutil::MedianOf(plain);
            const double putMiBs = mib / benchutil::MedianOf(put);
            const char* kind = half ? "half-compressible" : "incompressible";
            std::printf("%-18s threads=%d  write %7.1f MiB/s  seal+store %7.1f MiB/s  stored %.3f of the input\n",
                        kind, threads, plainMiBs, putMiBs, static_cast<double>(stored) / (count * kChunk));
            const std::string label = std::string("ChunkPut/write ") + kind + " x" + std::to_string(threads);
            benchutil::PrintRatio(label.c_str(), putMiBs, plainMiBs, half ? 1.0 : 1 / 1.3);
        }
        double id = 0, encode = 0, store = 0;
        Breakdown(dir, chunks, id, encode, store);
        std::printf("%-18s one thread: id %.0f MiB/s, compress+seal %.0f MiB/s, write+fsync+link %.0f MiB/s\n",
                    half ? "half-compressible" : "incompressible", mib / id, mib / encode, mib / store);
    }
    RemoveTree(dir);
    return 0;
}
