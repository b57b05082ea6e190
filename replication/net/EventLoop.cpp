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

namespace {
// The barrier's own line: allocation failures are turned into a failure value
// and logged; a log line that cannot be built either is dropped.
void LogBarrier(const char* where, const std::exception& e) noexcept
{
    try {
        ELOG(4) << where << " failed. exception=" << e.what();
    } catch (...) {
    }
}
}  // namespace

int EventLoop::Initialize(PollerType type, int maxFds)
{
    try {
        ELOG(2) << "Enter, maxFsd=" << maxFds << ", type=" << type;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_poller) {
            ELOG(4) << "Exit, it has been initialized. maxFds=" << maxFds << ", type=" << type;
            return 0;
        }
        try {
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
        } catch (...) {
            // A half-made poller would pass for an initialized one.
            m_poller.reset();
            throw;
        }
    } catch (const std::exception& e) {
        LogBarrier("Initialize", e);
        return -1;
    }
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
    try {
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
        bool inserted = false;
        if (found == m_eventInfos.end()) {
            found = m_eventInfos.emplace(fd, EventInfo()).first;
            inserted = true;
        }
        EventInfo& info = found->second;
        // An entry without callbacks (left by a type without known bits) is not
        // watched by the poller, so its first real direction is an add, not a modify.
        const bool isNew = !info.callbacks[0] && !info.callbacks[1];
        bool changed = false;
        try {
            // The callbacks are copied aside first: a copy that fails leaves
            // the table as it was.
            EventInfo updated = info;
            updated.fd = fd;
            for (int dir = 0; dir < 2; ++dir) {
                if ((type & (1 << dir)) == 0) {
                    continue;
                }
                if (!updated.callbacks[dir]) {
                    changed = true;
                }
                updated.callbacks[dir] = callback;
            }
            info = std::move(updated);
        } catch (...) {
            if (inserted) {
                m_eventInfos.erase(found);
            }
            throw;
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
    } catch (const std::exception& e) {
        LogBarrier("AddEvent", e);
        return -1;
    }
}

int EventLoop::DeleteEvent(int fd, EVENT_TYPE type)
{
    try {
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
    } catch (const std::exception& e) {
        LogBarrier("DeleteEvent", e);
        return -1;
    }
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
    uint64_t times = 0;
    // One list reused across waits; the poller clears it before each fill.
    std::vector<std::pair<int, EVENT_TYPE>> ready;
    try {
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
    } catch (const std::exception& e) {
        LogBarrier("Loop", e);
        return -1;
    }
    // Ends like a failed wait: with -1, the running flag left set.
    while (m_running.load(std::memory_order_acquire)) {
        try {
            ELOG(0) << "Loop times=" << times;
            int r = poller->Dispatch(kWaitMs, ready);
            if (r != 0) {
                ELOG(4) << "Dispatch invoke failed.";
                return r;
            }
        } catch (const std::exception& e) {
            LogBarrier("Dispatch", e);
            return -1;
        }
        for (const auto& ev : ready) {
            if (!ProcessEvent(ev.first, ev.second)) {
                return -1;
            }
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

bool EventLoop::ProcessEvent(int fd, EVENT_TYPE type)
{
    EventInfo info;
    try {
        ELOG(0) << "fd =" << fd << ", events = " << type;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_eventInfos.find(fd);
        if (found == m_eventInfos.end()) {
            ELOG(0) << "The fd do not have handle.fd =" << fd << ", events = " << type;
            return true;
        }
        info = found->second;
    } catch (const std::exception& e) {
        LogBarrier("ProcessEvent", e);
        return false;
    }
    // The callbacks run outside the barrier: what they throw is theirs.
    if ((type & EVENT_READ) != 0) {
        if (!info.callbacks[0]) {
            TraceNoHandle("read", fd, type);
        } else {
            info.callbacks[0](fd, EVENT_READ);
        }
    }
    if ((type & EVENT_WRITE) != 0) {
        if (!info.callbacks[1]) {
            TraceNoHandle("write", fd, type);
        } else {
            info.callbacks[1](fd, EVENT_WRITE);
        }
    }
    return true;
}

void EventLoop::TraceNoHandle(const char* direction, int fd, EVENT_TYPE type) noexcept
{
    try {
        ELOG(0) << "The fd " << direction << " event do not have handle.fd =" << fd << ", events = " << type;
    } catch (...) {
    }
}
