// Trace lines of the replication runtime. A SelectiveLogProxy record below
// level 2 is written only when "ReplicationCommunicationDebug" is 1; these
// helpers test the switch first, so a silent trace costs no formatting and,
// while the configuration is unchanged, no lookup. Safe from any thread.
#pragma once
#include "foundation/LogProxy.h"

// True when "Replication"/"ReplicationCommunicationDebug" is 1; read again
// whenever the host configuration changed.
bool ReplicationDebugOn();

// NET_TRACE(level, module, debugOn) << "text";  debugOn: ReplicationDebugOn()
// read by the caller, once per operation.
#define NET_TRACE(level, module, debugOn)                                                                \
    if (!((level) > 1 || (debugOn))) {                                                                   \
    } else                                                                                               \
        SelectiveLogProxy((level), (module), *OruTSP::get(TSP_RequestID), GetFunctionName(__PRETTY_FUNCTION__), \
                          __LINE__)
