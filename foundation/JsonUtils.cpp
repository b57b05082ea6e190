#include "foundation/JsonUtils.h"

#include <exception>
#include <memory>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "CJsonUtils";

// The fast writer's output, pinned: comments the reader collected would end a
// one-line text early, and raw UTF-8 is escaped as \uXXXX as it does.
const Json::StreamWriterBuilder& CompactBuilder()
{
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["commentStyle"] = "None";
        b["indentation"] = "";
        b["emitUTF8"] = false;
        b["enableYAMLCompatibility"] = false;
        b["dropNullPlaceholders"] = false;
        b["useSpecialFloats"] = false;
        b["precision"] = 17;
        b["precisionType"] = "significant";
        return b;
    }();
    return builder;
}
}  // namespace

std::string CJsonUtils::JsonToString(const Json::Value& value)
{
    try {
        std::string out = Json::writeString(CompactBuilder(), value);
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return out;
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Write json string failed: " << e.what();
        return "";
    }
}

bool CJsonUtils::StringToJson(const std::string& text, Json::Value& value)
{
    try {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const std::exception& e) {
        // The reader throws past its nesting limit; a half-built value must
        // not reach the caller.
        value = Json::Value();
        LOG_STREAM(4) << "Parse json string failed: " << e.what();
        return false;
    }
}
