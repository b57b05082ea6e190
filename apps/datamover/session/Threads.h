// Work spread over threads with buffers aligned for direct I/O, and the
// clock the step times are read from. RunOnThreads is called from the
// subcommand's thread; the work it runs must be safe on several threads.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "apps/datamover/CommandContext.h"

namespace dmtask {

// A buffer aligned for direct I/O; data() is null when it could not be had.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t size);
    ~AlignedBuffer();
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    char* data() const { return static_cast<char*>(ptr); }
    void* ptr = nullptr;
};

// Runs work(k, buffer, err) for every k in [0, count) on `depth` threads, each
// with its own aligned buffer of `bufferSize` bytes. The first error (or a
// SIGINT/SIGTERM: "interrupted") stops every thread; it lands in `error`.
// `done` (bytes, advanced by the work) drives a progress bar of `total`.
bool RunOnThreads(const CommandContext& ctx, const char* label, int depth, size_t count, size_t bufferSize,
                  uint64_t total, const std::atomic<uint64_t>& done,
                  const std::function<bool(size_t k, char* buffer, std::string& err)>& work, std::string& error);

uint64_t NowMicros();
double SecondsSince(uint64_t startMicros);

}  // namespace dmtask
