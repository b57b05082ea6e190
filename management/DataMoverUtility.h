// Stateless helpers shared by the data mover: UUID text checks and parsing,
// CRC-32, number text, and the JSON form of the restore status record.
// Safe from any thread.
#pragma once
#include <json/json.h>

#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <string>
#include <vector>

// Status of one LUN restore task; serialized with the field names as keys.
struct RestoreLunTaskStatus {
    std::string guid;
    uint64_t id = 0;
    std::string name;
    std::string snapId;
    std::string backupStoragePath;
    std::string taskId;
    bool isCleanLeftoverSuccess = false;
    bool isIncRestore = false;
    uint32_t status = 0;
    uint32_t verifyStatus = 0;
    uint64_t volumeSize = 0;
    std::string lunId;
    std::string mgmIpStr;
    std::string diskStorageType;
};

class DataMoverUtility {
public:
    static bool CheckStrIsUUID(const std::string& text);
    // Parses the text; throws the parser's exception when it is not a UUID.
    static boost::uuids::uuid GenerateUUID(const std::string& text);
    static uint32_t GetCrc32(const void* data, size_t length);
    static std::string Uint642String(uint64_t value);
    static Json::Value StringToJson(const std::string& text);
    static std::string JsonToString(const Json::Value& value);
    // Both always return 0; a wrongly typed value reads as its null conversion.
    static int32_t JsonToStruct(const Json::Value& value, RestoreLunTaskStatus& record);
    static int32_t StructToJson(const RestoreLunTaskStatus& record, Json::Value& value);
    // Empty only when writing failed (no memory).
    static std::string ListToString(const std::vector<RestoreLunTaskStatus>& records);

private:
    static void ReadRecord(const Json::Value& value, RestoreLunTaskStatus& record);
    static void WriteRecord(const RestoreLunTaskStatus& record, Json::Value& value);
};
