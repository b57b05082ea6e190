#include "replication/net/EventLoopSingleton.h"

#include <exception>
#include <string>
#include <thread>

#include "foundation/LogProxy.h"
#include "host/ConfigReader.h"

namespace {
const char MODULE_NAME[] = "EventLoopSingleton";
constexpr int kDefaultMaxEvents = 256;
}  // namespace

std::mutex EventLoopSingleton::s_mutex;
EventLoopSingleton* EventLoopSingleton::s_eventLoopSingleton = nullptr;

EventLoopSingleton* EventLoopSingleton::GetInstance()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_eventLoopSingleton == nullptr) {
        try {
            s_eventLoopSingleton = new EventLoopSingleton();
        } catch (const std::exception& e) {
            try {
                LOG_STREAM(4) << "New EventLoopSingleton failed.Exception is " << e.what();
            } catch (...) {
            }
            return nullptr;
        }
    }
    return s_eventLoopSingleton;
}

EventLoopSingleton::~EventLoopSingleton()
{
    if (m_vppEventLoop) {
        m_vppEventLoop->ExitLoop();
    }
    if (m_tcpEventLoop) {
        m_tcpEventLoop->ExitLoop();
    }
    m_vppEventLoop.reset();
    m_tcpEventLoop.reset();
}

std::shared_ptr<EventLoop> EventLoopSingleton::NewEventLoop()
{
    return std::make_shared<EventLoop>();
}

std::shared_ptr<EventLoop> EventLoopSingleton::GetTcpEventLoop()
{
    return GetEventLoop(POLLER_EPOLL);
}

std::shared_ptr<EventLoop> EventLoopSingleton::GetVppEventLoop()
{
    return GetEventLoop(POLLER_ZEPH);
}

std::shared_ptr<EventLoop> EventLoopSingleton::GetEventLoop(PollerType type)
{
    const bool tcp = type == POLLER_EPOLL;
    std::lock_guard<std::mutex> lock(s_mutex);
    std::shared_ptr<EventLoop>& held = tcp ? m_tcpEventLoop : m_vppEventLoop;
    bool& created = tcp ? m_tcpCreated : m_vppCreated;
    if (created) {
        return held;
    }
    try {
        return CreateEventLoop(type, held, created);
    } catch (const std::exception& e) {
        // Not marked created: the next call tries again.
        held.reset();
        try {
            LOG_STREAM(4) << (tcp ? "Create tcp event loop failed.Exception is "
                                  : "Create vpp event loop failed.Exception is ")
                          << e.what();
        } catch (...) {
        }
        return nullptr;
    }
}

std::shared_ptr<EventLoop> EventLoopSingleton::CreateEventLoop(PollerType type, std::shared_ptr<EventLoop>& held,
                                                               bool& created)
{
    const bool tcp = type == POLLER_EPOLL;
    LOG_STREAM(1) << (tcp ? "Enter GetTcpEventLoop" : "Enter GetVppEventLoop");
    static const std::string kSection = "Replication";
    static const std::string kKey = "MaxEventNumber";
    int maxEvents = ConfigReader::getInt(kSection, kKey, true);
    if (maxEvents < 0) {
        LOG_STREAM(1) << "MaxEventNumber is illegal, use default value instead : " << maxEvents;
        maxEvents = kDefaultMaxEvents;
    }
    std::shared_ptr<EventLoop> loop;
    try {
        loop = NewEventLoop();
    } catch (const std::exception& e) {
        LOG_STREAM(4) << (tcp ? "New tcp event loop failed.Exception is " : "New vpp event loop failed.Exception is ")
                      << e.what();
    }
    if (!loop) {
        // Not marked created: the next call tries again.
        return nullptr;
    }
    held = loop;
    held->Initialize(type, maxEvents);
    try {
        std::thread([loop]() { loop->Loop(); }).detach();
    } catch (const std::exception& e) {
        // Without its thread the loop is of no use; forget it so a later call retries.
        LOG_STREAM(4) << "Start event loop thread failed.Exception is " << e.what();
        held.reset();
        return nullptr;
    }
    created = true;
    return held;
}
