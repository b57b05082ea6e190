#include "replication/net/NetTrace.h"

#include <string>

#include "host/ConfigReader.h"

std::atomic<uint64_t> net_trace_detail::g_offAtVersion{~uint64_t{0}};

namespace {
// (configuration version << 1) | switch, as one word so that a reader never
// pairs a version with another version's answer; 0: not read yet (version
// numbers start at 1). Spares the lookup while the switch is on or a file is
// set and the version is unchanged.
std::atomic<uint64_t> s_cached{0};
}  // namespace

bool net_trace_detail::ReadDebugSwitch()
{
    const uint64_t version = ConfigReaderVersion::Current();
    const uint64_t cached = s_cached.load(std::memory_order_acquire);
    bool on = false;
    if ((cached >> 1) == version) {
        on = (cached & 1) != 0;
    } else {
        static const std::string kSection = "Replication";
        static const std::string kKey = "ReplicationCommunicationDebug";
        on = ConfigReader::getInt(kSection, kKey, true) == 1;
        // Stamped with the version read before the lookup: a change racing
        // with it makes the next call read again.
        s_cached.store((version << 1) | (on ? 1 : 0), std::memory_order_release);
    }
    // Only an off answer lets the inline test skip the call; a stale version
    // here never matches the current one.
    g_offAtVersion.store(on ? ~uint64_t{0} : version, std::memory_order_release);
    return on;
}
