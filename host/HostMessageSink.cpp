#include "host/HostMessageSink.h"

#include <json/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "host/GuardedFile.h"
#include "host/Logger.h"
#include "host/StrataCleanFile.h"

const char HostMessageSink::EVENT_TOPIC[] = "DiskDescriptor.Message.SendEvent";
const char HostMessageSink::CACHE_DATA_TOPIC[] = "DiskDescriptor.Message.Update.CacehData";

namespace {
const char MODULE[] = "HostMessageSink";

void Warn(const std::string& text)
{
    CLogger::GetInstance()->LogEx(3, MODULE, 0, "HostMessageSink", __LINE__, text);
}

bool ParseEvent(const std::string& body, HostMessageSink::Event& event)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors) || !root.isObject()) {
        return false;
    }
    const Json::Value& type = root["Type"];
    const Json::Value& code = root["Code"];
    const Json::Value& params = root["Parameters"];
    if (!type.isIntegral() || !code.isIntegral() || !params.isArray()) {
        return false;
    }
    event.type = type.asInt();
    event.code = code.asUInt64();
    for (const Json::Value& p : params) {
        event.params.push_back(p.isString() ? p.asString() : p.toStyledString());
    }
    event.body = body;
    return true;
}
}  // namespace

HostMessageSink::HostMessageSink(std::string taskId) : m_taskId(std::move(taskId)) {}

HostMessageSink::~HostMessageSink() = default;

std::string HostMessageSink::TaskCachePath(const std::string& taskId)
{
    return StrataCleanFile::CacheDirectory() + "/task-" + taskId + ".taskdata";
}

void HostMessageSink::SendMessage(const std::string& topic, const std::string& body)
{
    if (topic == EVENT_TOPIC) {
        Event event;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (ParseEvent(body, event)) {
            m_events.push_back(std::move(event));
        } else {
            ++m_rejected;
            Warn("Unreadable event record: " + body);
        }
        return;
    }
    if (topic == CACHE_DATA_TOPIC) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latestCache = body;
        Persist(body);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_rejected;
    Warn("Unknown message topic: " + topic);
}

void HostMessageSink::Persist(const std::string& body)
{
    if (!StrataCleanFile::ValidCacheId(m_taskId)) {
        return;
    }
    const std::string dir = StrataCleanFile::CacheDirectory();
    std::string partial;
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
            m_persistError = "cannot create " + partial + ": " + std::strerror(errno);
            Warn(m_persistError);
            return;
        }
    }
    Oru::GuardedFile file;
    if (file.Open(TaskCachePath(m_taskId), "w") != 0 || file.Write(body.data(), 1, body.size()) != body.size() ||
        file.Flush(true) != 0 || file.Close() != 0) {
        m_persistError = file.GetErrorInfo();
        Warn("Cannot keep cached task data: " + m_persistError);
        return;
    }
    m_persistError.clear();
}

std::vector<HostMessageSink::Event> HostMessageSink::Events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

size_t HostMessageSink::CountEvents(uint64_t code, int32_t type) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const Event& e : m_events) {
        n += (e.code == code && e.type == type) ? 1 : 0;
    }
    return n;
}

std::string HostMessageSink::LatestCacheData() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latestCache;
}

std::string HostMessageSink::LastPersistError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_persistError;
}

size_t HostMessageSink::RejectedMessages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rejected;
}

std::string HostMessageSink::LoadTaskCacheData(const std::string& taskId)
{
    if (!StrataCleanFile::ValidCacheId(taskId)) {
        return "";
    }
    Oru::GuardedFile file;
    if (file.Open(TaskCachePath(taskId), "r") != 0) {
        return "";
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = file.Read(buf, 1, sizeof buf)) > 0) {
        text.append(buf, n);
    }
    return text;
}

bool HostMessageSink::ForgetTaskCacheData(const std::string& taskId)
{
    if (!StrataCleanFile::ValidCacheId(taskId)) {
        return false;
    }
    Oru::GuardedFile file;
    return file.Remove(TaskCachePath(taskId)) == 0;
}
