// Conversions between record fields and JSON values for the record mapping of
// DataMoverUtility. Stateless; safe from any thread.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <exception>
#include <string>

class JsonHelper {
public:
    // A value of another type reads as the null conversion (false, 0, empty)
    // and is logged at level 4: a peer's record must never throw.
    template <typename T>
    static void JsonValueToType(T& field, const Json::Value& value);
    template <typename T>
    static void TypeToJsonValue(const T& field, Json::Value& value);

private:
    static void LogWrongType(const char* what);
};

namespace json_helper_detail {
inline void Read(const Json::Value& v, bool& out) { out = v.asBool(); }
inline void Read(const Json::Value& v, uint32_t& out) { out = v.asUInt(); }
inline void Read(const Json::Value& v, uint64_t& out) { out = v.asUInt64(); }
inline void Read(const Json::Value& v, std::string& out) { out = v.asString(); }
}  // namespace json_helper_detail

template <typename T>
void JsonHelper::JsonValueToType(T& field, const Json::Value& value)
{
    try {
        json_helper_detail::Read(value, field);
    } catch (const std::exception& e) {
        field = T();
        LogWrongType(e.what());
    }
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
