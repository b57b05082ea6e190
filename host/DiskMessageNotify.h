// The host's message sink of one task: event records and cached task data
// travel to the host through it. The host owns it; plug-ins keep a pointer.
#pragma once
#include <string>

class DiskMessageNotify {
public:
    virtual ~DiskMessageNotify() = default;
    // Third slot: sends one message (topic, JSON body).
    virtual void SendMessage(const std::string& topic, const std::string& body) = 0;
};
