#include "strata_plugin/CommonVMHandle.h"

#include <boost/uuid/nil_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <exception>

#include "foundation/JsonUtils.h"
#include "foundation/LogProxy.h"
#include "host/SecureMem.h"
#include "strata_plugin/CacheJson.h"

namespace {
const char MODULE_NAME[] = "EngineCommon";
}

QRM_INFO::~QRM_INFO()
{
    cleanMemoryPwd(password);
}

void SetDefaultValueForQRMInfo(QRM_INFO& info)
{
    info.nimbara.type = 4;
    info.value1 = 0;
    info.flag = 0;
    info.value2 = 0;
    info.value3 = 0;
    info.value4 = 0;
    info.value5 = 1;
}

CommonVMHandle::CommonVMHandle() : cacheId(boost::uuids::nil_uuid()), cache(Json::nullValue) {}

CommonVMHandle::~CommonVMHandle() = default;

bool CommonVMHandle::ValidType(JsonObjectType type) const
{
    if (type != JSON_NORMAL_OBJECT && type != JSON_ARRAY_OBJECT) {
        LOG_STREAM(4) << "Don't support the Json type[" << static_cast<int32_t>(type) << "]";
        return false;
    }
    return true;
}

void CommonVMHandle::AddObserver(EnvProxyEventType type, EnvProxyObserver* observer)
{
    if (observer == nullptr || !observers.emplace(type, observer).second) {
        return;  // the first registration of a type stays
    }
    if (type == ENV_PROXY_EVENT_CACHE_DATA) {
        LOG_STREAM(1) << "Register cache data changed observer.";
        observer->CacheDataChanged(toJsonString());
    }
}

void CommonVMHandle::NotifCacheDataChanged(const std::string& json)
{
    auto it = observers.find(ENV_PROXY_EVENT_CACHE_DATA);
    if (it != observers.end()) {
        LOG_STREAM(1) << "Notify task to update cache data[" << json << "]";
        it->second->CacheDataChanged(json);
    }
}

void CommonVMHandle::NotifySendEvent(uint64_t code, const std::vector<std::string>& params, bool flag)
{
    LOG_STREAM(1) << "Send event " << code;
    auto it = observers.find(ENV_PROXY_EVENT_TASK);
    if (it != observers.end()) {
        LOG_STREAM(1) << "Notify task to send event[" << code << "]";
        it->second->SendEvent(code, params, flag);
    }
}

void CommonVMHandle::SetT9Message(T9MapInfo& info)
{
    LOG_STREAM(1) << "Enter SetT9Message";
    auto it = observers.find(ENV_PROXY_EVENT_TASK);
    if (it != observers.end()) {
        LOG_STREAM(1) << "Will SetT9Message!";
        it->second->SetT9Message(info);
    }
}

void CommonVMHandle::addCachedObject(const std::string& key, const std::string& value, JsonObjectType type)
{
    if (ValidType(type)) {
        if (type == JSON_NORMAL_OBJECT) {
            addCachedNormalObject(key, value);
        } else {
            addCachedArrayObject(key, value);
        }
    }
    NotifCacheDataChanged(toJsonString());
}

void CommonVMHandle::addCachedObject(const std::string& key, const Json::Value& value, JsonObjectType type)
{
    if (ValidType(type)) {
        if (type == JSON_NORMAL_OBJECT) {
            addCachedNormalObject(key, value);
        } else {
            addCachedArrayObject(key, value);
        }
    }
    NotifCacheDataChanged(toJsonString());
}

void CommonVMHandle::delCachedObject(const std::string& key, const std::string& value, JsonObjectType type)
{
    delCachedObjectInMem(key, value, type);
    NotifCacheDataChanged(toJsonString());
}

void CommonVMHandle::delCachedObjectInMem(const std::string& key, const std::string& value, JsonObjectType type)
{
    if (!ValidType(type)) {
        return;
    }
    if (type == JSON_NORMAL_OBJECT) {
        delCachedNormalObject(key);
    } else {
        delCachedArrayObject(key, value);
    }
}

bool CommonVMHandle::toJsonObject(const std::string& text)
{
    // Host-supplied text: a hostile document (nesting past the reader's limit) is refused, never thrown.
    try {
        Json::Value parsed;
        if (!CJsonUtils::StringToJson(text, parsed) || !(parsed.isObject() || parsed.isNull())) {
            return false;
        }
        cache = parsed;
        return true;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Parse cache data failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Parse cache data failed. Unknown exception.";
    }
    return false;
}

void CommonVMHandle::getCacheObjectValue(const std::string& key, std::string& out, JsonObjectType type)
{
    out.clear();
    if (!ValidType(type)) {
        return;
    }
    if (type == JSON_NORMAL_OBJECT) {
        getCachedNormalObjectValue(key, out);
    } else {
        getCachedArrayObjectValue(key, out);
    }
}

void CommonVMHandle::getCacheObjectValue(const std::string& key, Json::Value& out, JsonObjectType type)
{
    out = Json::Value();
    if (!ValidType(type)) {
        return;
    }
    if (type == JSON_NORMAL_OBJECT) {
        getCachedNormalObjectValue(key, out);
    } else {
        getCachedArrayObjectValue(key, out);
    }
}

