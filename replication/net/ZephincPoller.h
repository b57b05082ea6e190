// Poller over the UDP transport's epoll emulation, for transport descriptors.
// libZephSo.so is loaded at run time (dlopen) the first time a ZephincPoller is
// built: first by name through the loader's search path (the plug-in's rpath
// names its own directory, <root>/lib), then as <root>/lib/libZephSo.so. The
// library stays loaded for the life of the process. When it cannot be loaded,
// Initialize fails ("epoll create failed.", error ELIBACC) and the poller stays
// unusable. Threading as in PollerInterface.
#pragma once
#include "replication/net/BasicPoller.h"

class ZephincPoller : public BasicPoller {
public:
    ZephincPoller();
    // True when the transport library and all its calls were found.
    static bool TransportLoaded();
};
