// A number that changes whenever a configuration answer may have changed (an
// override set or cleared, the file replaced or re-read). A hot path may keep
// a value it read through ConfigReader for as long as this number stays the
// same. Lock-free and safe from any thread.
#pragma once
#include <atomic>
#include <cstdint>

namespace ConfigReaderVersion {
uint64_t Current();

// Written by the configuration reader only; read it through CurrentWithoutFile().
extern std::atomic<uint64_t> g_withoutFile;

// Current() without the call, for paths that run per message: the same number
// while no configuration file is set, and 0 while one is, since only Current()
// notices that the file changed. Never 0 without a file.
inline uint64_t CurrentWithoutFile()
{
    return g_withoutFile.load(std::memory_order_acquire);
}
}  // namespace ConfigReaderVersion
