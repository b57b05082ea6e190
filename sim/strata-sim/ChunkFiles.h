// Backing files of the simulated volumes: sparse creation, sparse-aware snapshot copies,
// per-chunk digests and bitmap files. Everything here works on paths and is free of
// simulator state, so it can be called with or without the state lock.
//
// Digest file (<stem>.dig), native byte order:
//   offset 0  8 bytes  magic "SSDIGST1"
//   offset 8  uint64   chunk size in bytes
//   offset 16 uint64   volume size in bytes
//   offset 24 uint64   digest of chunk 0, then one per chunk (the last chunk may be short)
// A chunk's digest is XXH64 (seed 0) of its bytes; a hole reads as zero bytes.
//
// Bitmap file: no header. Bit i stands for chunk i, the chunk of volume bytes
// [i * blockSize, (i + 1) * blockSize); it lives in byte i / 8 under the mask
// 1 << (i % 8) (least significant bit first). The file is padded with zero bytes
// to a whole number of 4096-byte blocks (at least one) so it can back a block device.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

uint64_t Xxh64(const void* data, size_t len, uint64_t seed);

// A sparse file of `size` bytes (refuses an existing path).
void CreateSparseFile(const std::string& path, uint64_t size);
// Copies src to dst keeping holes: a reflink clone when the file system has one,
// otherwise copy_file_range over the data extents only.
void SparseCopy(const std::string& src, const std::string& dst);
// Data extents (offset, length) of a file, holes skipped.
std::vector<std::pair<uint64_t, uint64_t>> DataExtents(int fd, uint64_t size);

struct ChunkDigests {
    uint64_t chunkSize = 0;
    uint64_t volumeSize = 0;
    std::vector<uint64_t> digests;
};
// Reads the file once (data extents only) and digests each chunk.
ChunkDigests ComputeDigests(const std::string& path, uint64_t chunkSize);
void SaveDigests(const std::string& path, const ChunkDigests& d);
// False when the file is missing or malformed.
bool LoadDigests(const std::string& path, ChunkDigests& d);

// Bitmap bytes (unpadded) with bit i set where chunk i differs; `from` may be null,
// which marks every chunk of `to`. Chunks beyond the end of `from` count as changed.
std::vector<uint8_t> DiffBitmap(const ChunkDigests* from, const ChunkDigests& to);
// Bytes of a bitmap file for `chunks` bits: ceil(chunks / 8) rounded up to 4096, at least 4096.
uint64_t BitmapFileSize(uint64_t chunks);
void WriteBitmapFile(const std::string& path, const std::vector<uint8_t>& bits);

}  // namespace sim
