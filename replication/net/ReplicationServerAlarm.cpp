#include "replication/net/ReplicationServerAlarm.h"

#include <exception>
#include <vector>

#include "foundation/LogProxy.h"
#include "host/AlarmAPI.h"
#include "host/ConfigReader.h"
#include "replication/net/DosDetector.h"

namespace {
const char MODULE_NAME[] = "ReplicationServerAlarm";

const char kSource[] = "CopyService";
constexpr ModuleIndex kModule = 23;
}  // namespace

const uint64_t ReplicationServerAlarm::kAlarmTooManyConns;
const uint64_t ReplicationServerAlarm::kAlarmTooManyConnsPerUnit;
const uint64_t ReplicationServerAlarm::kAlarmTooManyRequests;

std::mutex ReplicationServerAlarm::s_mutex;
ReplicationServerAlarm* ReplicationServerAlarm::s_repAlarmSingleton = nullptr;

ReplicationServerAlarm* ReplicationServerAlarm::GetInstance()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_repAlarmSingleton == nullptr) {
        try {
            s_repAlarmSingleton = new ReplicationServerAlarm();
        } catch (const std::exception& e) {
            LOG_STREAM(4) << "New ReplicationServerAlarm failed.Exception is " << e.what();
            return nullptr;
        }
    }
    return s_repAlarmSingleton;
}

void ReplicationServerAlarm::SendAlarm(int retCode, std::string sourceIp)
{
    LOG_STREAM(1) << "Enter SendAlarm retCode= " << retCode << ",source ip= " << sourceIp;
    EventParams params;
    params.params = {ConfigReader::getManagementIP(), sourceIp};
    params.value = 0;
    EventType type = 4;
    EventLevel level = 3;
    unsigned long long alarmId = 0;
    switch (retCode) {
        case 0:
            type = 2;
            level = 2;
            break;
        case 2:
            params.params.push_back(std::to_string(ReadReplicationLimit(dos_keys::kSingleIpMaxConns, 100)));
            alarmId = kAlarmTooManyConns;
            break;
        case 3:
            params.params.push_back(std::to_string(ReadReplicationLimit(dos_keys::kUnitTime, 60)));
            params.params.push_back(std::to_string(ReadReplicationLimit(dos_keys::kPerUnitMaxConn, 100)));
            alarmId = kAlarmTooManyConnsPerUnit;
            break;
        case 5:
            params.params.push_back(std::to_string(ReadReplicationLimit(dos_keys::kUnitTime, 60)));
            params.params.push_back(std::to_string(ReadReplicationLimit(dos_keys::kRequestUnit, 3000)));
            alarmId = kAlarmTooManyRequests;
            break;
        default:
            LOG_STREAM(3) << "The return code can not send. retCode:" << retCode;
            return;
    }
    AlarmAPI::SendEvent(kSource, kModule, params, type, level, alarmId);
    LOG_STREAM(1) << "Exit SendAlarm ";
}
