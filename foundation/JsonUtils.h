// The one path of every JSON text of the library: compact one-line writing and
// parsing with the default reader settings. Stateless; safe from any thread.
#pragma once
#include <json/json.h>

#include <string>

class CJsonUtils {
public:
    // Compact one-line JSON without a trailing line feed; null gives "null".
    static std::string JsonToString(const Json::Value& value);
    // True when `text` parses; `value` holds the result.
    static bool StringToJson(const std::string& text, Json::Value& value);
};
