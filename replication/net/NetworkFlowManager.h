// Per-region bandwidth budgets for replication sends. A sender asks
// SendControl once per 2 MiB block and, when refused, waits the returned
// milliseconds before asking again. Fast regions get a 1000 ms unit holding
// several blocks, slow ones a longer unit holding one. Unregistered regions and
// bandwidth 0 are not limited. Every member is safe from any thread; grants of
// one region are serialized by its budget's own mutex.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/Timer.h"

struct ReplicationMaxBandwidth {
    std::string regionId;
    uint64_t bandwidth = 0;  // KB/s (1 KB = 1024 bytes); 0: no limit
};

struct ReplicateBand {
    Oru::Timer unitTimer;
    uint64_t maxBandwidth = 0;  // bytes/s
    std::mutex mutex;
    uint64_t unitTime = 0;  // ms
    uint64_t blocksPerUnitTime = 0;
    uint64_t sentBlocks = 0;
    bool noLimit = true;
};

class NetworkFlowManager {
public:
    static const uint64_t kBlockSize = 2097152;
    static const uint64_t kFastUnitMs = 1000;

    static NetworkFlowManager* GetInstance();
    // Tests and tools may own a manager of their own.
    NetworkFlowManager() = default;
    virtual ~NetworkFlowManager() = default;

    // Creates or replaces the region's budget; an oversized bandwidth is
    // clamped in rec.
    bool RegisterRegionBandwidth(ReplicationMaxBandwidth& rec);
    bool UnRegisterRegionBandwidth(ReplicationMaxBandwidth& rec);
    // True: send one block now. False: wait waitMs (written only then).
    bool SendControl(const std::string& regionId, uint64_t& waitMs);
    bool GetRegionAvailable(const std::string& regionId, uint64_t& waitMs);
    bool RegionExist(const std::string& regionId, std::shared_ptr<ReplicateBand>& band);
    // KB/s of the region; 0 when unregistered or unlimited.
    void GetRegionBandwidth(const std::string& regionId, uint64_t& bandwidthKB);

private:
    std::map<std::string, std::shared_ptr<ReplicateBand>> m_regionBands;

    // Guards the map and the creation of the instance.
    static std::mutex s_mutex;
    static NetworkFlowManager* s_networkFlowManager;
};
