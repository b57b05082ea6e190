// What the storage-access layer needs of a task's cached data and of the host's
// message sink: the cache operations (implemented by the plug-in's
// DiskDataPersistence, same slot order), the document keys, the message topics
// and the event record. Header only; used from the task's thread.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/JsonUtils.h"
#include "host/DiskMessageNotify.h"

// Keys of the cached task data document.
namespace CacheKey {
inline constexpr char CACHE_UUID[] = "cache_uuid";
inline constexpr char IP[] = "IP";
inline constexpr char POOL_ID[] = "pool_id";
inline constexpr char SNAPSHOT_VOLUMES_ATTACHED[] = "snapshot_volumes_attached";
inline constexpr char DATA_VOLUMES_ATTACHED[] = "data_volumes_attached";
inline constexpr char BITMAP_VOLUMES_CREATED[] = "bitmap_volumes_created";
inline constexpr char BITMAP_VOLUMES_ATTACHED[] = "bitmap_volumes_attached";
// Names of the volumes whose access key a restore registered and has not yet
// removed; the device path is asked of the storage at clean-up, since an old
// path may belong to another volume by then.
inline constexpr char DATA_VOLUME_KEYS_REGISTERED[] = "data_volume_keys_registered";
}  // namespace CacheKey

// Topic prefix of every message to the host, and the two topic suffixes.
inline constexpr char DISK_MESSAGE_TOPIC_PREFIX[] = "DiskDescriptor.Message.";
inline constexpr char DISK_MESSAGE_SEND_EVENT[] = "SendEvent";
inline constexpr char DISK_MESSAGE_CACHE_DATA[] = "Update.CacehData";

class CachedTaskData {
public:
    virtual ~CachedTaskData() = default;
    virtual void AddObject(const std::string& key, const std::string& value) = 0;
    virtual void RemoveObject(const std::string& key) = 0;
    virtual std::string GetObject(const std::string& key) = 0;
    virtual void AppendArrayElement(const std::string& key, const std::string& value) = 0;
    virtual void RemoveArrayElement(const std::string& key, const std::string& value) = 0;
    virtual std::string GetFirstArrayElement(const std::string& key) = 0;
    virtual bool ToJsonValue(const std::string& text) = 0;
    virtual std::string ToJsonString() = 0;
    virtual std::string GetCachedUUID() = 0;
    virtual void Finish() = 0;
};

// Sends one event record ({"Type", "Code", "Parameters"}) to the sink; nothing
// when there is no sink.
inline void SendDiskEvent(DiskMessageNotify* sink, int32_t type, uint64_t code,
                          const std::vector<std::string>& params)
{
    if (sink == nullptr) {
        return;
    }
    Json::Value record(Json::objectValue);
    record["Type"] = type;
    record["Code"] = Json::UInt64(code);
    Json::Value list(Json::arrayValue);
    for (const std::string& p : params) {
        list.append(p);
    }
    record["Parameters"] = list;
    sink->SendMessage(std::string(DISK_MESSAGE_TOPIC_PREFIX) + DISK_MESSAGE_SEND_EVENT,
                      CJsonUtils::JsonToString(record));
}
