// Changed ranges, health check and leftover cleaning of the Strata disk descriptor.
#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>
#include <exception>

#include "foundation/LogAsCaller.h"
#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/CommandChannel.h"
#include "host/ConfigReader.h"
#include "storage_access/StrataApi.h"
#include "storage_access/StrataBitmapHandle.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "strata_plugin/StrataDiskDescriptor.h"

namespace {
const char MODULE_NAME[] = "StrataPlugin";
const char AGENT_SEARCH_CMD[] = "ps -ef |grep -E '?' |grep -E -v grep";
const char AGENT_PROCESS_NAME[] = "strata_agent";
const char AGENT_PROCESS_PROOF[] = "./strata_agent";
const uint64_t AGENT_CHECK_CMD_CODE = 100016;
const char PROBE_VOLUME[] = "volume-1160e808-a89e-4513-a3cb-e4b036c42d7d_1_72345555_NOTEXIST";
const char SAME_SNAPSHOT_TEXT[] = "snapshotID is the same with previous backup";
}  // namespace

EnvProxyResult StrataDiskDescriptor::CheckChangeID(const std::string& previousChangeId,
                                                   const std::string& currentChangeId)
{
    if (previousChangeId == currentChangeId) {
        LOG_STREAM(4) << " curSnapshotID is the same with Previous SnapshotID.";
        EnvProxyResult result(ENV_PROXY_GET_DIRTY_RANGES_FAILED);
        result.AddDetail(MSG_GET_DIRTY_RANGES_FAILED, SAME_SNAPSHOT_TEXT);
        return result;
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::GetDirtyRanges(const std::shared_ptr<CSnapshotID>& /*snapshot*/,
                                                    const std::string& previousChangeId, DirtyRanges& ranges,
                                                    uint64_t startOffset, uint64_t /*length*/)
{
    StrataDirtyRangesParams params;
    params._SetDiskHeadLen(volumeOffsetSize);
    params._SetDiskSize(diskSizeInBytes);
    params._SetOffset(startOffset);
    params._SetParentVolumeID(previousChangeId);
    params._SetVolumeID(isBackup ? snapshotName : targetVolumeName);
    std::string errorText;
    if (isBackup) {
        EnvProxyResult check = CheckChangeID(previousChangeId, snapshotName);
        if (check._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            LOG_STREAM(4) << "CheckChangeID failed preChangeID " << previousChangeId << ", curChangeID "
                          << snapshotName;
            return check;
        }
    }
    int32_t ret = bitmapHandle->GetDirtyRanges(params, ranges, errorText);
    if (ret == 0) {
        EnvProxyResult result(ENV_PROXY_SUCCESS);
        if (errorText == DETACH_DELETE_BITMAP_FAILED_MARKER) {
            result.resultText = errorText;
        }
        return result;
    }
    LOG_STREAM(4) << "Get cbt failed.";
    EnvProxyResult result(ENV_PROXY_GET_DIRTY_RANGES_FAILED);
    result.AddDetail(MSG_GET_DIRTY_RANGES_FAILED, std::vector<std::string>{errorText});
    return result;
}

bool StrataDiskDescriptor::CheckAgentRunning()
{
    RunShellCmdInfo info;
    info.cmd = AGENT_SEARCH_CMD;
    info.params = {AGENT_PROCESS_NAME};
    info.cmdCode = AGENT_CHECK_CMD_CODE;
    info.reserved = 0;
    info.requestId = 0;
    std::vector<std::string> lines;
    std::string errorText;
    int ret = RestToMgr::ExceSystemCmd(info, lines, errorText);
    if (ret == 0) {
        for (const std::string& line : lines) {
            LOG_STREAM(1) << "outputList: " << line;
            if (line.find(AGENT_PROCESS_PROOF) != std::string::npos) {
                return true;
            }
        }
        LOG_STREAM(4) << AGENT_PROCESS_PROOF << " is not running.";
        return false;
    }
    for (const std::string& line : lines) {
        LOG_STREAM(4) << "Cmd failed: " << line;
    }
    LOG_STREAM(4) << "Run cmd failed, filter name: " << AGENT_PROCESS_NAME << " value:" << ret;
    return false;
}

bool StrataDiskDescriptor::CheckHealthStatus(std::string& errorText)
{
    const std::string agentPath = ConfigReader::getString("General", "StrataAgentPath", AGENT_PROGRAM_PATH);
    boost::system::error_code ec;
    if (!boost::filesystem::exists(agentPath, ec)) {
        LOG_STREAM(4) << "Strata agent program " << agentPath << " is not exist.";
        errorText = agentPath + " is not exist.";
        return false;
    }
    int retryTimes = ConfigReader::getInt("BackupNode", "RetryHealthStatusTimes", true);
    if (retryTimes < 0) {
        retryTimes = 3;
    }
    int waitTime = ConfigReader::getInt("BackupNode", "RetryHealthStatusWaitTime", true);
    if (waitTime < 1) {
        waitTime = 30;
    }
    while (retryTimes-- >= 0) {
        if (CheckAgentRunning()) {
            BitmapVolumeInfo probe;
            probe.volName = PROBE_VOLUME;
            std::string probeError;
            int32_t ret = strataApi->QueryBitmapVol(probe, probeError);
            if (ret == STRATA_VOLUME_NOT_EXIST) {
                return true;
            }
            LOG_STREAM(3) << "strata has an exception, errorCode= " << ret;
        }
        oru_sleep(static_cast<unsigned int>(waitTime));
        LOG_STREAM(3) << "need retry times: " << (retryTimes + 1);
    }
    LOG_STREAM(4) << "Strata health check failed.";
    errorText = "query not exist volume failed,maybe strata_agent process is not running,";
    errorText += "maybe strata storage plane network has an exception,";
    errorText += "maybe Block Storage Clients not in Cluster. maybe strata-api-xxx.jar file is not exist etc.";
    return false;
}

EnvProxyResult StrataDiskDescriptor::CleanLeftovers(const std::string& cachedData)
{
    // The data comes from the host and may be hostile: nothing it holds may throw out.
    try {
        return CleanCachedData(__PRETTY_FUNCTION__, cachedData);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Clean leftovers failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Clean leftovers failed. Unknown exception.";
    }
    return EnvProxyResult(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
}

EnvProxyResult StrataDiskDescriptor::CleanCachedData(const char* caller, const std::string& cachedData)
{
    LOG_STREAM_AS(2, caller) << "Enter clean leftovers data is" << cachedData << " .";
    if (cachedData.empty()) {
        LOG_STREAM_AS(2, caller) << "Cache data is empty";
        return EnvProxyResult(ENV_PROXY_SUCCESS);
    }
    if (!dataPersistence->ToJsonValue(cachedData)) {
        LOG_STREAM_AS(4, caller) << "Parse data[" << cachedData << "] to json failed.";
        return EnvProxyResult(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    }
    return isBackup ? CleanLeftoversForBackup() : CleanLeftoversForRestore();
}

EnvProxyResult StrataDiskDescriptor::CleanLeftoversForBackup()
{
    return CleanLeftoversFor(__PRETTY_FUNCTION__, CacheKey::SNAPSHOT_VOLUMES_ATTACHED);
}

EnvProxyResult StrataDiskDescriptor::CleanLeftoversForRestore()
{
    // A key left registered by a restore that died (or whose removal failed)
    // goes first, while the volume it guards may still be attached.
    const bool keyRemoved = RemoveLeftoverKey(__PRETTY_FUNCTION__);
    EnvProxyResult result = CleanLeftoversFor(__PRETTY_FUNCTION__, CacheKey::DATA_VOLUMES_ATTACHED);
    if (!keyRemoved) {
        result._SetCompleteCode(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    }
    return result;
}

bool StrataDiskDescriptor::RemoveLeftoverKey(const char* caller)
{
    // The record names the volume. Its device path is asked of the storage now:
    // a path remembered from the dead task may since belong to another volume.
    const char* keys = CacheKey::DATA_VOLUME_KEYS_REGISTERED;
    std::string volume = dataPersistence->GetFirstArrayElement(keys);
    if (volume.empty()) {
        return true;
    }
    if (!dataPersistence->HasArrayElement(CacheKey::DATA_VOLUMES_ATTACHED, volume)) {
        // Detached (or an old record naming a path): the key went with its device.
        LOG_STREAM_AS(2, caller) << "Key of volume[" << volume << "] went with its device.";
        dataPersistence->RemoveArrayElement(keys, volume);
        return true;
    }
    std::string devicePath;
    std::string errorText;
    StrataApi* api = strataApi.get();
    int ret = RetryOp([api, &volume, &devicePath, &errorText]() {
        return api->AttachVolume(volume, devicePath, errorText);
    }, "AttachVolume");
    if (ret == 0 && !devicePath.empty()) {
        ret = RetryOp([this, &devicePath]() { return UnRegKeyForVolume(devicePath); }, "UnRegKeyForVolume");
    }
    if (ret != 0 || devicePath.empty()) {
        LOG_STREAM_AS(4, caller) << "Remove key of volume[" << volume << "] failed.";
        return false;
    }
    dataPersistence->RemoveArrayElement(keys, volume);
    return true;
}

EnvProxyResult StrataDiskDescriptor::CleanLeftoversFor(const char* caller, const char* volumeKey)
{
    EnvProxyResult result(ENV_PROXY_SUCCESS);
    std::string failedName;
    std::string name = dataPersistence->GetFirstArrayElement(CacheKey::BITMAP_VOLUMES_ATTACHED);
    if (!name.empty()) {
        DetachVolume(name, failedName, result);
    }
    name = dataPersistence->GetFirstArrayElement(CacheKey::BITMAP_VOLUMES_CREATED);
    if (!name.empty()) {
        DeleteBitmapVolume(name, failedName, result);
    }
    name = dataPersistence->GetFirstArrayElement(volumeKey);
    if (!name.empty()) {
        std::string errorText;
        StrataApi* api = strataApi.get();
        int ret = RetryOp([api, &name, &errorText]() { return api->DetachVolume(name, errorText); }, "DetachVolume");
        if (ret == 0) {
            SendEvent(EVENT_TYPE_CLEARED, EVENT_DETACH_FAILED, {managerIp, name, errorText, strataApi->GetPoolID()});
            dataPersistence->RemoveArrayElement(volumeKey, name);
        } else {
            LOG_STREAM_AS(4, caller) << "Detach volume data[" << name << "] failed. Error is " << errorText;
            result._SetCompleteCode(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
        }
    }
    return result;
}

void StrataDiskDescriptor::DetachVolume(std::string& name, std::string& failedName, EnvProxyResult& result)
{
    std::string errorText;
    StrataApi* api = strataApi.get();
    int ret = RetryOp([api, &name, &errorText]() { return api->DetachVolume(name, errorText); }, "DetachVolume");
    if (ret == 0) {
        SendEvent(EVENT_TYPE_CLEARED, EVENT_DETACH_FAILED, {managerIp, name, errorText, strataApi->GetPoolID()});
        dataPersistence->RemoveArrayElement(CacheKey::BITMAP_VOLUMES_ATTACHED, name);
        return;
    }
    LOG_STREAM(4) << "Detach bitmap volume data[" << name << "] failed. Error is " << errorText;
    failedName = name;
    result._SetCompleteCode(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
}

void StrataDiskDescriptor::DeleteBitmapVolume(std::string& name, std::string& failedName, EnvProxyResult& result)
{
    std::string errorText;
    StrataApi* api = strataApi.get();
    int ret = RetryOp([api, &name, &errorText]() { return api->DeleteBitmapVolume(name, errorText); },
                      "Delete Volume");
    if (ret == 0) {
        SendEvent(EVENT_TYPE_CLEARED, EVENT_DELETE_BITMAP_FAILED, {managerIp, name, errorText});
        dataPersistence->RemoveArrayElement(CacheKey::BITMAP_VOLUMES_CREATED, name);
        return;
    }
    LOG_STREAM(4) << "Delete bitmap volume data[" << name << "] failed. Error is " << errorText;
    result._SetCompleteCode(ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    failedName = name;
}
