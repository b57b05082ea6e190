// The standard CRC-32 (polynomial 0x04C11DB7, reflected, initial value and final
// XOR 0xFFFFFFFF), as zlib computes it. Stateless; safe from any thread.
// DataMoverUtility::GetCrc32 is the data mover's name for the same function.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t Crc32(const void* data, size_t length);
