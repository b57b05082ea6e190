#include "management/DataMoverUtility.h"

#include <boost/uuid/string_generator.hpp>
#include <exception>

#include "foundation/Crc32.h"
#include "foundation/JsonUtils.h"
#include "foundation/LogProxy.h"
#include "management/JsonHelper.h"

namespace {
const char MODULE_NAME[] = "DataMoverUtility";
}

bool DataMoverUtility::CheckStrIsUUID(const std::string& text)
{
    try {
        (void)GenerateUUID(text);
        return true;
    } catch (...) {
        return false;
    }
}

boost::uuids::uuid DataMoverUtility::GenerateUUID(const std::string& text)
{
    boost::uuids::string_generator gen;
    return gen(text);
}

uint32_t DataMoverUtility::GetCrc32(const void* data, size_t length)
{
    return Crc32(data, length);
}

std::string DataMoverUtility::Uint642String(uint64_t value)
{
    return std::to_string(value);
}

Json::Value DataMoverUtility::StringToJson(const std::string& text)
{
    Json::Value value;
    CJsonUtils::StringToJson(text, value);
    return value;
}

std::string DataMoverUtility::JsonToString(const Json::Value& value)
{
    return CJsonUtils::JsonToString(value);
}

int32_t DataMoverUtility::JsonToStruct(const Json::Value& v, RestoreLunTaskStatus& r)
{
    try {
        ReadRecord(v, r);
    } catch (const std::exception& e) {  // no memory for a field's copy
        LOG_STREAM(4) << "Read restore task status failed: " << e.what();
    }
    return 0;
}

int32_t DataMoverUtility::StructToJson(const RestoreLunTaskStatus& r, Json::Value& v)
{
    try {
        WriteRecord(r, v);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Write restore task status failed: " << e.what();
    }
    return 0;
}

void DataMoverUtility::ReadRecord(const Json::Value& v, RestoreLunTaskStatus& r)
{
    // A non-object reads as all-null: every field takes its null conversion.
    const Json::Value obj = v.isObject() ? v : Json::Value(Json::objectValue);
    JsonHelper::JsonValueToType(r.guid, obj["guid"]);
    JsonHelper::JsonValueToType(r.id, obj["id"]);
    JsonHelper::JsonValueToType(r.name, obj["name"]);
    JsonHelper::JsonValueToType(r.snapId, obj["snapId"]);
    JsonHelper::JsonValueToType(r.backupStoragePath, obj["backupStoragePath"]);
    JsonHelper::JsonValueToType(r.taskId, obj["taskId"]);
    JsonHelper::JsonValueToType(r.isCleanLeftoverSuccess, obj["isCleanLeftoverSuccess"]);
    JsonHelper::JsonValueToType(r.isIncRestore, obj["isIncRestore"]);
    JsonHelper::JsonValueToType(r.status, obj["status"]);
    JsonHelper::JsonValueToType(r.verifyStatus, obj["verifyStatus"]);
    JsonHelper::JsonValueToType(r.mgmIpStr, obj["mgmIpStr"]);
    JsonHelper::JsonValueToType(r.lunId, obj["lunId"]);
    JsonHelper::JsonValueToType(r.volumeSize, obj["volumeSize"]);
    JsonHelper::JsonValueToType(r.diskStorageType, obj["diskStorageType"]);
}

void DataMoverUtility::WriteRecord(const RestoreLunTaskStatus& r, Json::Value& v)
{
    JsonHelper::TypeToJsonValue(r.guid, v["guid"]);
    JsonHelper::TypeToJsonValue(r.id, v["id"]);
    JsonHelper::TypeToJsonValue(r.name, v["name"]);
    JsonHelper::TypeToJsonValue(r.snapId, v["snapId"]);
    JsonHelper::TypeToJsonValue(r.backupStoragePath, v["backupStoragePath"]);
    JsonHelper::TypeToJsonValue(r.taskId, v["taskId"]);
    JsonHelper::TypeToJsonValue(r.isCleanLeftoverSuccess, v["isCleanLeftoverSuccess"]);
    JsonHelper::TypeToJsonValue(r.isIncRestore, v["isIncRestore"]);
    JsonHelper::TypeToJsonValue(r.status, v["status"]);
    JsonHelper::TypeToJsonValue(r.verifyStatus, v["verifyStatus"]);
    JsonHelper::TypeToJsonValue(r.mgmIpStr, v["mgmIpStr"]);
    JsonHelper::TypeToJsonValue(r.lunId, v["lunId"]);
    JsonHelper::TypeToJsonValue(r.volumeSize, v["volumeSize"]);
    JsonHelper::TypeToJsonValue(r.diskStorageType, v["diskStorageType"]);
}

std::string DataMoverUtility::ListToString(const std::vector<RestoreLunTaskStatus>& records)
{
    try {
        Json::Value array;  // stays null for an empty list, written as "null"
        for (const auto& r : records) {
            Json::Value item;
            StructToJson(r, item);
            array.append(item);
        }
        return JsonToString(array);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Write restore task list failed: " << e.what();
        return "";
    }
}