void CommonVMHandle::getCacheObject(const std::string& key, Json::Value& out, JsonObjectType type)
{
    out = Json::Value();
    if (!ValidType(type)) {
        return;
    }
    if (type == JSON_NORMAL_OBJECT) {
        getCachedNormalObject(key, out);
    } else {
        getCachedArrayObject(key, out);
    }
}

void CommonVMHandle::getCacheArray(const std::string& key, Json::Value& out)
{
    out = Json::Value();
    if (!cache.isObject() || !cache.isMember(key) || cache[key].isNull()) {
        return;
    }
    if (!cache[key].isArray()) {
        LOG_STREAM(4) << "The value of key(" << key << ") is not array in cache json.";
        return;
    }
    out = cache[key];
}

void CommonVMHandle::clearCacheObject(const std::string& key)
{
    try {
        if (cache.isObject() && cache.isMember(key)) {
            Json::Value& entry = cache[key];
            // clear() takes only arrays and objects; a plain value is cleared to null.
            if (entry.isArray() || entry.isObject()) {
                entry.clear();
            } else {
                entry = Json::Value();
            }
        }
        NotifCacheDataChanged(toJsonString());
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Clear cache object(" << key << ") failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Clear cache object(" << key << ") failed. Unknown exception.";
    }
}

void CommonVMHandle::clearCacheData()
{
    cache.clear();
    NotifCacheDataChanged(toJsonString());
}

std::string CommonVMHandle::toJsonString()
{
    return CJsonUtils::JsonToString(cache);
}

uint32_t CommonVMHandle::getCachedArrayObjectSize(const std::string& key)
{
    if (!cache.isObject() || !cache.isMember(key) || cache[key].isNull()) {
        return 0;
    }
    const Json::Value& entry = cache[key];
    return (entry.isArray() || entry.isObject()) ? entry.size() : 0;
}

std::string CommonVMHandle::getCachedUUID()
{
    return boost::uuids::to_string(cacheId);
}

void CommonVMHandle::setAbortFunc(const AbortFunc& f)
{
    LOG_STREAM(2) << "setAbortFunc for " << taskName;
    abortFunc = f;
}

void CommonVMHandle::getCachedNormalObjectValue(const std::string& key, std::string& out)
{
    out.clear();
    if (cache.isObject() && cache.isMember(key) && cache[key].isString()) {
        out = cache[key].asString();
    }
}

void CommonVMHandle::getCachedNormalObjectValue(const std::string& key, Json::Value& out)
{
    out = Json::Value();
    if (cache.isObject() && cache.isMember(key) && cache[key].isObject()) {
        out = cache[key];
    }
}

void CommonVMHandle::getCachedArrayObjectValue(const std::string& key, std::string& out)
{
    out.clear();
    if (cache.isObject() && cache.isMember(key) && cache[key].isArray() && !cache[key].empty() &&
        cache[key][0].isString()) {
        out = cache[key][0].asString();
    }
}

void CommonVMHandle::getCachedArrayObjectValue(const std::string& key, Json::Value& out)
{
    out = Json::Value();
    if (cache.isObject() && cache.isMember(key) && cache[key].isArray() && !cache[key].empty() &&
        cache[key][0].isObject()) {
        out = cache[key][0];
    }
}

void CommonVMHandle::getCachedNormalObject(const std::string& key, Json::Value& out)
{
    out = Json::Value();
    if (cache.isObject() && cache.isMember(key)) {
        out = cache[key];
    }
}

void CommonVMHandle::getCachedArrayObject(const std::string& key, Json::Value& out)
{
    out = Json::Value();
    if (cache.isObject() && cache.isMember(key) && cache[key].isArray() && !cache[key].empty()) {
        out = cache[key][0];
    }
}

void CommonVMHandle::addCachedNormalObject(const std::string& key, const std::string& value)
{
    cache[key] = value;
}

void CommonVMHandle::addCachedArrayObject(const std::string& key, const std::string& value)
{
    addCachedArrayObject(key, Json::Value(value));
}

void CommonVMHandle::addCachedNormalObject(const std::string& key, const Json::Value& value)
{
    cache[key] = value;
}

void CommonVMHandle::addCachedArrayObject(const std::string& key, const Json::Value& value)
{
    Json::Value& entry = cache[key];
    if (!entry.isNull() && !entry.isArray()) {
        // Indexing a plain value as an array would throw.
        entry = Json::Value(Json::arrayValue);
    }
    entry[getCachedArrayObjectSize(key)] = value;
}

void CommonVMHandle::delCachedNormalObject(const std::string& key)
{
    if (cache.isObject()) {
        cache.removeMember(key);
    }
}

void CommonVMHandle::delCachedArrayObject(const std::string& key, const std::string& value)
{
    if (!cache.isObject() || !cache.isMember(key)) {
        return;
    }
    cache[key] = ArrayWithoutElement(cache[key], value);
}

std::string CommonVMHandle::getJsonString(const Json::Value& value)
{
    return value.isString() ? value.asString() : "";
}

std::string CommonVMHandle::getJsonString(const Json::Value& value, const std::string& key)
{
    if (value.isObject() && value.isMember(key)) {
        return getJsonString(value[key]);
    }
    return "";
}
