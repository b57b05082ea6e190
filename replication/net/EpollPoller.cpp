#include "replication/net/EpollPoller.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace {

int KernelCreate(int sizeHint)
{
    return epoll_create(sizeHint);
}

int KernelCtl(int epfd, int op, int fd, epoll_event* event)
{
    return epoll_ctl(epfd, op, fd, event);
}

int KernelWait(int epfd, epoll_event* events, int maxEvents, int timeoutMs)
{
    return epoll_wait(epfd, events, maxEvents, timeoutMs);
}

int KernelClose(int fd)
{
    return ::close(fd);
}

int KernelFcntl(int fd, int cmd, int arg)
{
    return cmd == F_GETFL ? ::fcntl(fd, F_GETFL) : ::fcntl(fd, cmd, arg);
}

int KernelErrno()
{
    return errno;
}

const PollerSystem kKernelSystem = {KernelCreate, KernelCtl, KernelWait, KernelClose, KernelFcntl, KernelErrno};

const PollerTexts kEpollTexts = {
    "Epoll",                        // module
    0,                              // control trace level
    ", eventType=",                 // add failure label
    ", eventType",                  // modify failure label
    "epoll_wait event fds:",        // wait trace
    0,                              // wait trace level
    "Ready event. fd=",             // per-event trace
    true,                           // trace each push
    "the epoll_wait interrupted",   // interrupted wait
};

}  // namespace

EpollPoller::EpollPoller() : BasicPoller(kKernelSystem, kEpollTexts)
{
}
