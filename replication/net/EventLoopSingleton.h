// The process's two event loops: the TCP loop (kernel epoll) and the VPP loop
// (the UDP transport), each created on first request, sized by
// "Replication"/"MaxEventNumber", and run by a detached thread of its own.
// All members are safe from any thread. The instance from GetInstance lives
// until the process ends.
#pragma once
#include <memory>
#include <mutex>

#include "replication/net/EventLoop.h"

class EventLoopSingleton {
public:
    static EventLoopSingleton* GetInstance();
    virtual ~EventLoopSingleton();
    EventLoopSingleton(const EventLoopSingleton&) = delete;
    EventLoopSingleton& operator=(const EventLoopSingleton&) = delete;

    // The loop, created and started on the first call. Empty when the loop
    // object or its thread could not be created (an allocation failure
    // included); a later call then tries again.
    std::shared_ptr<EventLoop> GetTcpEventLoop();
    std::shared_ptr<EventLoop> GetVppEventLoop();

protected:
    EventLoopSingleton() = default;
    // Builds a loop object; may throw (tests override it to fail).
    virtual std::shared_ptr<EventLoop> NewEventLoop();

private:
    std::shared_ptr<EventLoop> GetEventLoop(PollerType type);
    // The creation steps, under s_mutex; may throw on allocation failure,
    // which GetEventLoop turns into an empty result and a level-4 line.
    std::shared_ptr<EventLoop> CreateEventLoop(PollerType type, std::shared_ptr<EventLoop>& held, bool& created);

    std::shared_ptr<EventLoop> m_vppEventLoop;
    std::shared_ptr<EventLoop> m_tcpEventLoop;
    bool m_vppCreated = false;
    bool m_tcpCreated = false;

    static std::mutex s_mutex;
    static EventLoopSingleton* s_eventLoopSingleton;
};
