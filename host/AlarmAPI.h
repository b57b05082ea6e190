// The host's event API towards the management plane. The stand-in records
// every event in memory (bounded) and logs it; a sink may be attached to
// observe events as they are sent. Thread-safe.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using ModuleIndex = int;
using EventType = int;
using EventLevel = int;

struct EventParams {
    std::vector<std::string> params;
    uint64_t value = 0;
};

struct SentEvent {
    std::string source;
    ModuleIndex module = 0;
    EventParams params;
    EventType type = 0;
    EventLevel level = 0;
    unsigned long long alarmId = 0;
};

class AlarmAPI {
public:
    static int SendEvent(std::string source, ModuleIndex module, const EventParams& params, EventType type,
                         EventLevel level, unsigned long long alarmId);

    using Sink = std::function<void(const SentEvent&)>;
    // Installs a sink that sees every event; returns the previous one.
    static Sink SetSink(Sink sink);
};
