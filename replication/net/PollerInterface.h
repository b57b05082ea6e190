// Readiness pollers: one interface over kernel epoll (EpollPoller) and over the
// UDP transport's epoll (ZephincPoller). A poller has no lock: its owner
// serializes the control calls, which may run while another thread waits.
#pragma once
#include <utility>
#include <vector>

// Interest registered for a descriptor, and readiness reported for it.
// As readiness, EVENT_READ_WRITE means "in error or hung up".
// Fixed 32-bit storage: callers may pass other bit values, which pollers ignore.
enum EVENT_TYPE : int {
    EVENT_READ = 1,
    EVENT_WRITE = 2,
    EVENT_READ_WRITE = 3,
};

class PollerInterface {
public:
    virtual ~PollerInterface() = default;
    // Creates the instance able to return maxFds events per wait; once only.
    virtual int Initialize(int maxFds) = 0;
    virtual int AddEvent(int fd, EVENT_TYPE type) = 0;
    virtual int ModifyEvent(int fd, EVENT_TYPE type) = 0;
    virtual int DeleteEvent(int fd) = 0;
    // Waits at most timeout ms; refills readyEvents with (fd, readiness).
    virtual int Dispatch(int timeout, std::vector<std::pair<int, EVENT_TYPE>>& readyEvents) = 0;
};
