#include "storage_access/StrataBitmapHandle.h"

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <vector>

#include "foundation/EnvProxyResult.h"
#include "foundation/LogAsCaller.h"
#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"

namespace {
const char MODULE_NAME[] = "StrataPlugin";
const uint64_t BITMAP_READ_PIECE = 4096;
const uint64_t MIB = 1048576ULL;
// An event that cannot be built or sent (allocation, the sink) is logged, never
// thrown: a lost event must not turn into a lost clean-up step.
void SendEvent(DiskMessageNotify* sink, int32_t type, uint64_t code, const std::vector<std::string>& params)
{
    try {
        SendDiskEvent(sink, type, code, params);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Send event " << code << " failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Send event " << code << " failed. Unknown exception.";
    }
}

// Closes the bitmap reader on every way out of the walk, exceptions included.
class CloseOnExit {
public:
    explicit CloseOnExit(DiskDeviceFile& file) : m_file(file) {}
    CloseOnExit(const CloseOnExit&) = delete;
    CloseOnExit& operator=(const CloseOnExit&) = delete;
    ~CloseOnExit()
    {
        int32_t closeRet = m_file.Close();
        if (closeRet != DISK_DEVICE_OK) {
            LOG_STREAM(4) << "close disk device file failed. Err code is " << closeRet;
        }
    }

private:
    DiskDeviceFile& m_file;
};
}  // namespace

int32_t StrataBitmapHandle::m_retryInterval = 30;

StrataBitmapHandle::StrataBitmapHandle(const std::string& mgr, const std::string& poolId, bool /*isBackup*/,
                                       const std::string& volumeId, std::shared_ptr<CachedTaskData> cache,
                                       DiskMessageNotify* sink, const AbortFunc& abort)
    : StrataBitmapHandle(mgr, std::make_shared<StrataApi>(mgr, poolId), std::make_shared<DiskDeviceFile>(), volumeId,
                         std::move(cache), sink, abort)
{
}

StrataBitmapHandle::StrataBitmapHandle(const std::string& mgr, std::shared_ptr<StrataApi> api,
                                       std::shared_ptr<DiskDeviceFile> bitmapReader, const std::string& volumeId,
                                       std::shared_ptr<CachedTaskData> cache, DiskMessageNotify* sink,
                                       const AbortFunc& abort)
    : mgrIp(mgr),
      bitmapFile(std::move(bitmapReader)),
      strataApi(std::move(api)),
      taskVolumeID(volumeId),
      dataPersistence(std::move(cache)),
      eventSink(sink),
      abortFn(abort)
{
}

StrataBitmapHandle::~StrataBitmapHandle() = default;

std::string StrataBitmapHandle::GetBitmapVolName()
{
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    return baseName + "_" + "0" + "_" + std::to_string(micros) + "_BITMAP";
}

int32_t StrataBitmapHandle::RetryOp(const std::function<int32_t()>& op, const std::string& opName)
{
    if (!op) {
        LOG_STREAM(4) << opName << " failed !";
        return -1;
    }
    int32_t ret = -1;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (attempt > 1) {
            oru_sleep(static_cast<unsigned int>(m_retryInterval));
            LOG_STREAM(3) << opName << " failed ! Retry " << (attempt - 1) << " time.";
        }
        ret = op();
        if (ret == 0 || ret == STRATA_SNAPSHOT_NOT_EXIST || ret == STRATA_TASK_ABORTED) {
            return ret;
        }
    }
    LOG_STREAM(4) << opName << " failed, errCode is " << ret;
    return ret;
}

int32_t StrataBitmapHandle::GetDirtyRanges(const StrataDirtyRangesParams& params, DirtyRanges& ranges,
                                           std::string& errStr)
{
    // The barrier of the entry: what threw is cleaned up like any failed step.
    std::string volName;
    try {
        return ComputeDirtyRanges(__PRETTY_FUNCTION__, params, ranges, errStr, volName);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Get dirty ranges failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Get dirty ranges failed. Unknown exception.";
    }
    try {
        errStr = "Unknown error!";
        if (!volName.empty()) {
            std::string scratch;
            DeleteAndDetachapVolume(volName, scratch);
        }
    } catch (...) {
        LOG_STREAM(4) << "Clean-up of bitmap volume " << volName << " failed.";
    }
    return -1;
}

