// Opening, block I/O and closing of the Strata disk descriptor.
#include <fcntl.h>

#include "foundation/LogAsCaller.h"
#include "foundation/LogProxy.h"
#include "host/CommandChannel.h"
#include "host/RootPath.h"
#include "storage_access/DiskDeviceFile.h"
#include "storage_access/StrataApi.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "strata_plugin/StrataDiskDescriptor.h"

namespace {
const char MODULE_NAME[] = "StrataPlugin";
const int32_t BACKUP_OPEN_FLAGS = O_DIRECT | O_RDONLY;  // 16384
const int32_t RESTORE_OPEN_FLAGS = O_WRONLY;           // 1
const char TRANSFER_MODE_LAN_FREE[] = "LAN-Free";
const char KEY_SCRIPT[] = "script/reg_qs.sh";
const char NO_DEVICE_PATH_TEXT[] = "The storage gave no device path.";
}  // namespace

EnvProxyResult StrataDiskDescriptor::OpenDisk(bool readOnly)
{
    if (readOnly) {
        LOG_STREAM(4) << "Open disk for restore can not use read only mode.";
        return EnvProxyResult(ENV_PROXY_OPEN_DISK_FAILED);
    }
    isBackup = false;
    return OpenAttached(__PRETTY_FUNCTION__, targetVolumeName, CacheKey::DATA_VOLUMES_ATTACHED, RESTORE_OPEN_FLAGS, true);
}

EnvProxyResult StrataDiskDescriptor::OpenDisk(const std::shared_ptr<CSnapshotID>& /*snapshot*/, bool /*readOnly*/)
{
    isBackup = true;
    return OpenAttached(__PRETTY_FUNCTION__, snapshotName, CacheKey::SNAPSHOT_VOLUMES_ATTACHED, BACKUP_OPEN_FLAGS, false);
}

EnvProxyResult StrataDiskDescriptor::OpenAttached(const char* caller, const std::string& name, const char* cacheKey, int32_t flags,
                                                  bool registerKey)
{
    // The name is cached before the attach so that a crash during it leaves a
    // trace for leftover cleaning.
    dataPersistence->AddObject(CacheKey::IP, managerIp);
    dataPersistence->AddObject(CacheKey::POOL_ID, strataApi->GetPoolID());
    dataPersistence->AppendArrayElement(cacheKey, name);

    std::string devicePath;
    std::string errorText;
    StrataApi* api = strataApi.get();
    int ret = RetryOp([api, &name, &devicePath, &errorText]() { return api->AttachVolume(name, devicePath, errorText); },
                      "AttachVolume");
    if (ret != 0) {
        LOG_STREAM_AS(4, caller) << "Attach volume failed.";
        dataPersistence->RemoveArrayElement(cacheKey, name);
        EnvProxyResult result(ENV_PROXY_OPEN_DISK_FAILED);
        result.AddDetail(MSG_OPEN_DISK_FAILED, getDiskName(), errorText);
        return result;
    }
    if (devicePath.empty()) {
        // "Already attached" may come without the device node: there is nothing to
        // open, and the attachment stays recorded for CloseDisk or leftover cleaning.
        LOG_STREAM_AS(4, caller) << "Attach volume[" << name << "] gave no device path.";
        EnvProxyResult result(ENV_PROXY_OPEN_DISK_FAILED);
        result.AddDetail(MSG_OPEN_DISK_FAILED, getDiskName(), errorText.empty() ? NO_DEVICE_PATH_TEXT : errorText);
        return result;
    }
    if (registerKey) {
        // Recorded by volume name, before the key exists, so that a crash leaves it
        // for cleaning; a device path may belong to another volume by then.
        m_keyDevicePath = devicePath;
        dataPersistence->AppendArrayElement(CacheKey::DATA_VOLUME_KEYS_REGISTERED, name);
        int setKey = RetryOp([this, &devicePath]() { return RegKeyForVolume(devicePath); }, "RegKeyForVolume");
        if (setKey != 0) {
            LOG_STREAM_AS(4, caller) << "Reg Key for volume[" << name << "] failed.iSetKey:" << setKey;
        }
    } else {
        LOG_STREAM_AS(1, caller) << "before diskDeviceFile open, aioReadMod:" << flags;
    }
    if (diskDeviceFile->Open(devicePath, flags, diskSizeInBytes + volumeOffsetSize) == DISK_DEVICE_OK) {
        EnvProxyResult result(ENV_PROXY_SUCCESS);
        result.AddDetail(MSG_TRANSFER_MODE, TRANSFER_MODE_LAN_FREE);
        return result;
    }
    LOG_STREAM_AS(4, caller) << "Open disk device file[" << devicePath << "] failed.";
    EnvProxyResult result(ENV_PROXY_OPEN_DISK_FAILED);
    result.AddDetail(MSG_OPEN_DISK_FAILED, getDiskName(), diskDeviceFile->GetErrString());
    return result;
}

EnvProxyResult StrataDiskDescriptor::CloseDisk()
{
    EnvProxyResult result(ENV_PROXY_SUCCESS);
    std::string errorText = "Internal error!";
    if (diskDeviceFile->Close() != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Close disk device file failed.";
        result._SetCompleteCode(ENV_PROXY_CLOSE_DISK_FAILED);
        errorText = diskDeviceFile->GetErrString();
        result.AddDetail(MSG_CLOSE_DISK_FAILED, errorText);
    }
    const char* cacheKey = CacheKey::SNAPSHOT_VOLUMES_ATTACHED;
    std::string name = snapshotName;
    if (!isBackup) {
        cacheKey = CacheKey::DATA_VOLUMES_ATTACHED;
        name = targetVolumeName;
        RemoveOwnKey(__PRETTY_FUNCTION__);
    }
    StrataApi* api = strataApi.get();
    int ret = RetryOp([api, &name, &errorText]() { return api->DetachVolume(name, errorText); }, "DetachVolume");
    if (ret == 0) {
        dataPersistence->RemoveArrayElement(cacheKey, name);
        return result;
    }
    LOG_STREAM(4) << "Detach volume failed.";
    SendEvent(EVENT_TYPE_RAISED, EVENT_DETACH_FAILED, {managerIp, name, errorText, strataApi->GetPoolID()});
    result._SetCompleteCode(ENV_PROXY_CLOSE_DISK_FAILED);
    result.AddDetail(MSG_CLOSE_DISK_FAILED, errorText);
    return result;
}

