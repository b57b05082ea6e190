#include "ChunkFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SimStore.h"

namespace sim {
namespace {

constexpr uint64_t P1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t P2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t P3 = 0x165667B19E3779F9ULL;
constexpr uint64_t P4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t P5 = 0x27D4EB2F165667C5ULL;
constexpr char kDigestMagic[8] = {'S', 'S', 'D', 'I', 'G', 'S', 'T', '1'};

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline uint64_t Read64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline uint32_t Read32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t Round(uint64_t acc, uint64_t input)
{
    acc += input * P2;
    acc = Rotl(acc, 31);
    return acc * P1;
}
inline uint64_t Merge(uint64_t acc, uint64_t val)
{
    acc ^= Round(0, val);
    return acc * P1 + P4;
}

// Closes a descriptor on every way out.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

int OpenOrThrow(const std::string& path, int flags, mode_t mode = 0644)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) {
        throw SimError("cannot open " + path + ": " + ErrnoText(errno));
    }
    return fd;
}

uint64_t FileSize(int fd, const std::string& path)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        throw SimError("cannot stat " + path + ": " + ErrnoText(errno));
    }
    return static_cast<uint64_t>(st.st_size);
}

void PreadFull(int fd, uint8_t* buf, uint64_t len, uint64_t off, const std::string& path)
{
    uint64_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, buf + done, len - done, static_cast<off_t>(off + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw SimError("cannot read " + path + ": " + ErrnoText(errno));
        }
        if (n == 0) {  // past the end: the rest reads as zero
            std::memset(buf + done, 0, len - done);
            return;
        }
        done += static_cast<uint64_t>(n);
    }
}

}  // namespace

uint64_t Xxh64(const void* data, size_t len, uint64_t seed)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint8_t* end = p + len;
    uint64_t h;
    if (len >= 32) {
        uint64_t v1 = seed + P1 + P2, v2 = seed + P2, v3 = seed, v4 = seed - P1;
        const uint8_t* limit = end - 32;
        do {
            v1 = Round(v1, Read64(p));
            v2 = Round(v2, Read64(p + 8));
            v3 = Round(v3, Read64(p + 16));
            v4 = Round(v4, Read64(p + 24));
            p += 32;
        } while (p <= limit);
        h = Rotl(v1, 1) + Rotl(v2, 7) + Rotl(v3, 12) + Rotl(v4, 18);
        h = Merge(h, v1);
        h = Merge(h, v2);
        h = Merge(h, v3);
        h = Merge(h, v4);
    } else {
        h = seed + P5;
    }
    h += static_cast<uint64_t>(len);
    while (p + 8 <= end) {
        h ^= Round(0, Read64(p));
        h = Rotl(h, 27) * P1 + P4;
        p += 8;
    }
    if (p + 4 <= end) {
        h ^= static_cast<uint64_t>(Read32(p)) * P1;
        h = Rotl(h, 23) * P2 + P3;
        p += 4;
    }
    while (p < end) {
        h ^= (*p) * P5;
        h = Rotl(h, 11) * P1;
        ++p;
    }
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P3;
    h ^= h >> 32;
    return h;
}

void CreateSparseFile(const std::string& path, uint64_t size)
{
    Fd fd(OpenOrThrow(path, O_WRONLY | O_CREAT | O_EXCL));
    if (ftruncate(fd.fd, static_cast<off_t>(size)) != 0) {
        int err = errno;
        unlink(path.c_str());
        throw SimError("cannot size " + path + ": " + ErrnoText(err));
    }
}

std::vector<std::pair<uint64_t, uint64_t>> DataExtents(int fd, uint64_t size)
{
    std::vector<std::pair<uint64_t, uint64_t>> out;
    uint64_t pos = 0;
    while (pos < size) {
        off_t data = lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole remains
            }
            // No hole support: the whole rest is data.
            out.emplace_back(pos, size - pos);
            break;
        }
        off_t hole = lseek(fd, data, SEEK_HOLE);
        uint64_t holeAt = hole < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole), size);
        if (holeAt > static_cast<uint64_t>(data)) {
            out.emplace_back(static_cast<uint64_t>(data), holeAt - static_cast<uint64_t>(data));
        }
        pos = holeAt;
    }
    return out;
}

void SparseCopy(const std::string& src, const std::string& dst)
{
    Fd in(OpenOrThrow(src, O_RDONLY));
    Fd out(OpenOrThrow(dst, O_WRONLY | O_CREAT | O_EXCL));
    const uint64_t size = FileSize(in.fd, src);
    if (ioctl(out.fd, FICLONE, in.fd) == 0) {
        return;
    }
    if (ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
        throw SimError("cannot size " + dst + ": " + ErrnoText(errno));
    }
    for (const auto& ext : DataExtents(in.fd, size)) {
        loff_t inOff = static_cast<loff_t>(ext.first);
        loff_t outOff = inOff;
        uint64_t left = ext.second;
        while (left > 0) {
            ssize_t n = copy_file_range(in.fd, &inOff, out.fd, &outOff, left, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                // No copy_file_range here (or a short source): copy through a buffer.
                std::vector<uint8_t> buf(std::min<uint64_t>(left, 4u << 20));
                while (left > 0) {
                    uint64_t piece = std::min<uint64_t>(left, buf.size());
                    PreadFull(in.fd, buf.data(), piece, static_cast<uint64_t>(inOff), src);
                    if (pwrite(out.fd, buf.data(), piece, outOff) != static_cast<ssize_t>(piece)) {
                        throw SimError("cannot write " + dst + ": " + ErrnoText(errno));
                    }
                    inOff += static_cast<loff_t>(piece);
                    outOff += static_cast<loff_t>(piece);
                    left -= piece;
                }
                break;
            }
            left -= static_cast<uint64_t>(n);
        }
    }
}

