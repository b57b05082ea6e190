// The one poller implementation behind EpollPoller and ZephincPoller. The twins
// differ only in their system calls and a few log texts, which they hand in as
// a PollerSystem and a PollerTexts table; everything else lives here.
// Not thread-safe by itself (see PollerInterface).
#pragma once
#include <memory>

#include "replication/net/PollerInterface.h"

struct epoll_event;

// The calls a poller makes; each returns -1 on failure and leaves the error
// number for lastError() of the calling thread.
struct PollerSystem {
    int (*create)(int sizeHint);
    int (*ctl)(int epfd, int op, int fd, epoll_event* event);
    int (*wait)(int epfd, epoll_event* events, int maxEvents, int timeoutMs);
    int (*close)(int fd);
    int (*fcntl)(int fd, int cmd, int arg);
    int (*lastError)();
};

// What the twins log differently.
struct PollerTexts {
    const char* module;
    int controlTraceLevel;        // the "fd=" trace of Add/Modify/DeleteEvent
    const char* addTypeLabel;     // before the type in the add failure
    const char* modifyTypeLabel;  // before the type in the modify failure
    const char* waitTrace;        // followed by the number of ready records
    int waitTraceLevel;
    const char* eventTrace;       // per record, level 1
    bool tracePush;               // trace each pair pushed into the ready list
    const char* interruptedTrace;  // level 2
};

class BasicPoller : public PollerInterface {
public:
    ~BasicPoller() override;
    BasicPoller(const BasicPoller&) = delete;
    BasicPoller& operator=(const BasicPoller&) = delete;

    int Initialize(int maxFds) override;
    int AddEvent(int fd, EVENT_TYPE type) override;
    int ModifyEvent(int fd, EVENT_TYPE type) override;
    int DeleteEvent(int fd) override;
    int Dispatch(int timeout, std::vector<std::pair<int, EVENT_TYPE>>& readyEvents) override;

    // Adds O_NONBLOCK to a descriptor of this poller's kind; offered to the
    // descriptors' owners.
    bool SetNonBlocking(int fd);

protected:
    BasicPoller(const PollerSystem& system, const PollerTexts& texts);

private:
    int Control(int op, int fd, EVENT_TYPE type, const char* failure, const char* typeLabel);

    const PollerSystem& m_system;
    const PollerTexts& m_texts;
    int m_epollFd = -1;
    int m_maxFds = -1;
    std::unique_ptr<epoll_event[]> m_events;
};
