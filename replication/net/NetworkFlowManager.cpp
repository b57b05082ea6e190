#include "replication/net/NetworkFlowManager.h"

#include <cmath>
#include <exception>
#include <limits>
#include <new>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "NetworkFlowManager";
constexpr uint64_t kKB = 1024;
constexpr unsigned kBlockShift = 21;
}  // namespace

const uint64_t NetworkFlowManager::kBlockSize;
const uint64_t NetworkFlowManager::kFastUnitMs;

// The instance pointer is guarded by s_mutex, which also guards the map.
std::mutex NetworkFlowManager::s_mutex;
NetworkFlowManager* NetworkFlowManager::s_networkFlowManager = nullptr;

NetworkFlowManager* NetworkFlowManager::GetInstance()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_networkFlowManager == nullptr) {
        try {
            s_networkFlowManager = new NetworkFlowManager();
        } catch (const std::exception& e) {
            LOG_STREAM(4) << "New NetworkFlowManager failed.Exception is " << e.what();
            return nullptr;
        }
    }
    return s_networkFlowManager;
}

bool NetworkFlowManager::RegisterRegionBandwidth(ReplicationMaxBandwidth& rec)
{
    LOG_STREAM(1) << "Enter RegisterRegionBandwidth";
    std::shared_ptr<ReplicateBand> band;
    try {
        band = std::make_shared<ReplicateBand>();
    } catch (const std::exception&) {
        LOG_STREAM(4) << "new pRegion failed";
        return false;
    }
    const uint64_t maxKB = std::numeric_limits<uint64_t>::max() / kKB;
    if (rec.bandwidth != 0 && rec.bandwidth > maxKB) {
        LOG_STREAM(3) << "The input bandwidth:" << rec.bandwidth << " is out of range. ";
        rec.bandwidth = maxKB - 1;
    }
    band->noLimit = rec.bandwidth == 0;
    band->maxBandwidth = rec.bandwidth * kKB;
    if (band->maxBandwidth > kBlockSize) {
        band->unitTime = kFastUnitMs;
        band->blocksPerUnitTime = band->maxBandwidth >> kBlockShift;
    } else if (band->maxBandwidth != 0) {
        // The time one block takes at this rate.
        band->unitTime = static_cast<uint64_t>(
            std::ceil(static_cast<double>(kBlockSize) * 1000.0 / static_cast<double>(band->maxBandwidth)));
        band->blocksPerUnitTime = 1;
    }
    band->sentBlocks = 0;
    LOG_STREAM(1) << "the RegionID is:" << rec.regionId << ",region is not limited:" << band->noLimit
                  << ",maxbandwidth is:" << band->maxBandwidth << ",unitTime is:" << band->unitTime
                  << ",blocksPerUnitTime is:" << band->blocksPerUnitTime;
    std::lock_guard<std::mutex> lock(s_mutex);
    m_regionBands[rec.regionId] = band;
    return true;
}

bool NetworkFlowManager::UnRegisterRegionBandwidth(ReplicationMaxBandwidth& rec)
{
    LOG_STREAM(1) << "Enter UnRegisterRegionBandwidth";
    std::lock_guard<std::mutex> lock(s_mutex);
    if (m_regionBands.erase(rec.regionId) == 0) {
        LOG_STREAM(3) << "the regionID is not registered" << rec.regionId;
    }
    return true;
}

bool NetworkFlowManager::SendControl(const std::string& regionId, uint64_t& waitMs)
{
    if (regionId.empty()) {
        LOG_STREAM(1) << "no regionID set, no network flow control";
        return true;
    }
    return GetRegionAvailable(regionId, waitMs);
}

bool NetworkFlowManager::RegionExist(const std::string& regionId, std::shared_ptr<ReplicateBand>& band)
{
    LOG_STREAM(0) << "Enter RegionExist";
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto found = m_regionBands.find(regionId);
        if (found != m_regionBands.end()) {
            band = found->second;
            return true;
        }
    }
    LOG_STREAM(1) << "the regionID is not registered" << regionId;
    band.reset();
    return false;
}

bool NetworkFlowManager::GetRegionAvailable(const std::string& regionId, uint64_t& waitMs)
{
    LOG_STREAM(0) << "Enter GetRegionAvailable";
    std::shared_ptr<ReplicateBand> band;
    if (!RegionExist(regionId, band)) {
        LOG_STREAM(1) << "regionID not registered,regionID:" << regionId << ",no network flow control";
        return true;
    }
    if (LogLevelEnabled(0)) {
        std::lock_guard<std::mutex> lock(band->mutex);
        LOG_STREAM(0) << "duarion is:" << band->unitTimer.Duration()
                      << ",maxBandwidth is:" << (band->maxBandwidth / kKB) << " KB (0 indicates no limit).";
    }
    if (band->noLimit) {
        LOG_STREAM(0) << "regionID noLimit is true,regionID:" << regionId << ",no network flow control";
        return true;
    }
    std::lock_guard<std::mutex> lock(band->mutex);
    const uint64_t elapsed = band->unitTimer.Duration();
    if (elapsed >= band->unitTime) {
        band->unitTimer.Reset();
        band->sentBlocks = 1;
        return true;
    }
    if (band->sentBlocks < band->blocksPerUnitTime) {
        ++band->sentBlocks;
        return true;
    }
    waitMs = band->unitTime - elapsed;
    return false;
}

void NetworkFlowManager::GetRegionBandwidth(const std::string& regionId, uint64_t& bandwidthKB)
{
    std::shared_ptr<ReplicateBand> band;
    if (!RegionExist(regionId, band)) {
        LOG_STREAM(1) << "regionID not registered,regionID:" << regionId << ",no network flow control";
        bandwidthKB = 0;
        return;
    }
    if (band->noLimit) {
        LOG_STREAM(1) << "regionID noLimit is true,regionID:" << regionId << ",no network flow control";
        bandwidthKB = 0;
        return;
    }
    std::lock_guard<std::mutex> lock(band->mutex);
    bandwidthKB = band->maxBandwidth / kKB;
}
