// Poller over kernel epoll, for TCP sockets. Owned by one EventLoop; see
// PollerInterface for the threading rule.
#pragma once
#include "replication/net/BasicPoller.h"

class EpollPoller : public BasicPoller {
public:
    EpollPoller();
};