ChunkDigests ComputeDigests(const std::string& path, uint64_t chunkSize)
{
    if (chunkSize == 0) {
        throw SimError("chunk size 0");
    }
    Fd fd(OpenOrThrow(path, O_RDONLY));
    ChunkDigests d;
    d.chunkSize = chunkSize;
    d.volumeSize = FileSize(fd.fd, path);
    const uint64_t chunks = (d.volumeSize + chunkSize - 1) / chunkSize;
    d.digests.resize(chunks);
    // Digests of all-zero chunks by length: holes cost no reading.
    std::map<uint64_t, uint64_t> zeroDigest;
    auto chunkLen = [&](uint64_t i) { return std::min(chunkSize, d.volumeSize - i * chunkSize); };
    std::vector<uint8_t> buf;
    auto zero = [&](uint64_t len) {
        auto it = zeroDigest.find(len);
        if (it == zeroDigest.end()) {
            std::vector<uint8_t> z(len, 0);
            it = zeroDigest.emplace(len, Xxh64(z.data(), len, 0)).first;
        }
        return it->second;
    };
    std::vector<bool> hasData(chunks, false);
    for (const auto& ext : DataExtents(fd.fd, d.volumeSize)) {
        uint64_t first = ext.first / chunkSize;
        uint64_t last = (ext.first + ext.second - 1) / chunkSize;
        for (uint64_t i = first; i <= last && i < chunks; ++i) {
            hasData[i] = true;
        }
    }
    for (uint64_t i = 0; i < chunks; ++i) {
        uint64_t len = chunkLen(i);
        if (!hasData[i]) {
            d.digests[i] = zero(len);
            continue;
        }
        buf.resize(len);
        PreadFull(fd.fd, buf.data(), len, i * chunkSize, path);
        d.digests[i] = Xxh64(buf.data(), len, 0);
    }
    return d;
}

void SaveDigests(const std::string& path, const ChunkDigests& d)
{
    std::string data(kDigestMagic, sizeof(kDigestMagic));
    data.append(reinterpret_cast<const char*>(&d.chunkSize), 8);
    data.append(reinterpret_cast<const char*>(&d.volumeSize), 8);
    data.append(reinterpret_cast<const char*>(d.digests.data()), d.digests.size() * 8);
    WriteFileAtomic(path, data);
}

bool LoadDigests(const std::string& path, ChunkDigests& d)
{
    const std::string data = ReadWholeFile(path);
    if (data.size() < 24 || std::memcmp(data.data(), kDigestMagic, 8) != 0) {
        return false;
    }
    std::memcpy(&d.chunkSize, data.data() + 8, 8);
    std::memcpy(&d.volumeSize, data.data() + 16, 8);
    if (d.chunkSize == 0) {
        return false;
    }
    const uint64_t chunks = (d.volumeSize + d.chunkSize - 1) / d.chunkSize;
    if (data.size() != 24 + chunks * 8) {
        return false;
    }
    d.digests.resize(chunks);
    std::memcpy(d.digests.data(), data.data() + 24, chunks * 8);
    return true;
}

std::vector<uint8_t> DiffBitmap(const ChunkDigests* from, const ChunkDigests& to)
{
    const uint64_t chunks = to.digests.size();
    std::vector<uint8_t> bits((chunks + 7) / 8, 0);
    for (uint64_t i = 0; i < chunks; ++i) {
        bool changed = from == nullptr || i >= from->digests.size() || from->digests[i] != to.digests[i];
        // A short last chunk of the older snapshot differs from a full one of the newer.
        if (!changed && from != nullptr) {
            uint64_t lenFrom = std::min(from->chunkSize, from->volumeSize - i * from->chunkSize);
            uint64_t lenTo = std::min(to.chunkSize, to.volumeSize - i * to.chunkSize);
            changed = lenFrom != lenTo;
        }
        if (changed) {
            bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    return bits;
}

uint64_t BitmapFileSize(uint64_t chunks)
{
    uint64_t bytes = (chunks + 7) / 8;
    uint64_t padded = (bytes + 4095) / 4096 * 4096;
    return padded == 0 ? 4096 : padded;
}

void WriteBitmapFile(const std::string& path, const std::vector<uint8_t>& bits)
{
    std::string data(reinterpret_cast<const char*>(bits.data()), bits.size());
    data.resize(BitmapFileSize(bits.size() * 8), '\0');
    WriteFileAtomic(path, data);
}

}  // namespace sim
