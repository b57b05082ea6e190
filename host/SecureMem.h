// Wiping secrets and the bounded memory functions. Every wipe of a secret goes
// through SecureWipe, which the compiler may not drop as a dead store.
#pragma once
#include <cstddef>
#include <string>

// Overwrites `len` bytes at `p` with zeros; never optimised away.
void SecureWipe(void* p, size_t len);
// Overwrites every character of the string (its whole capacity) and clears it.
void cleanMemoryPwd(std::string& pwd);

// Bounded memory functions: 0 on success; non-zero (and nothing copied) when a
// pointer is null or count exceeds the destination capacity.
int memcpy_s(void* dest, size_t destMax, const void* src, size_t count);
int memmove_s(void* dest, size_t destMax, const void* src, size_t count);
int memset_s(void* dest, size_t destMax, int c, size_t count);
