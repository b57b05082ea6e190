#include "replication/net/ZephincPoller.h"

#include <dlfcn.h>
#include <sys/epoll.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "foundation/LogProxy.h"
#include "host/RootPath.h"

namespace {
const char MODULE_NAME[] = "ZephincPoller";

struct Transport {
    int (*create)(int) = nullptr;
    int (*ctl)(int, int, int, epoll_event*) = nullptr;
    int (*wait)(int, epoll_event*, int, int) = nullptr;
    int (*close)(int) = nullptr;
    int (*fcntl)(int, int, int) = nullptr;
    int (*getErrno)() = nullptr;
    bool loaded = false;
};

template <typename F>
bool Resolve(void* handle, const char* name, F& out)
{
    out = reinterpret_cast<F>(dlsym(handle, name));
    return out != nullptr;
}

Transport LoadTransport()
{
    Transport t;
    void* handle = dlopen("libZephSo.so", RTLD_NOW);
    if (handle == nullptr) {
        std::string root = GetCorvaneRootPath(MODULE_NAME, 0);
        if (!root.empty()) {
            handle = dlopen((root + "/lib/libZephSo.so").c_str(), RTLD_NOW);
        }
    }
    if (handle == nullptr) {
        const char* err = dlerror();
        LOG_STREAM(4) << "load libZephSo.so failed, error=" << (err != nullptr ? err : "");
        return t;
    }
    t.loaded = Resolve(handle, "ft_epoll_create_linux", t.create) && Resolve(handle, "ft_epoll_ctl", t.ctl) &&
               Resolve(handle, "ft_epoll_wait", t.wait) && Resolve(handle, "ft_close", t.close) &&
               Resolve(handle, "ft_fcntl", t.fcntl) && Resolve(handle, "ft_get_errno", t.getErrno);
    if (!t.loaded) {
        LOG_STREAM(4) << "libZephSo.so lacks an ft_ call";
    }
    // Never unloaded: pollers may live until the process ends.
    return t;
}

const Transport& GetTransport()
{
    static const Transport transport = LoadTransport();
    return transport;
}

// Without the transport every call fails with ELIBACC.
thread_local int t_missingErrno = 0;

int Missing()
{
    t_missingErrno = ELIBACC;
    return -1;
}

int ZephCreate(int sizeHint)
{
    const Transport& t = GetTransport();
    return t.loaded ? t.create(sizeHint) : Missing();
}

int ZephCtl(int epfd, int op, int fd, epoll_event* event)
{
    const Transport& t = GetTransport();
    return t.loaded ? t.ctl(epfd, op, fd, event) : Missing();
}

int ZephWait(int epfd, epoll_event* events, int maxEvents, int timeoutMs)
{
    const Transport& t = GetTransport();
    return t.loaded ? t.wait(epfd, events, maxEvents, timeoutMs) : Missing();
}

int ZephClose(int fd)
{
    const Transport& t = GetTransport();
    return t.loaded ? t.close(fd) : Missing();
}

int ZephFcntl(int fd, int cmd, int arg)
{
    const Transport& t = GetTransport();
    return t.loaded ? t.fcntl(fd, cmd, arg) : Missing();
}

int ZephErrno()
{
    const Transport& t = GetTransport();
    return t.loaded ? t.getErrno() : t_missingErrno;
}

const PollerSystem kZephSystem = {ZephCreate, ZephCtl, ZephWait, ZephClose, ZephFcntl, ZephErrno};

const PollerTexts kZephTexts = {
    "ZephincPoller",                  // module
    1,                                // control trace level
    ", eventType",                    // add failure label
    ", eventType",                    // modify failure label
    "epoll_wait. event fds:",         // wait trace
    1,                                // wait trace level
    "Read event. fd=",                // per-event trace
    false,                            // no trace per push
    "the ft_epoll_wait interrupted",  // interrupted wait
};

}  // namespace

ZephincPoller::ZephincPoller() : BasicPoller(kZephSystem, kZephTexts)
{
    GetTransport();
}

bool ZephincPoller::TransportLoaded()
{
    return GetTransport().loaded;
}
