#include "replication/net/BasicPoller.h"

#include <sys/epoll.h>

#include <cerrno>
#include <new>

#include "foundation/OruSleep.h"
#include "replication/net/NetTrace.h"

#define PLOG(level) LOG_STREAM_M(level, m_texts.module)

namespace {
constexpr int kNonBlock = 0x800;
constexpr int kGetFlags = 3;
constexpr int kSetFlags = 4;
}  // namespace

BasicPoller::BasicPoller(const PollerSystem& system, const PollerTexts& texts) : m_system(system), m_texts(texts)
{
}

BasicPoller::~BasicPoller()
{
    if (m_epollFd != -1) {
        m_system.close(m_epollFd);
        m_epollFd = -1;
    }
}

int BasicPoller::Initialize(int maxFds)
{
    NET_TRACE(2, m_texts.module, false) << "maxFds=" << maxFds;
    if (maxFds < 1) {
        PLOG(4) << "Initialize failed.maxFsd=" << maxFds;
        return -1;
    }
    if (m_epollFd != -1) {
        PLOG(4) << "The epoll has been created.";
        return -1;
    }
    m_events.reset(new (std::nothrow) epoll_event[static_cast<size_t>(maxFds)]);
    if (!m_events) {
        PLOG(4) << "Alloc event failed.";
        return -1;
    }
    m_epollFd = m_system.create(maxFds);
    if (m_epollFd == -1) {
        PLOG(4) << "epoll create failed.maxfds=" << maxFds << ", error=" << oru_errstr(m_system.lastError());
        return -1;
    }
    m_maxFds = maxFds;
    return 0;
}

int BasicPoller::Control(int op, int fd, EVENT_TYPE type, const char* failure, const char* typeLabel)
{
    NET_TRACE(m_texts.controlTraceLevel, m_texts.module, ReplicationDebugOn()) << "fd=" << fd << ", type=" << type;
    if (m_epollFd == -1) {
        PLOG(4) << "The epoll is not created.";
        return -1;
    }
    epoll_event ev{};
    if ((type & EVENT_READ) != 0) {
        ev.events |= EPOLLIN;
    }
    if ((type & EVENT_WRITE) != 0) {
        ev.events |= EPOLLOUT;
    }
    ev.data.u64 = 0;
    ev.data.fd = fd;
    int r = m_system.ctl(m_epollFd, op, fd, &ev);
    if (r != 0) {
        PLOG(4) << failure << fd << typeLabel << type << ", error=" << oru_errstr(m_system.lastError());
        return r;
    }
    return 0;
}

int BasicPoller::AddEvent(int fd, EVENT_TYPE type)
{
    int r = Control(EPOLL_CTL_ADD, fd, type, "epoll add event failed.fd=", m_texts.addTypeLabel);
    return r == 0 ? 0 : -1;
}

int BasicPoller::ModifyEvent(int fd, EVENT_TYPE type)
{
    return Control(EPOLL_CTL_MOD, fd, type, "epoll modify event failed.fd=", m_texts.modifyTypeLabel);
}

int BasicPoller::DeleteEvent(int fd)
{
    NET_TRACE(m_texts.controlTraceLevel, m_texts.module, ReplicationDebugOn()) << "delete event. fd=" << fd;
    if (m_epollFd == -1) {
        PLOG(4) << "The epoll is not created.";
        return -1;
    }
    epoll_event ev{};
    ev.data.fd = fd;
    int r = m_system.ctl(m_epollFd, EPOLL_CTL_DEL, fd, &ev);
    if (r != 0) {
        PLOG(4) << "epoll delete event failed.fd=" << fd << ", error=" << oru_errstr(m_system.lastError());
        return r;
    }
    return 0;
}

int BasicPoller::Dispatch(int timeout, std::vector<std::pair<int, EVENT_TYPE>>& readyEvents)
{
    readyEvents.clear();
    if (m_epollFd == -1) {
        PLOG(4) << "The epoll is not created.";
        return -1;
    }
    int n = m_system.wait(m_epollFd, m_events.get(), m_maxFds, timeout);
    if (n < 0) {
        int err = m_system.lastError();
        if (err == EINTR) {
            NET_TRACE(2, m_texts.module, false) << m_texts.interruptedTrace;
            return 0;
        }
        PLOG(4) << "Epoll wait failed.m_maxFds=" << m_maxFds << ", error=" << oru_errstr(err);
        return -1;
    }
    const bool debug = ReplicationDebugOn();
    NET_TRACE(m_texts.waitTraceLevel, m_texts.module, debug) << m_texts.waitTrace << n;
    for (int i = 0; i < n; ++i) {
        const uint32_t mask = m_events[i].events;
        const int fd = m_events[i].data.fd;
        NET_TRACE(1, m_texts.module, debug) << m_texts.eventTrace << fd << ", events=" << mask;
        int readiness = 0;
        if ((mask & (EPOLLERR | EPOLLHUP)) != 0) {
            readiness = EVENT_READ_WRITE;
        } else {
            if ((mask & EPOLLIN) != 0) {
                readiness = EVENT_READ;
            }
            // Write wins over read: level-triggered input shows up again on a
            // later wait in which the descriptor is not writable.
            if ((mask & EPOLLOUT) != 0) {
                readiness = EVENT_WRITE;
            }
        }
        if (readiness == 0) {
            continue;
        }
        readyEvents.emplace_back(fd, static_cast<EVENT_TYPE>(readiness));
        if (m_texts.tracePush) {
            NET_TRACE(1, m_texts.module, debug) << "after push into readyEvents" << ",fd is:" << fd
                                                << ",type is:" << readiness
                                                << ",readyEvents size is:" << readyEvents.size();
        }
    }
    return 0;
}

bool BasicPoller::SetNonBlocking(int fd)
{
    int flags = m_system.fcntl(fd, kGetFlags, 0);
    if (flags == -1) {
        return false;
    }
    if ((flags & kNonBlock) != 0) {
        return true;
    }
    return m_system.fcntl(fd, kSetFlags, flags | kNonBlock) != -1;
}
