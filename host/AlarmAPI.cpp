#include "host/AlarmAPI.h"

#include <mutex>

#include "host/Logger.h"

namespace {
std::mutex g_mutex;
AlarmAPI::Sink g_sink;
}  // namespace

int AlarmAPI::SendEvent(std::string source, ModuleIndex module, const EventParams& params, EventType type,
                        EventLevel level, unsigned long long alarmId)
{
    SentEvent ev{std::move(source), module, params, type, level, alarmId};
    std::string text = "event source=" + ev.source + " module=" + std::to_string(module) +
                       " type=" + std::to_string(type) + " level=" + std::to_string(level) +
                       " alarmId=" + std::to_string(alarmId) + " params=[";
    for (size_t i = 0; i < params.params.size(); ++i) {
        text += (i ? "," : "") + params.params[i];
    }
    text += "]";
    CLogger* logger = CLogger::GetInstance();
    if (logger->GetLogLevel() <= 2) {
        logger->LogEx(2, "AlarmAPI", 0, "AlarmAPI::SendEvent()", __LINE__, text);
    }
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
    }
    if (sink) {
        sink(ev);
    }
    return 0;
}

AlarmAPI::Sink AlarmAPI::SetSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Sink old = std::move(g_sink);
    g_sink = std::move(sink);
    return old;
}
