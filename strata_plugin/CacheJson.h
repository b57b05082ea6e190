// JSON cache helpers shared by the plug-in's volume handle and its persistence.
#pragma once
#include <json/json.h>

#include <string>

// Copy of entry's elements without those matching value: a string equal to it, or an
// object whose "key" is it. A non-array entry yields null, which removes the entry's contents.
inline Json::Value ArrayWithoutElement(const Json::Value& entry, const std::string& value)
{
    Json::Value kept(Json::nullValue);
    if (entry.isArray()) {
        for (const Json::Value& element : entry) {
            bool keep = false;
            if (element.isString()) {
                keep = element.asString() != value;
            } else if (element.isObject()) {
                const Json::Value& k = element["key"];
                keep = !(k.isString() && k.asString() == value);
            }
            if (keep) {
                kept.append(element);
            }
        }
    }
    return kept;
}
