// The host's message sink of one task: records every event a plug-in sends and
// keeps the latest cached task data, in memory and in <root>/var/cache, so that
// a later process of the same task can hand it to CleanLeftovers. One object
// per task, owned by the host; SendMessage may be called from any thread.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/DiskMessageNotify.h"

class HostMessageSink : public DiskMessageNotify {
public:
    static const char EVENT_TOPIC[];       // "DiskDescriptor.Message.SendEvent"
    static const char CACHE_DATA_TOPIC[];  // "DiskDescriptor.Message.Update.CacehData"

    struct Event {
        int32_t type = 0;
        uint64_t code = 0;
        std::vector<std::string> params;
        std::string body;  // the record as received
    };

    // `taskId` names the persisted document; an empty or unsafe one keeps the
    // data in memory only.
    explicit HostMessageSink(std::string taskId);
    ~HostMessageSink() override;

    void SendMessage(const std::string& topic, const std::string& body) override;

    std::vector<Event> Events() const;
    // Events with the given code and type.
    size_t CountEvents(uint64_t code, int32_t type) const;
    // The latest cached task data received (empty before the first).
    std::string LatestCacheData() const;
    // Failures to persist the cached data, for the host's logs.
    std::string LastPersistError() const;
    // Messages whose topic was not understood or whose event record did not parse.
    size_t RejectedMessages() const;

    // The cached task data persisted by an earlier sink of this task; empty when none.
    static std::string LoadTaskCacheData(const std::string& taskId);
    // Forgets the persisted data of the task (after a successful clean-up).
    static bool ForgetTaskCacheData(const std::string& taskId);
    static std::string TaskCachePath(const std::string& taskId);

private:
    void Persist(const std::string& body);

    const std::string m_taskId;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
    std::string m_latestCache;
    std::string m_persistError;
    size_t m_rejected = 0;
};
