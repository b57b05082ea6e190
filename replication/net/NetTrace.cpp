#include "replication/net/NetTrace.h"

#include <atomic>
#include <string>

#include "host/ConfigReader.h"
#include "host/ConfigVersion.h"

bool ReplicationDebugOn()
{
    // (configuration version << 1) | switch, as one word so that a reader never
    // pairs a version with another version's answer. Version numbers start at
    // 1, so 0 means "not read yet".
    static std::atomic<uint64_t> s_cached{0};
    const uint64_t version = ConfigReaderVersion::Current();
    const uint64_t cached = s_cached.load(std::memory_order_acquire);
    if ((cached >> 1) == version) {
        return (cached & 1) != 0;
    }
    static const std::string kSection = "Replication";
    static const std::string kKey = "ReplicationCommunicationDebug";
    const bool on = ConfigReader::getInt(kSection, kKey, true) == 1;
    // Stamped with the version read before the lookup: a change racing with
    // it makes the next call read again.
    s_cached.store((version << 1) | (on ? 1 : 0), std::memory_order_release);
    return on;
}
