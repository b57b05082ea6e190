// Turns the flood detector's refusal codes into management-plane events
// through the host's AlarmAPI. Stateless; SendAlarm is safe from any thread.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

class ReplicationServerAlarm {
public:
    static const uint64_t kAlarmTooManyConns = 0x2010E01A001EULL;
    static const uint64_t kAlarmTooManyConnsPerUnit = 0x2010E01A001FULL;
    static const uint64_t kAlarmTooManyRequests = 0x2010E01A0020ULL;

    static ReplicationServerAlarm* GetInstance();
    ReplicationServerAlarm() = default;
    virtual ~ReplicationServerAlarm() = default;

    // Codes 0, 2, 3 and 5 send an event; any other code sends nothing.
    void SendAlarm(int retCode, std::string sourceIp);

private:
    static std::mutex s_mutex;
    static ReplicationServerAlarm* s_repAlarmSingleton;
};
