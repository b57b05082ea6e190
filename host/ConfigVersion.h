// A number that changes whenever a configuration answer may have changed (an
// override set or cleared, the file replaced or re-read). A hot path may keep
// a value it read through ConfigReader for as long as this number stays the
// same. Lock-free and safe from any thread.
#pragma once
#include <cstdint>

namespace ConfigReaderVersion {
uint64_t Current();
}  // namespace ConfigReaderVersion
