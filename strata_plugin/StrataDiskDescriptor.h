// The disk descriptor of one Strata volume: attaches a snapshot (backup) or a
// volume (restore) through the storage tools, serves block I/O at the data-area
// offset, produces changed ranges from bitmap volumes, checks health and cleans
// what an interrupted task left behind. Created by the plug-in's C entry and
// owned by the host through shared_ptr<CDiskDescriptor>; driven by one task
// thread; every operation may block that thread for minutes.
#pragma once
#include <boost/function.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"

class StrataApi;
class StrataBitmapHandle;
class DiskDataPersistence;
class DiskMessageNotify;

// Marker passed on in resultText when ranges were produced but a bitmap volume
// was left behind for leftover cleaning.
inline constexpr char DETACH_DELETE_BITMAP_FAILED_MARKER[] = "DETACH_DELETE_BITMAP_FAILED";

class StrataDiskDescriptor : public CDiskDescriptor {
public:
    StrataDiskDescriptor(const uint64_t& diskSizeInBytes, boost::uuids::uuid guid, std::string str4 = "",
                         std::string changeIdValue = "", std::string diskKeyValue = "", std::string diskNameValue = "",
                         boost::uuids::uuid uuid9 = boost::uuids::uuid());
    ~StrataDiskDescriptor() override;

    EnvProxyResult OpenDisk(bool readOnly) override;
    EnvProxyResult OpenDisk(const std::shared_ptr<CSnapshotID>& snapshot, bool readOnly) override;
    // Closes the device, removes a restore's access key and detaches. The key is
    // removed under the resolved path of the open or, when the device never
    // opened, under the path the attach gave; with neither (no successful attach
    // by this descriptor) no key script runs. Detach runs whatever came before.
    EnvProxyResult CloseDisk() override;
    EnvProxyResult FlushDisk() override;
    bool CheckHealthStatus(std::string& errorText) override;
    EnvProxyResult GetDirtyRanges(const std::shared_ptr<CSnapshotID>& snapshot, const std::string& previousChangeId,
                                  DirtyRanges& ranges, uint64_t startOffset, uint64_t length) override;
    EnvProxyResult CreateSnapshot(const std::string& name, std::shared_ptr<CSnapshotID>& snapshot) override;
    EnvProxyResult DeleteSnapshot(std::shared_ptr<CSnapshotID>& snapshot, bool flag) override;
    EnvProxyResult ReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer) override;
    EnvProxyResult AioReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer, io_context_t ctx) override;
    EnvProxyResult MmapReadBlocks(const uint64_t& offset, const uint64_t& length, char*& mapped) override;
    EnvProxyResult WriteBlocks(const uint64_t& offset, uint64_t& length, char* buffer) override;
    EnvProxyResult CleanLeftovers(const std::string& cachedData) override;
    void ReleaseBufferCache(const uint64_t& offset, const uint64_t& length) override;
    using CDiskDescriptor::CloseDisk;
    using CDiskDescriptor::CreateSnapshot;
    using CDiskDescriptor::DeleteSnapshot;
    using CDiskDescriptor::GetDirtyRanges;
    using CDiskDescriptor::OpenDisk;
    using CDiskDescriptor::ReadBlocks;
    using CDiskDescriptor::WriteBlocks;

    // Slots after the base class's last one, in this order.
    virtual EnvProxyResult InitializeDiskInfo(const VolumeParas& paras);
    virtual int32_t RegKeyForVolume(const std::string& devicePath);
    virtual int32_t UnRegKeyForVolume(const std::string& devicePath);

    bool ParseBackupRarams(const VolumeParas& paras);
    bool ParseRestoreRarams(const VolumeParas& paras);
    EnvProxyResult InitComponents(const VolumeParas& paras);
    static std::string StripIPUrl(const std::string& field);

    int RetryOp(boost::function<int()> op, const std::string& opName);
    EnvProxyResult CheckChangeID(const std::string& previousChangeId, const std::string& currentChangeId);
    bool CheckAgentRunning();
    EnvProxyResult CleanLeftoversForBackup();
    EnvProxyResult CleanLeftoversForRestore();
    void DetachVolume(std::string& name, std::string& failedName, EnvProxyResult& result);
    void DeleteBitmapVolume(std::string& name, std::string& failedName, EnvProxyResult& result);
    void SendAlarm(uint64_t code, const std::string& p1, const std::string& p2);

    // Read-only views for the host's diagnostics and tests.
    const std::string& GetManagerIp() const { return managerIp; }
    const std::string& GetPoolId() const { return poolId; }
    const std::string& GetSnapshotName() const { return snapshotName; }
    const std::string& GetTargetVolumeName() const { return targetVolumeName; }
    uint64_t GetVolumeOffsetSize() const { return volumeOffsetSize; }
    bool IsBackup() const { return isBackup; }
    std::shared_ptr<DiskDataPersistence> GetDataPersistence() const { return dataPersistence; }

    // Seconds between attempts of RetryOp.
    static int32_t m_retryInterval;
    // The agent program whose presence the health check tests. Tests and the
    // demo, which run without an installed agent, point it into their own root
    // with ("General", "StrataAgentPath"); product configurations never set it.
    static const char AGENT_PROGRAM_PATH[];

private:
    // Helpers of the operations named in their records (`caller`).
    EnvProxyResult OpenAttached(const char* caller, const std::string& name, const char* cacheKey, int32_t flags,
                                bool registerKey);
    EnvProxyResult CleanLeftoversFor(const char* caller, const char* volumeKey);
    // The body of CleanLeftovers; records carry `caller`, the entry's name.
    EnvProxyResult CleanCachedData(const char* caller, const std::string& cachedData);
    bool RemoveLeftoverKey(const char* caller);
    void RemoveOwnKey(const char* caller);
    void SendEvent(int32_t type, uint64_t code, const std::vector<std::string>& params);

    std::string managerIp;
    std::string poolId;
    std::string snapshotName;
    std::string targetVolumeName;
    uint64_t volumeOffsetSize = 4096;
    std::shared_ptr<StrataApi> strataApi;
    std::shared_ptr<StrataBitmapHandle> bitmapHandle;
    bool isBackup = true;
    DiskMessageNotify* msgNotify = nullptr;
    std::shared_ptr<DiskDataPersistence> dataPersistence;
    // The attach path under which this descriptor registered the target's key
    // (the cached data names the volume, not the path).
    std::string m_keyDevicePath;
};

// The plug-in's C entry: 0 and a new descriptor, or -1 with `disk` unchanged.
extern "C" __attribute__((visibility("default"))) int CreateDiskDescriptor(const VolumeParas& paras,
                                                                          std::shared_ptr<CDiskDescriptor>& disk);
