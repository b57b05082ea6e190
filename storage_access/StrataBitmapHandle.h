// Turns the storage's differential bitmap between two snapshots into a changed-
// range set: names, creates, attaches and reads a temporary bitmap volume, then
// detaches and deletes it, recording every step in the task's cached data so a
// crashed task can be cleaned up, and raising events when the clean-up fails.
// Owned by one descriptor; serves one task on one thread (calls block for the
// whole storage interaction).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/CachedTaskData.h"
#include "foundation/VolumeParas.h"
#include "storage_access/DiskDeviceFile.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/StrataApi.h"

// What the descriptor asks of one changed-range computation.
struct StrataDirtyRangesParams {
    std::string volumeID;        // the snapshot (backup) or target volume (restore)
    std::string parentVolumeID;  // the previous backup's snapshot; empty: everything
    uint64_t offset = 0;         // start offset in bytes
    uint64_t diskSize = 0;       // bytes of the disk's data area
    uint64_t diskHeadLen = 0;    // bytes of header before the data on the volume

    void _SetVolumeID(const std::string& v) { volumeID = v; }
    void _SetParentVolumeID(const std::string& v) { parentVolumeID = v; }
    void _SetOffset(uint64_t v) { offset = v; }
    void _SetDiskSize(uint64_t v) { diskSize = v; }
    void _SetDiskHeadLen(uint64_t v) { diskHeadLen = v; }
};

// Texts placed in the error text when the clean-up of a bitmap volume failed.
inline constexpr char DETACH_BITMAP_FAILED[] = "DETACH_BITMAP_FAILED";
inline constexpr char DELETE_BITMAP_FAILED[] = "DELETE_BITMAP_FAILED";
inline constexpr char DETACH_DELETE_BITMAP_FAILED[] = "DETACH_DELETE_BITMAP_FAILED";

class StrataBitmapHandle {
public:
    StrataBitmapHandle(const std::string& mgrIp, const std::string& poolId, bool isBackup,
                       const std::string& taskVolumeID, std::shared_ptr<CachedTaskData> dataPersistence,
                       DiskMessageNotify* eventSink, const AbortFunc& abortFn);
    // The same with the storage tool wrapper and the bitmap reader supplied (tests).
    StrataBitmapHandle(const std::string& mgrIp, std::shared_ptr<StrataApi> api,
                       std::shared_ptr<DiskDeviceFile> bitmapReader, const std::string& taskVolumeID,
                       std::shared_ptr<CachedTaskData> dataPersistence, DiskMessageNotify* eventSink,
                       const AbortFunc& abortFn);
    virtual ~StrataBitmapHandle();

    // 0 with `ranges` filled, or the failing step's code. On success errStr is
    // DETACH_DELETE_BITMAP_FAILED when the bitmap volume was left behind.
    virtual int32_t GetDirtyRanges(const StrataDirtyRangesParams& params, DirtyRanges& ranges, std::string& errStr);

    int32_t CreateAndAttachBitmapVolume(BitmapVolumeInfo& info, std::string& errStr);
    int32_t DeleteAndDetachapVolume(const std::string& volName, std::string& errStr);
    int32_t CalculateDirtyRange(uint64_t startOffset, DirtyRanges& ranges);
    bool AddDitryRange(uint64_t startOffset, uint64_t endAddr, uint64_t byteIndex, unsigned byteValue,
                       DirtyRanges& ranges);
    int32_t RetryOp(const std::function<int32_t()>& op, const std::string& opName);
    std::string GetBitmapVolName();

    // The disk range [start, start + size) that bitmap byte `k` covers, in disk
    // coordinates, clipped to the disk; false when the byte covers only header
    // (or lies past the disk).
    static bool ByteRange(uint64_t k, uint64_t span, uint64_t diskHeadLen, uint64_t volumeSize, DirtyRange& range);

    // Seconds between attempts of RetryOp.
    static int32_t m_retryInterval;

private:
    // GetDirtyRanges within its barrier (records carry `caller`); `volName` names the bitmap volume once it has a name.
    int32_t ComputeDirtyRanges(const char* caller, const StrataDirtyRangesParams& params, DirtyRanges& ranges, std::string& errStr,
                               std::string& volName);
    // The read loop of CalculateDirtyRange over bitmap bytes [startOffset / span, endAddr).
    int32_t WalkBitmap(const char* caller, uint64_t startOffset, uint64_t endAddr, DirtyRanges& ranges);

    std::string mgrIp;
    uint64_t chunkSize = 0;
    uint64_t diskHeadLen = 0;
    uint64_t volumeSize = 0;
    uint64_t bitmapSizeInBytes = 0;
    std::string baseName;
    std::shared_ptr<DiskDeviceFile> bitmapFile;
    std::shared_ptr<StrataApi> strataApi;
    std::string bitmapDevPath;
    std::string taskVolumeID;
    std::shared_ptr<CachedTaskData> dataPersistence;
    DiskMessageNotify* eventSink;
    AbortFunc abortFn;
};
