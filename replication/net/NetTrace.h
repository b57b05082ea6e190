// Trace lines of the replication runtime. A SelectiveLogProxy record below
// level 2 is written only when "ReplicationCommunicationDebug" is 1; these
// helpers test the switch first, so a silent trace costs no formatting and,
// while the configuration is unchanged, no lookup. Safe from any thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "foundation/LogProxy.h"
#include "host/ConfigVersion.h"

namespace net_trace_detail {
// The configuration version at which the switch was last read as off; all
// ones when it was read as on or not yet, which no version matches, not even
// the 0 of "a file is set".
extern std::atomic<uint64_t> g_offAtVersion;
// Reads the switch for the current configuration version.
bool ReadDebugSwitch();
}  // namespace net_trace_detail

// True when "Replication"/"ReplicationCommunicationDebug" is 1; read again
// whenever the host configuration changed. Inline because the IO buffer asks
// on every append and consume: with the switch off, no configuration file and
// an unchanged configuration, the answer costs two loads and a compare. A
// switch that is on, or a file, takes the call (the trace line, or the check
// whether the file changed, costs far more anyway).
inline bool ReplicationDebugOn()
{
    if (net_trace_detail::g_offAtVersion.load(std::memory_order_acquire) ==
        ConfigReaderVersion::CurrentWithoutFile()) {
        return false;
    }
    return net_trace_detail::ReadDebugSwitch();
}

// NET_TRACE(level, module, debugOn) << "text";  debugOn: ReplicationDebugOn()
// read by the caller, once per operation.
#define NET_TRACE(level, module, debugOn)                                                                \
    if (!((level) > 1 || (debugOn))) {                                                                   \
    } else                                                                                               \
        SelectiveLogProxy((level), (module), *OruTSP::get(TSP_RequestID), GetFunctionName(__PRETTY_FUNCTION__), \
                          __LINE__)
