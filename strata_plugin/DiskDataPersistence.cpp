#include "strata_plugin/DiskDataPersistence.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <exception>

#include "foundation/JsonUtils.h"
#include "foundation/LogProxy.h"
#include "host/StrataCleanFile.h"
#include "strata_plugin/CacheJson.h"

namespace {
const char MODULE_NAME[] = "StrataDiskDescriptor";

const char* const VOLUME_KEYS[] = {CacheKey::SNAPSHOT_VOLUMES_ATTACHED, CacheKey::DATA_VOLUMES_ATTACHED,
                                   CacheKey::BITMAP_VOLUMES_CREATED, CacheKey::BITMAP_VOLUMES_ATTACHED};
}  // namespace

DiskDataPersistence::DiskDataPersistence(DiskMessageNotify* notify)
    : cache(Json::nullValue), msgNotify(notify), cleanFile(new StrataCleanFile())
{
    boost::uuids::random_generator gen;
    cachedUUID = boost::uuids::to_string(gen());
    cache[CacheKey::CACHE_UUID] = cachedUUID;
}

DiskDataPersistence::~DiskDataPersistence() = default;

bool DiskDataPersistence::IsUseful()
{
    bool useful = false;
    for (const char* key : VOLUME_KEYS) {
        // operator[] creates the key as null: the documents sent afterwards carry it.
        const Json::Value& value = cache[key];
        if (!value.isNull() && value.size() != 0) {
            useful = true;
        }
    }
    // Registered keys also need a later clean-up; tested without creating the key.
    const char* keys = CacheKey::DATA_VOLUME_KEYS_REGISTERED;
    if (cache.isObject() && cache.isMember(keys) && cache[keys].size() != 0) {
        useful = true;
    }
    return useful;
}

void DiskDataPersistence::Publish()
{
    if (msgNotify == nullptr) {
        LOG_STREAM(4) << "Message notify pointer is NULL.";
        return;
    }
    if (!IsUseful()) {
        cleanFile->RemoveCacheFile(cachedUUID);
    } else if (!cleanFile->SaveCacheFile(cachedUUID, ToJsonString(), true)) {
        // The host still receives the document below; only the local copy is missing.
        LOG_STREAM(3) << "Save cache file " << cachedUUID << " failed: " << cleanFile->GetErrorInfo();
    }
    msgNotify->SendMessage(std::string(DISK_MESSAGE_TOPIC_PREFIX) + DISK_MESSAGE_CACHE_DATA, ToJsonString());
}

void DiskDataPersistence::AddObject(const std::string& key, const std::string& value)
{
    cache[key] = value;
    Publish();
}

void DiskDataPersistence::RemoveObject(const std::string& key)
{
    if (cache.isObject()) {
        cache.removeMember(key);
    }
    Publish();
}

std::string DiskDataPersistence::GetObject(const std::string& key)
{
    if (!cache.isObject() || !cache.isMember(key) || !cache[key].isString()) {
        return "";
    }
    return cache[key].asString();
}

void DiskDataPersistence::AppendArrayElement(const std::string& key, const std::string& value)
{
    Json::Value& entry = cache[key];
    if (!entry.isArray()) {
        // A stray non-array value (from a foreign document) would make append throw.
        entry = Json::Value(Json::arrayValue);
    }
    entry.append(value);
    Publish();
}

void DiskDataPersistence::RemoveArrayElement(const std::string& key, const std::string& value)
{
    cache[key] = ArrayWithoutElement(cache[key], value);
    Publish();
}

std::string DiskDataPersistence::GetFirstArrayElement(const std::string& key)
{
    try {
        if (!cache.isObject() || !cache.isMember(key)) {
            return "";
        }
        const Json::Value& entry = cache[key];
        if (!entry.isArray() || entry.empty()) {
            return "";
        }
        return entry[0].asString();
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Get array element failed. Exception is " << e.what();
        return "";
    }
}

bool DiskDataPersistence::ToJsonValue(const std::string& text)
{
    // The text comes from the host: a hostile document is refused, never thrown.
    try {
        return Load(text);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Parse cached data failed. Exception is " << e.what();
    } catch (...) {
        LOG_STREAM(4) << "Parse cached data failed. Unknown exception.";
    }
    return false;
}

bool DiskDataPersistence::HasArrayElement(const std::string& key, const std::string& value) const
{
    if (!cache.isObject() || !cache.isMember(key) || !cache[key].isArray()) {
        return false;
    }
    for (const Json::Value& element : cache[key]) {
        if (element.isString() && element.asString() == value) {
            return true;
        }
    }
    return false;
}

bool DiskDataPersistence::Load(const std::string& text)
{
    Json::Value parsed;
    if (!CJsonUtils::StringToJson(text, parsed)) {
        return false;
    }
    if (!parsed.isObject()) {
        // Only an object can be a cached task data document; anything else would
        // make every later key access throw.
        LOG_STREAM(4) << "Cached data is not a JSON object.";
        return false;
    }
    cache = parsed;
    // The host's cache keeper refuses an identifier that is not a safe file name.
    if (cache.isMember(CacheKey::CACHE_UUID) && cache[CacheKey::CACHE_UUID].isString()) {
        cachedUUID = cache[CacheKey::CACHE_UUID].asString();
    }
    return true;
}

std::string DiskDataPersistence::ToJsonString()
{
    return CJsonUtils::JsonToString(cache);
}

std::string DiskDataPersistence::GetCachedUUID()
{
    return cachedUUID;
}

void DiskDataPersistence::Finish()
{
    if (IsUseful() && !cleanFile->SaveCacheFile(cachedUUID, ToJsonString(), false)) {
        LOG_STREAM(4) << "Save cache file " << cachedUUID << " failed: " << cleanFile->GetErrorInfo();
    }
}
