// Conversions between record fields and JSON values for the record mapping of
// DataMoverUtility. Stateless templates; safe from any thread.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <string>

class JsonHelper {
public:
    template <typename T>
    static void JsonValueToType(T& field, const Json::Value& value);
    template <typename T>
    static void TypeToJsonValue(const T& field, Json::Value& value);
};

template <>
inline void JsonHelper::JsonValueToType<bool>(bool& field, const Json::Value& value)
{
    field = value.asBool();
}
template <>
inline void JsonHelper::JsonValueToType<uint32_t>(uint32_t& field, const Json::Value& value)
{
    field = value.asUInt();
}
template <>
inline void JsonHelper::JsonValueToType<uint64_t>(uint64_t& field, const Json::Value& value)
{
    field = value.asUInt64();
}
template <>
inline void JsonHelper::JsonValueToType<std::string>(std::string& field, const Json::Value& value)
{
    field = value.asString();
}

template <>
inline void JsonHelper::TypeToJsonValue<bool>(const bool& field, Json::Value& value)
{
    value = Json::Value(field);
}
template <>
inline void JsonHelper::TypeToJsonValue<uint32_t>(const uint32_t& field, Json::Value& value)
{
    value = Json::Value(static_cast<Json::UInt>(field));
}
template <>
inline void JsonHelper::TypeToJsonValue<uint64_t>(const uint64_t& field, Json::Value& value)
{
    value = Json::Value(static_cast<Json::UInt64>(field));
}
template <>
inline void JsonHelper::TypeToJsonValue<std::string>(const std::string& field, Json::Value& value)
{
    value = Json::Value(field);
}