void StrataDiskDescriptor::RemoveOwnKey(const char* caller)
{
    // The resolved path of the open; the attach path when the device never opened;
    // nothing when this descriptor registered no key (no path to guess).
    std::string path = diskDeviceFile->GetDiskDevicePath();
    if (path.empty()) {
        path = m_keyDevicePath;
    }
    if (path.empty()) {
        return;
    }
    int deleteKey = RetryOp([this, &path]() { return UnRegKeyForVolume(path); }, "UnRegKeyForVolume");
    if (deleteKey != 0) {
        LOG_STREAM_AS(4, caller) << "unreg key for volume[" << path << "] failed.iDeleteKey:" << deleteKey;
        return;
    }
    if (!m_keyDevicePath.empty()) {
        dataPersistence->RemoveArrayElement(CacheKey::DATA_VOLUME_KEYS_REGISTERED, targetVolumeName);
        m_keyDevicePath.clear();
    }
}

EnvProxyResult StrataDiskDescriptor::FlushDisk()
{
    if (diskDeviceFile->Flush() != DISK_DEVICE_OK) {
        EnvProxyResult result(ENV_PROXY_WRITE_FAILED);
        result.AddDetail(MSG_WRITE_FAILED, diskDeviceFile->GetErrString());
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::ReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer)
{
    if (diskDeviceFile->Read(offset + volumeOffsetSize, length, buffer) != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Read snapshot volume[" << snapshotName << "] failed.";
        EnvProxyResult result(ENV_PROXY_READ_FAILED);
        result.AddDetail(MSG_READ_FAILED, diskDeviceFile->GetErrString());
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::AioReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer,
                                                   io_context_t ctx)
{
    if (diskDeviceFile->AioRead(offset + volumeOffsetSize, length, buffer, ctx) != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Read snapshot volume[" << snapshotName << "] failed.";
        EnvProxyResult result(ENV_PROXY_READ_FAILED);
        result.AddDetail(MSG_READ_FAILED, diskDeviceFile->GetErrString());
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::MmapReadBlocks(const uint64_t& offset, const uint64_t& length, char*& mapped)
{
    if (diskDeviceFile->MmapRead(offset + volumeOffsetSize, length, mapped) != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Read volume block failed. snapshotID : " << snapshotName;
        EnvProxyResult result(ENV_PROXY_READ_FAILED);
        result.AddDetail(MSG_READ_FAILED, diskDeviceFile->GetErrString());
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::WriteBlocks(const uint64_t& offset, uint64_t& length, char* buffer)
{
    if (diskDeviceFile->Write(offset + volumeOffsetSize, length, buffer) != DISK_DEVICE_OK) {
        LOG_STREAM(4) << "Write volume[" << targetVolumeName << "] failed.";
        EnvProxyResult result(ENV_PROXY_WRITE_FAILED);
        result.AddDetail(MSG_WRITE_FAILED, diskDeviceFile->GetErrString());
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

void StrataDiskDescriptor::ReleaseBufferCache(const uint64_t& offset, const uint64_t& length)
{
    LOG_STREAM(1) << "StrataDiskDescriptor ReleaseBufferCache";
    diskDeviceFile->ReleaseBufferCache(offset, length);
}

namespace {
// Shared by the two key operations; records carry the caller's function name.
int RunKeyScript(const char* caller, const char* verb, const std::string& devicePath, const char* startText,
                 const char* failText, const char* okText)
{
    LOG_STREAM_AS(1, caller) << startText << devicePath;
    std::string dir;
    getCurrentFilePath(dir, MODULE_NAME, *OruTSP::get(TSP_RequestID));
    const std::string command = std::string("sudo ") + dir + "/../" + KEY_SCRIPT + " " + verb + " ?";
    std::vector<std::string> lines;
    std::vector<std::string> errLines;
    int ret = runShellCmdWithOutput(1, MODULE_NAME, *OruTSP::get(TSP_RequestID), command, {devicePath}, lines,
                                    errLines);
    lines.insert(lines.end(), errLines.begin(), errLines.end());
    if (ret != 0) {
        LOG_STREAM_AS(4, caller) << failText << devicePath << " failed. ";
        printCmdOutputInfo(MODULE_NAME, *OruTSP::get(TSP_RequestID), lines, {});
        return -1;
    }
    LOG_STREAM_AS(2, caller) << okText << devicePath << " successfully.";
    return 0;
}
}  // namespace

int32_t StrataDiskDescriptor::RegKeyForVolume(const std::string& devicePath)
{
    return RunKeyScript(__PRETTY_FUNCTION__, "reg", devicePath, "Start to set key for disk, disk device path: ",
                        "set key for disk: ", "set key for disk ");
}

int32_t StrataDiskDescriptor::UnRegKeyForVolume(const std::string& devicePath)
{
    return RunKeyScript(__PRETTY_FUNCTION__, "unreg", devicePath, "Start to remove key for disk, disk device path: ",
                        "remove key for disk: ", "remove key for disk ");
}
