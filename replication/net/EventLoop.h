// An event loop: one poller, a table of read/write callbacks per descriptor,
// and Loop(), which waits (at most 1000 ms per wait) and runs the callbacks on
// the thread that called Loop. AddEvent, DeleteEvent and ExitLoop are safe from
// any thread, including from inside a callback; callbacks run without the
// loop's mutex. The loop owns its poller; callers own their descriptors.
// No exception leaves a member: an allocation failure is logged at level 4 and
// returned as -1 (Loop then ends with -1, as after a failed wait). Exceptions
// thrown by the callbacks themselves are not caught.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "replication/net/PollerInterface.h"

// Fixed 32-bit storage: an unknown value is refused, not undefined.
enum PollerType : int {
    POLLER_EPOLL = 0,
    POLLER_ZEPH = 1,
};

class EventLoop {
public:
    using Callback = std::function<void(int, EVENT_TYPE)>;

    struct EventInfo {
        int fd = -1;
        Callback callbacks[2];  // [0] read, [1] write
    };

    EventLoop() = default;
    virtual ~EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    int Initialize(PollerType type, int maxFds);
    // Sets the callback for the directions in type and widens the poller's
    // interest when a direction is new.
    int AddEvent(int fd, EVENT_TYPE type, Callback callback);
    // Clears the callbacks of the directions in type and narrows the interest;
    // the entry goes when no callback remains.
    int DeleteEvent(int fd, EVENT_TYPE type);
    // Runs until ExitLoop (0) or a failed wait (the wait's code).
    int Loop();
    // Loop returns after its current wait and the handling of what it returned.
    void ExitLoop();

private:
    bool CreatePoller(PollerType type);
    int UpdateFdPoller(const EventInfo& info, bool isNew);
    // False when the entry could not be copied (the loop then ends with -1).
    bool ProcessEvent(int fd, EVENT_TYPE type);
    static void TraceNoHandle(const char* direction, int fd, EVENT_TYPE type) noexcept;

    std::mutex m_mutex;
    std::shared_ptr<PollerInterface> m_poller;
    std::map<int, EventInfo> m_eventInfos;
    std::atomic<bool> m_running{false};
};
