// The descriptor framework's general cache handle: a JSON cache of typed
// entries (plain values and arrays) with observers that receive every cache
// change, events and second-plug-in messages. Created and filled by the host,
// passed to the CommonVMHandle overloads of CDiskDescriptor; used from one task
// thread, no lock. Observers are borrowed and must outlive the handle's use.
#pragma once
#include <json/json.h>

#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "foundation/VolumeParas.h"
#include "host/EngineHostTypes.h"

enum JsonObjectType : int32_t {
    JSON_NORMAL_OBJECT = 0,
    JSON_ARRAY_OBJECT = 1,
};

enum EnvProxyEventType : int32_t {
    ENV_PROXY_EVENT_CACHE_DATA = 0,
    ENV_PROXY_EVENT_TASK = 1,
};

struct NimbaraObj {
    int32_t type = 0;
    std::string str1;
    std::string str2;
    std::string str3;
    std::string str4;
};

// Connection data of the virtualization manager, filled by the host. The third
// of the four middle strings holds a password and is wiped on destruction.
struct QRM_INFO {
    NimbaraObj nimbara;
    std::string str1;
    std::string str2;
    std::string str3;
    int32_t value1 = 0;
    std::string user;
    std::string address;
    std::string password;
    std::string extra;
    uint8_t flag = 0;
    int32_t value2 = 0;
    int32_t value3 = 0;
    int32_t value4 = 0;
    int32_t value5 = 0;
    std::string tail1;
    std::string tail2;
    std::string tail3;

    QRM_INFO() = default;
    QRM_INFO(const QRM_INFO&) = default;
    QRM_INFO& operator=(const QRM_INFO&) = default;
    ~QRM_INFO();
};

void SetDefaultValueForQRMInfo(QRM_INFO& info);

class CommonVMHandle {
public:
    CommonVMHandle();
    CommonVMHandle(const CommonVMHandle&) = delete;
    CommonVMHandle& operator=(const CommonVMHandle&) = delete;
    virtual ~CommonVMHandle();

    virtual void AddObserver(EnvProxyEventType type, EnvProxyObserver* observer);
    virtual void NotifCacheDataChanged(const std::string& json);
    virtual void NotifySendEvent(uint64_t code, const std::vector<std::string>& params, bool flag);
    virtual void SetT9Message(T9MapInfo& info);
    virtual void addCachedObject(const std::string& key, const std::string& value, JsonObjectType type);
    virtual void addCachedObject(const std::string& key, const Json::Value& value, JsonObjectType type);
    virtual void delCachedObject(const std::string& key, const std::string& value, JsonObjectType type);
    virtual void delCachedObjectInMem(const std::string& key, const std::string& value, JsonObjectType type);
    virtual bool toJsonObject(const std::string& text);
    virtual void getCacheObjectValue(const std::string& key, std::string& out, JsonObjectType type);
    virtual void getCacheObjectValue(const std::string& key, Json::Value& out, JsonObjectType type);
    virtual void getCacheObject(const std::string& key, Json::Value& out, JsonObjectType type);
    virtual void getCacheArray(const std::string& key, Json::Value& out);
    virtual void clearCacheObject(const std::string& key);
    virtual void clearCacheData();
    virtual std::string toJsonString();
    virtual uint32_t getCachedArrayObjectSize(const std::string& key);
    virtual std::string getCachedUUID();
    virtual void setAbortFunc(const AbortFunc& f);
    virtual void getCachedNormalObjectValue(const std::string& key, std::string& out);
    virtual void getCachedNormalObjectValue(const std::string& key, Json::Value& out);
    virtual void getCachedArrayObjectValue(const std::string& key, std::string& out);
    virtual void getCachedArrayObjectValue(const std::string& key, Json::Value& out);
    virtual void getCachedNormalObject(const std::string& key, Json::Value& out);
    virtual void getCachedArrayObject(const std::string& key, Json::Value& out);
    virtual void addCachedNormalObject(const std::string& key, const std::string& value);
    virtual void addCachedArrayObject(const std::string& key, const std::string& value);
    virtual void addCachedNormalObject(const std::string& key, const Json::Value& value);
    virtual void addCachedArrayObject(const std::string& key, const Json::Value& value);
    virtual void delCachedNormalObject(const std::string& key);
    virtual void delCachedArrayObject(const std::string& key, const std::string& value);

    static std::string getJsonString(const Json::Value& value);
    static std::string getJsonString(const Json::Value& value, const std::string& key);

    // Task fields the host fills.
    boost::uuids::uuid cacheId;
    QRM_INFO qrmInfo;
    std::string field1;
    std::string field2;
    std::string field3;
    std::string taskName;  // the fourth string: named by setAbortFunc's log line
    std::map<std::string, std::string> properties;
    std::string field5;
    std::list<std::string> names;
    EnvironmentPath environmentPath;
    AbortFunc abortFunc;

protected:
    bool ValidType(JsonObjectType type) const;

    std::map<EnvProxyEventType, EnvProxyObserver*> observers;
    Json::Value cache;
};
