#include "foundation/JsonUtils.h"

#include <memory>

std::string CJsonUtils::JsonToString(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::string out = Json::writeString(builder, value);
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

bool CJsonUtils::StringToJson(const std::string& text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}
