#include "replication/net/EventLoop.h"

#include <exception>
#include <new>
#include <vector>

#include "foundation/LogProxy.h"
#include "replication/net/EpollPoller.h"
#include "replication/net/ZephincPoller.h"

namespace {
const char MODULE_NAME[] = "EventLoop";

constexpr int kWaitMs = 1000;
}  // namespace

// The loop's records carry request identifier 0: they belong to no request.
#define ELOG(level)                                                                            \
    if (!LogLevelEnabled(level)) {                                                             \
    } else                                                                                     \
        LogProxy((level), MODULE_NAME, 0, GetFunctionName(__PRETTY_FUNCTION__), __LINE__)

int EventLoop::Initialize(PollerType type, int maxFds)
{
    ELOG(2) << "Enter, maxFsd=" << maxFds << ", type=" << type;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_poller) {
        ELOG(4) << "Exit, it has been initialized. maxFds=" << maxFds << ", type=" << type;
        return 0;
    }
    if (!CreatePoller(type)) {
        ELOG(4) << "Create EpollPoller failed. type=" << type;
        return -1;
    }
    int r = m_poller->Initialize(maxFds);
    if (r == 0) {
        m_running = false;
        ELOG(2) << "exit to success.maxFds=" << maxFds << ", type=" << type;
        return 0;
    }
    ELOG(4) << "Poller initialize failed. maxFds=" << maxFds << ", type=" << type;
    m_poller.reset();
    return r;
}

bool EventLoop::CreatePoller(PollerType type)
{
    switch (type) {
        case POLLER_EPOLL:
            try {
                m_poller = std::make_shared<EpollPoller>();
                return true;
            } catch (const std::exception& e) {
                m_poller.reset();
                ELOG(2) << "Create EpollPoller failed. exception=" << e.what() << ", type=" << type;
                return false;
            }
        case POLLER_ZEPH:
            m_poller.reset(new (std::nothrow) ZephincPoller());
            if (!m_poller) {
                ELOG(4) << "Create ZephincPoller failed.";
                return false;
            }
            return true;
        default:
            ELOG(2) << "Create EpollPoller failed. type=" << type;
            return false;
    }
}

int EventLoop::AddEvent(int fd, EVENT_TYPE type, Callback callback)
{
    ELOG(0) << "Enter, type=" << type << ",fd=" << fd;
    if (type == 0) {
        ELOG(4) << "Invalid event type.type=" << type;
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_poller) {
        ELOG(4) << "Poller is not initialized.";
        return -1;
    }
    auto found = m_eventInfos.find(fd);
    if (found == m_eventInfos.end()) {
        found = m_eventInfos.emplace(fd, EventInfo()).first;
    }
    EventInfo& info = found->second;
    // An entry without callbacks (left by a type without known bits) is not
    // watched by the poller, so its first real direction is an add, not a modify.
    const bool isNew = !info.callbacks[0] && !info.callbacks[1];
    info.fd = fd;
    bool changed = false;
    for (int dir = 0; dir < 2; ++dir) {
        if ((type & (1 << dir)) == 0) {
            continue;
        }
        if (!info.callbacks[dir]) {
            changed = true;
        }
        info.callbacks[dir] = callback;
    }
    if (!changed) {
        // The registered interest already covers the request.
        return 0;
    }
    int r = UpdateFdPoller(info, isNew);
    if (r != 0) {
        ELOG(4) << "add event failed.type=" << type;
    }
    return r;
}

int EventLoop::DeleteEvent(int fd, EVENT_TYPE type)
{
    ELOG(0) << "Enter, type=" << type << ",fd=" << fd;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_poller) {
        ELOG(4) << "Poller is not initialized.";
        return -1;
    }
    auto found = m_eventInfos.find(fd);
    if (found == m_eventInfos.end()) {
        return 0;
    }
    EventInfo& info = found->second;
    info.fd = fd;
    if ((type & EVENT_READ) != 0) {
        info.callbacks[0] = nullptr;
    }
    if ((type & EVENT_WRITE) != 0) {
        info.callbacks[1] = nullptr;
    }
    int r = UpdateFdPoller(info, false);
    if (!info.callbacks[0] && !info.callbacks[1]) {
        m_eventInfos.erase(found);
    }
    if (r != 0) {
        ELOG(4) << "delete event failed.type=" << type << ",fd=" << fd << ",ret=" << r;
        return r;
    }
    return 0;
}

int EventLoop::UpdateFdPoller(const EventInfo& info, bool isNew)
{
    int interest = (info.callbacks[0] ? EVENT_READ : 0) | (info.callbacks[1] ? EVENT_WRITE : 0);
    if (interest == 0) {
        return m_poller->DeleteEvent(info.fd);
    }
    return isNew ? m_poller->AddEvent(info.fd, static_cast<EVENT_TYPE>(interest))
                 : m_poller->ModifyEvent(info.fd, static_cast<EVENT_TYPE>(interest));
}

int EventLoop::Loop()
{
    std::shared_ptr<PollerInterface> poller;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_poller) {
            ELOG(4) << "Poller is not initialized.";
            return -1;
        }
        if (m_running) {
            ELOG(3) << "Event loop is running.";
            return 0;
        }
        m_running = true;
        poller = m_poller;
    }
    uint64_t times = 0;
    // One list reused across waits; the poller clears it before each fill.
    std::vector<std::pair<int, EVENT_TYPE>> ready;
    while (m_running.load(std::memory_order_acquire)) {
        ELOG(0) << "Loop times=" << times;
        int r = poller->Dispatch(kWaitMs, ready);
        if (r != 0) {
            ELOG(4) << "Dispatch invoke failed.";
            return r;
        }
        for (const auto& ev : ready) {
            ProcessEvent(ev.first, ev.second);
        }
        ++times;
    }
    return 0;
}

void EventLoop::ExitLoop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
}

void EventLoop::ProcessEvent(int fd, EVENT_TYPE type)
{
    ELOG(0) << "fd =" << fd << ", events = " << type;
    EventInfo info;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_eventInfos.find(fd);
        if (found == m_eventInfos.end()) {
            ELOG(0) << "The fd do not have handle.fd =" << fd << ", events = " << type;
            return;
        }
        info = found->second;
    }
    if ((type & EVENT_READ) != 0) {
        if (!info.callbacks[0]) {
            ELOG(0) << "The fd read event do not have handle.fd =" << fd << ", events = " << type;
        } else {
            info.callbacks[0](fd, EVENT_READ);
        }
    }
    if ((type & EVENT_WRITE) != 0) {
        if (!info.callbacks[1]) {
            ELOG(0) << "The fd write event do not have handle.fd =" << fd << ", events = " << type;
        } else {
            info.callbacks[1](fd, EVENT_WRITE);
        }
    }
}
