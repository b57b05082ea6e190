// Per-thread request identifier carried by every log record and shell command.
// Each thread has its own value (0 until set); get/reset touch only the caller's.
#pragma once
#include <cstdint>

enum OruTSPKey { TSP_RequestID = 0 };

class OruTSP {
public:
    // Pointer to the calling thread's value for the key; never null.
    static uint64_t* get(OruTSPKey key);
    // Sets the calling thread's request identifier.
    static void reset(uint64_t value);
};