int32_t StrataBitmapHandle::ComputeDirtyRanges(const char* caller, const StrataDirtyRangesParams& params, DirtyRanges& ranges,
                                               std::string& errStr, std::string& volName)
{
    LOG_STREAM_AS(1, caller) << " startOffset=" << params.offset << ", diskHeadLen=" << params.diskHeadLen
                  << ", volumeSize=" << params.diskSize;
    BitmapVolumeInfo info;
    info.snapNameFrom = params.parentVolumeID;
    info.snapNameTo = params.volumeID;
    baseName = params.volumeID;
    info.volName = GetBitmapVolName();
    volName = info.volName;
    info.isRestore = ranges.IsRestore();
    diskHeadLen = params.diskHeadLen;
    volumeSize = params.diskSize;

    std::string scratch;
    int32_t ret = CreateAndAttachBitmapVolume(info, errStr);
    LOG_STREAM_AS(1, caller) << "error code from strata is " << ret;
    if (ret != 0) {
        LOG_STREAM_AS(4, caller) << "create or open bitmap failed.";
        DeleteAndDetachapVolume(info.volName, scratch);
        return ret;
    }
    if (info.snapNameFrom.empty()) {
        LOG_STREAM_AS(2, caller) << "parent snapshot not exist,will do Full Backup.";
        ranges.UseFull();
    }
    int32_t calc = CalculateDirtyRange(params.offset, ranges);
    if (calc != 0) {
        LOG_STREAM_AS(4, caller) << "Caculate dirty range  failed.";
        DeleteAndDetachapVolume(info.volName, scratch);
        return calc;
    }
    DeleteAndDetachapVolume(info.volName, scratch);
    if (scratch == DELETE_BITMAP_FAILED || scratch == DETACH_BITMAP_FAILED) {
        errStr = DETACH_DELETE_BITMAP_FAILED;
    }
    return 0;
}

int32_t StrataBitmapHandle::CreateAndAttachBitmapVolume(BitmapVolumeInfo& info, std::string& errStr)
{
    LOG_STREAM(1) << "Create and Attach bimtmap volume " << info.volName;
    // Recorded before anything exists, so a crash at any later point leaves a
    // name that leftover cleaning can act on.
    dataPersistence->AddObject(CacheKey::IP, mgrIp);
    dataPersistence->AddObject(CacheKey::POOL_ID, strataApi->GetPoolID());
    dataPersistence->AppendArrayElement(CacheKey::BITMAP_VOLUMES_CREATED, info.volName);
    dataPersistence->AppendArrayElement(CacheKey::BITMAP_VOLUMES_ATTACHED, info.volName);

    auto create = [this, &info, &errStr]() { return strataApi->CreateBitmapVolume(info, errStr, abortFn); };
    int32_t ret = RetryOp(create, "CreateBitmapVol");
    if (ret == STRATA_SNAPSHOT_NOT_EXIST && !info.isRestore) {
        info.snapNameFrom.clear();
        SendEvent(eventSink, EVENT_TYPE_NOTICE, EVENT_USE_FULL_BITMAP, {taskVolumeID});
        ret = RetryOp(create, "CreateBitmapVol");
    }
    if (ret != 0) {
        LOG_STREAM(4) << "create diffrent bitmap failed";
        return ret;
    }
    ret = RetryOp([this, &info, &errStr]() { return strataApi->AttachVolume(info.volName, bitmapDevPath, errStr); },
                  "AttachVolume");
    if (ret != 0) {
        LOG_STREAM(4) << "create diffrent bitmap failed";
        return ret;
    }
    // A negative block size would sign-extend to an absurd chunk; treat it like 0.
    if (info.blockSize <= 0) {
        errStr = "Unknown error! ";
        LOG_STREAM(4) << "data trunk size is zero.";
        return -1;
    }
    chunkSize = static_cast<uint64_t>(info.blockSize);
    bitmapSizeInBytes = static_cast<uint64_t>(static_cast<int64_t>(info.snapSize)) * MIB;
    return 0;
}

bool StrataBitmapHandle::ByteRange(uint64_t k, uint64_t span, uint64_t headLen, uint64_t diskSize,
                                   DirtyRange& range)
{
    // Volume coordinates of the byte's span, then shifted by the header.
    const uint64_t volStart = k * span;
    const uint64_t volEnd = volStart + span;
    if (volEnd <= headLen) {
        return false;  // only header bytes
    }
    const uint64_t start = volStart > headLen ? volStart - headLen : 0;
    uint64_t end = volEnd - headLen;
    if (end > diskSize) {
        end = diskSize;
    }
    if (start >= end) {
        return false;
    }
    range = DirtyRange(start, end - start);
    return true;
}

