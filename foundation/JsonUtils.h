// The one path of every JSON text of the library: compact one-line writing and
// parsing with the default reader settings. Stateless; safe from any thread.
#pragma once
#include <json/json.h>

#include <string>

class CJsonUtils {
public:
    // Compact one-line JSON without a trailing line feed, exactly as the fast
    // writer has it (no comments, non-ASCII escaped); null gives "null".
    // Empty only when writing failed (no memory).
    static std::string JsonToString(const Json::Value& value);
    // True when `text` parses; `value` holds the result. Never throws: text
    // nested past the reader's limit is a failure and leaves `value` null.
    static bool StringToJson(const std::string& text, Json::Value& value);
};
