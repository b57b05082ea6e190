// Construction, the C entry and URL parsing of the Strata disk descriptor.
#include "strata_plugin/StrataDiskDescriptor.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/uuid/string_generator.hpp>
#include <exception>
#include <new>
#include <vector>

#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "storage_access/DiskDeviceFile.h"
#include "storage_access/StrataApi.h"
#include "storage_access/StrataBitmapHandle.h"
#include "strata_plugin/DiskDataPersistence.h"

namespace {
const char MODULE_NAME[] = "StrataPlugin";

// Splits at every "/" keeping empty fields.
std::vector<std::string> SplitUrl(const std::string& url)
{
    std::vector<std::string> fields;
    boost::algorithm::split(fields, url, [](char c) { return c == '/'; });
    return fields;
}
}  // namespace

int32_t StrataDiskDescriptor::m_retryInterval = 30;
const char StrataDiskDescriptor::AGENT_PROGRAM_PATH[] = "/opt/strata/agent/bin/strata_agent";

extern "C" int CreateDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk)
{
    // Nothing may leave a C entry: a bad UUID or an allocation failure becomes -1.
    try {
        boost::uuids::string_generator parse;
        boost::uuids::uuid id = parse(paras.volumeID);
        std::shared_ptr<StrataDiskDescriptor> desc;
        StrataDiskDescriptor* raw = new (std::nothrow) StrataDiskDescriptor(paras.volumeSize, id);
        if (raw == nullptr) {
            LOG_STREAM(4) << "Alloc StrataDiskDescriptor failed.";
            return -1;
        }
        desc.reset(raw);
        EnvProxyResult init = desc->InitializeDiskInfo(paras);
        if (init._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            LOG_STREAM(4) << "Failed to initialize StrataDiskDescriptor.";
            return -1;
        }
        disk = desc;
        return 0;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Create StrataDiskDescriptor failed: " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Create StrataDiskDescriptor failed: unknown exception.";
    }
    return -1;
}

StrataDiskDescriptor::StrataDiskDescriptor(const uint64_t& size, boost::uuids::uuid id, std::string str4,
                                           std::string changeIdValue, std::string diskKeyValue,
                                           std::string diskNameValue, boost::uuids::uuid uuid9)
    : CDiskDescriptor(size, id, std::move(str4), std::move(changeIdValue), std::move(diskKeyValue),
                      std::move(diskNameValue), uuid9)
{
}

StrataDiskDescriptor::~StrataDiskDescriptor()
{
    if (dataPersistence) {
        try {
            dataPersistence->Finish();
        } catch (const std::exception& e) {
            LOG_STREAM(4) << "Finish cached data failed: " << e.what();
        }
    }
    dataPersistence.reset();
    bitmapHandle.reset();
    strataApi.reset();
}

std::string StrataDiskDescriptor::StripIPUrl(const std::string& field)
{
    if (field.find(']') != std::string::npos && field.size() >= 2) {
        return field.substr(1, field.size() - 2);
    }
    return field;
}

EnvProxyResult StrataDiskDescriptor::InitializeDiskInfo(const VolumeParas& paras)
{
    setDiskSizeInBytes(paras._GetVolumeSize());
    setDiskName(paras._GetVolumeName());
    setDiskKey(paras._GetVolumeID());
    setGUID(boost::uuids::string_generator()(paras._GetVolumeID()));
    volumeOffsetSize = paras._GetVolumeOffsetSize();
    isBackup = paras._GetIsBackup();
    bool parsed = isBackup ? ParseBackupRarams(paras) : ParseRestoreRarams(paras);
    if (!parsed) {
        LOG_STREAM(4) << "Parse params failed.";
        return EnvProxyResult(ENV_PROXY_INIT_FAILED);
    }
    return InitComponents(paras);
}

bool StrataDiskDescriptor::ParseBackupRarams(const VolumeParas& paras)
{
    LOG_STREAM(1) << "parse disk info for backup !"
                  << " parentSnapshotUrl:" << paras._GetParentSnapshotURL()
                  << " snapshoturl:" << paras._GetCurrentSnapshotURL();
    std::vector<std::string> fields = SplitUrl(paras._GetCurrentSnapshotURL());
    if (fields.size() != 5) {
        LOG_STREAM(4) << "Parse backup volume url failed.";
        return false;
    }
    managerIp = StripIPUrl(fields[2]);
    poolId = fields[3];
    snapshotName = fields[4];
    setChageId(snapshotName);
    return true;
}

bool StrataDiskDescriptor::ParseRestoreRarams(const VolumeParas& paras)
{
    LOG_STREAM(1) << "parse disk info for restore Volume !"
                  << "parentSnapshotUrl:" << paras._GetParentSnapshotURL() << " volumeUrl:" << paras._GetVolumeURL();
    std::vector<std::string> fields = SplitUrl(paras._GetVolumeURL());
    if (fields.size() != 5) {
        LOG_STREAM(4) << "Parse restore volume url failed.";
        return false;
    }
    managerIp = StripIPUrl(fields[2]);
    poolId = fields[3];
    targetVolumeName = fields[4];
    return true;
}

EnvProxyResult StrataDiskDescriptor::InitComponents(const VolumeParas& paras)
{
    if (paras._GetMsgNotify() == nullptr) {
        LOG_STREAM(4) << "Invalid message notify pointer.";
        return EnvProxyResult(ENV_PROXY_INIT_FAILED);
    }
    msgNotify = paras._GetMsgNotify();
    try {
        dataPersistence = std::make_shared<DiskDataPersistence>(msgNotify);
        strataApi = std::make_shared<StrataApi>(managerIp, poolId);
        bitmapHandle = std::make_shared<StrataBitmapHandle>(managerIp, poolId, paras._GetIsBackup(),
                                                            paras._GetVolumeID(), dataPersistence, msgNotify,
                                                            paras._GetAbortFun());
        diskDeviceFile = std::make_shared<DiskDeviceFile>();
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "new Component failed.";
        return EnvProxyResult(ENV_PROXY_INIT_FAILED);
    }
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

int StrataDiskDescriptor::RetryOp(boost::function<int()> op, const std::string& opName)
{
    if (op.empty()) {
        LOG_STREAM(4) << opName << " failed !";
        return -1;
    }
    int ret = op();
    if (ret == 0) {
        return 0;
    }
    for (int retry = 1; retry <= 3; ++retry) {
        oru_sleep(static_cast<unsigned int>(m_retryInterval));
        ret = op();
        if (ret == 0) {
            return 0;
        }
        LOG_STREAM(3) << opName << " failed ! Retry " << retry << " time.";
    }
    LOG_STREAM(4) << opName << " failed, errMsg is " << ret;
    return ret;
}

void StrataDiskDescriptor::SendEvent(int32_t type, uint64_t code, const std::vector<std::string>& params)
{
    SendDiskEvent(msgNotify, type, code, params);
}

void StrataDiskDescriptor::SendAlarm(uint64_t code, const std::string& p1, const std::string& p2)
{
    SendEvent(EVENT_TYPE_CLEARED, code, {managerIp, p1, p2});
}

EnvProxyResult StrataDiskDescriptor::CreateSnapshot(const std::string& /*name*/,
                                                    std::shared_ptr<CSnapshotID>& /*snapshot*/)
{
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}

EnvProxyResult StrataDiskDescriptor::DeleteSnapshot(std::shared_ptr<CSnapshotID>& /*snapshot*/, bool /*flag*/)
{
    return EnvProxyResult(ENV_PROXY_SUCCESS);
}
