// Helpers shared by the plug-in's unit tests: scripted storage tool answers and
// what the plug-in sent to the host.
#pragma once
#include <json/json.h>

#include <ostream>
#include <string>
#include <vector>

#include "foundation/JsonUtils.h"
#include "host/testing/Fakes.h"
#include "tests/support/TempRoot.h"

namespace plugintest {

using testroot::TempRoot;

using Reply = testing_fakes::ScriptedCommandRunner::Reply;

inline Reply Lines(std::vector<std::string> out, int exitCode = 0)
{
    Reply r;
    r.out = std::move(out);
    r.exitCode = exitCode;
    return r;
}
inline Reply AttachOk(const std::string& dev)
{
    return Lines({"ret_code=0", "ret_desc=attach volume success", "dev_addr=" + dev});
}
inline Reply CliFail(int code, const std::string& desc = "failed")
{
    return Lines({"ret_code=" + std::to_string(code), "ret_desc=" + desc}, 1);
}
inline Reply CliOk()
{
    return Lines({"ret_code=0", "ret_desc=detach volume success"});
}
inline Reply QrmCode(int code)
{
    return Lines({"ResultCode=" + std::to_string(code)}, code == 0 ? 0 : 1);
}
inline Reply CreateOk(int blockSize, int snapSize = 16)
{
    return Lines({"ResultCode=0", "snapSize=" + std::to_string(snapSize), "blockSize=" + std::to_string(blockSize),
                  "bitmapSize=4096"});
}
inline Reply QueryReady(int blockSize, int status = 0)
{
    return Lines({"ResultCode=0", "snapSize=16", "blockSize=" + std::to_string(blockSize), "volSize=4096",
                  "status=" + std::to_string(status)});
}

// Fragments that pick one storage operation out of a command line.
inline std::string AttachOf(const std::string& name) { return "-c attachwithip -v '" + name + "'"; }
inline std::string DetachOf(const std::string& name) { return "-c detachwithip -v '" + name + "'"; }
inline const char* kCreate = "--op createBitmapVolume";
inline const char* kQuery = "--op queryBitmapVolume";
inline const char* kDelete = "--op deleteVolume";

// A volume's attach, key script and detach answered on `script`.
inline void ScriptVolume(testing_fakes::ScriptedCommandRunner& script, Reply attach = AttachOk("/dev/sdq"),
                         Reply detach = CliOk(), Reply key = Lines({"ok"}))
{
    script.ExpectContaining("-c attachwithip", attach);
    script.ExpectContaining("reg_qs.sh", key);
    script.ExpectContaining("-c detachwithip", detach);
}
// A bitmap volume's create, query, attach (as `device`), detach and delete;
// `blockSize` bytes per bit. An empty `create` answers a good creation.
inline void ScriptBitmap(testing_fakes::ScriptedCommandRunner& script, const std::string& device, int blockSize,
                         Reply detach = CliOk(), Reply remove = QrmCode(0), Reply create = Reply())
{
    script.ExpectContaining(kCreate, create.out.empty() ? CreateOk(blockSize) : create);
    script.ExpectContaining(kQuery, QueryReady(blockSize));
    script.ExpectContaining("-c attachwithip", AttachOk(device));
    script.ExpectContaining("-c detachwithip", detach);
    script.ExpectContaining(kDelete, remove);
}

// Number of recorded calls whose command line contains `fragment`.
inline size_t CallsWith(const testing_fakes::ScriptedCommandRunner& runner, const std::string& fragment)
{
    size_t n = 0;
    for (const auto& c : runner.Calls()) {
        n += c.line.find(fragment) != std::string::npos ? 1 : 0;
    }
    return n;
}

// Parsed event records sent to the captured sink.
struct EventRecord {
    int type = 0;
    uint64_t code = 0;
    std::vector<std::string> params;
    bool operator==(const EventRecord& o) const { return type == o.type && code == o.code && params == o.params; }
};
inline std::ostream& operator<<(std::ostream& os, const EventRecord& e)
{
    os << "{" << e.type << ", " << e.code;
    for (const auto& p : e.params) {
        os << ", \"" << p << "\"";
    }
    return os << "}";
}
using EventList = std::vector<EventRecord>;
inline std::vector<EventRecord> Events(const testing_fakes::CapturedMessages& sink)
{
    std::vector<EventRecord> out;
    for (const std::string& body : sink.Bodies("DiskDescriptor.Message.SendEvent")) {
        Json::Value v;
        CJsonUtils::StringToJson(body, v);
        EventRecord e;
        e.type = v["Type"].asInt();
        e.code = v["Code"].asUInt64();
        for (const auto& p : v["Parameters"]) {
            e.params.push_back(p.asString());
        }
        out.push_back(e);
    }
    return out;
}
inline Json::Value LastCacheData(const testing_fakes::CapturedMessages& sink)
{
    auto bodies = sink.Bodies("DiskDescriptor.Message.Update.CacehData");
    Json::Value v;
    if (!bodies.empty()) {
        CJsonUtils::StringToJson(bodies.back(), v);
    }
    return v;
}
inline size_t ArraySize(const Json::Value& doc, const char* key)
{
    return doc.isObject() && doc.isMember(key) && doc[key].isArray() ? doc[key].size() : 0;
}

}  // namespace plugintest