int32_t StrataBitmapHandle::CalculateDirtyRange(uint64_t startOffset, DirtyRanges& ranges)
{
    const uint64_t span = 8 * chunkSize;
    if (span == 0) {
        LOG_STREAM(4) << "data trunk size is zero.";
        return -1;
    }
    uint64_t startAddr = startOffset / span;
    LOG_STREAM(1) << " startOffset=" << startOffset << ", startAddr=" << startAddr << ", chunkSize=" << chunkSize
                  << ", diskSize=" << volumeSize << ", diskHeadLen=" << diskHeadLen
                  << ", bitmapSizeInBytes=" << bitmapSizeInBytes;
    if (startOffset % span != 0) {
        LOG_STREAM(4) << " startOffset" << startOffset << " can not be divided by eight blocks size= " << chunkSize;
    }
    const uint64_t endAddr = (span + volumeSize + diskHeadLen - 1) / span;
    LOG_STREAM(1) << "endAddr=" << endAddr;

    if (bitmapFile->Open(bitmapDevPath, O_RDONLY, endAddr) != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Open disk device[" << bitmapDevPath << "] file failed.";
        return -1;
    }
    CloseOnExit closer(*bitmapFile);
    StrataSteps::StepTimer readTime("bitmap_read");
    try {
        return WalkBitmap(__PRETTY_FUNCTION__, startOffset, endAddr, ranges);
    } catch (const std::exception& e) {
        // The piece buffer or the range set could not grow: no partial set is success.
        LOG_STREAM(4) << "Read bitmap failed. Exception is " << e.what();
    }
    return -1;
}

int32_t StrataBitmapHandle::WalkBitmap(const char* caller, uint64_t startOffset, uint64_t endAddr, DirtyRanges& ranges)
{
    const uint64_t span = 8 * chunkSize;
    uint64_t startAddr = startOffset / span;
    int32_t result = 0;
    std::vector<unsigned char> buffer(BITMAP_READ_PIECE);
    while (startAddr < endAddr && result == 0) {
        std::memset(buffer.data(), 0, buffer.size());
        uint64_t len = BITMAP_READ_PIECE;
        if (bitmapFile->Read(startAddr, len, reinterpret_cast<char*>(buffer.data())) != DISK_DEVICE_OK) {
            result = -1;
            LOG_STREAM_AS(4, caller) << "Read disk device file failed.";
            break;
        }
        for (uint64_t i = 0; i < len && i < BITMAP_READ_PIECE; ++i) {
            if (!AddDitryRange(startOffset, endAddr, startAddr, buffer[i], ranges)) {
                result = -1;
                LOG_STREAM_AS(4, caller) << "AddDitryRange failed.";
                break;
            }
            ++startAddr;
        }
        if (len == 0) {
            // A read that yields nothing would never end the walk.
            result = -1;
            LOG_STREAM_AS(4, caller) << "Read disk device file failed.";
        }
    }
    return result;
}

bool StrataBitmapHandle::AddDitryRange(uint64_t /*startOffset*/, uint64_t /*endAddr*/, uint64_t byteIndex,
                                       unsigned byteValue, DirtyRanges& ranges)
{
    if (byteValue == 0) {
        return true;
    }
    // Every byte is placed in disk coordinates from its own index; the start
    // offset only decides where the walk begins.
    DirtyRange range;
    if (!ByteRange(byteIndex, 8 * chunkSize, diskHeadLen, volumeSize, range)) {
        return true;
    }
    if (!ranges.AddRange(range)) {
        LOG_STREAM(4) << "AddRange failed.";
        return false;
    }
    return true;
}

int32_t StrataBitmapHandle::DeleteAndDetachapVolume(const std::string& volName, std::string& errStr)
{
    LOG_STREAM(1) << "Delete and Detach bitmap volume " << volName;
    int32_t result = 0;
    int32_t ret = RetryOp([this, &volName, &errStr]() { return strataApi->DetachVolume(volName, errStr); },
                          "DetachVolume");
    if (ret != 0) {
        result = -1;
        LOG_STREAM(4) << "detach volume[" << volName << "] failed.";
        errStr = DETACH_BITMAP_FAILED;
        SendEvent(eventSink, EVENT_TYPE_RAISED, EVENT_DETACH_FAILED,
                      {mgrIp, volName, errStr, strataApi->GetPoolID()});
    } else {
        dataPersistence->RemoveArrayElement(CacheKey::BITMAP_VOLUMES_ATTACHED, volName);
    }
    ret = RetryOp([this, &volName, &errStr]() { return strataApi->DeleteBitmapVolume(volName, errStr); },
                  "DeleteBitmapVolume");
    if (ret != 0) {
        LOG_STREAM(4) << "delete volume[" << volName << "] failed.";
        errStr = DELETE_BITMAP_FAILED;
        SendEvent(eventSink, EVENT_TYPE_RAISED, EVENT_DELETE_BITMAP_FAILED, {mgrIp, volName, errStr});
        return -1;
    }
    dataPersistence->RemoveArrayElement(CacheKey::BITMAP_VOLUMES_CREATED, volName);
    return result;
}
