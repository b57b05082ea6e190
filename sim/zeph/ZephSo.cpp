#include "sim/zeph/ZephSo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

namespace {

enum class Kind { Free, Epoll, Socket };

struct Slot {
    Kind kind = Kind::Free;
    int kernelFd = -1;
};

std::mutex g_mutex;
std::vector<Slot> g_slots;  // index = transport descriptor - kZephFirstFd
thread_local int t_errno = 0;

int Fail(int err)
{
    t_errno = err;
    return -1;
}

int Register(Kind kind, int kernelFd)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_slots.size(); ++i) {
        if (g_slots[i].kind == Kind::Free) {
            g_slots[i] = Slot{kind, kernelFd};
            return kZephFirstFd + static_cast<int>(i);
        }
    }
    g_slots.push_back(Slot{kind, kernelFd});
    return kZephFirstFd + static_cast<int>(g_slots.size() - 1);
}

// Kernel descriptor behind a transport descriptor of the given kind, or -1.
int Resolve(int fd, Kind kind)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (fd < kZephFirstFd) {
        return -1;
    }
    size_t i = static_cast<size_t>(fd - kZephFirstFd);
    if (i >= g_slots.size() || g_slots[i].kind != kind) {
        return -1;
    }
    return g_slots[i].kernelFd;
}

int ResolveAny(int fd)
{
    int k = Resolve(fd, Kind::Socket);
    return k >= 0 ? k : Resolve(fd, Kind::Epoll);
}

}  // namespace

extern "C" {

int ft_epoll_create_linux(int size)
{
    if (size < 1) {
        return Fail(EINVAL);
    }
    int k = epoll_create1(EPOLL_CLOEXEC);
    if (k < 0) {
        return Fail(errno);
    }
    return Register(Kind::Epoll, k);
}

int ft_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event)
{
    int kep = Resolve(epfd, Kind::Epoll);
    int kfd = Resolve(fd, Kind::Socket);
    if (kep < 0 || kfd < 0) {
        return Fail(EBADF);
    }
    // The caller's data word travels through the kernel untouched, so waits
    // report the transport descriptor the caller registered.
    epoll_event copy{};
    if (event != nullptr) {
        copy = *event;
    }
    if (epoll_ctl(kep, op, kfd, &copy) != 0) {
        return Fail(errno);
    }
    return 0;
}

int ft_epoll_wait(int epfd, struct epoll_event* events, int maxevents, int timeoutMs)
{
    int kep = Resolve(epfd, Kind::Epoll);
    if (kep < 0) {
        return Fail(EBADF);
    }
    int n = epoll_wait(kep, events, maxevents, timeoutMs);
    if (n < 0) {
        return Fail(errno);
    }
    return n;
}

int ft_close(int fd)
{
    int kernelFd = -1;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (fd < kZephFirstFd || static_cast<size_t>(fd - kZephFirstFd) >= g_slots.size() ||
            g_slots[static_cast<size_t>(fd - kZephFirstFd)].kind == Kind::Free) {
            return Fail(EBADF);
        }
        Slot& s = g_slots[static_cast<size_t>(fd - kZephFirstFd)];
        kernelFd = s.kernelFd;
        s = Slot{};
    }
    if (::close(kernelFd) != 0) {
        return Fail(errno);
    }
    return 0;
}

int ft_fcntl(int fd, int cmd, int arg)
{
    int k = ResolveAny(fd);
    if (k < 0) {
        return Fail(EBADF);
    }
    if (cmd != F_GETFL && cmd != F_SETFL) {
        return Fail(EINVAL);
    }
    int r = cmd == F_GETFL ? ::fcntl(k, F_GETFL) : ::fcntl(k, F_SETFL, arg);
    if (r < 0) {
        return Fail(errno);
    }
    return r;
}

int ft_get_errno(void)
{
    return t_errno;
}

int ft_socket(int domain, int type, int protocol)
{
    if (domain != AF_INET || (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) != SOCK_DGRAM) {
        return Fail(EAFNOSUPPORT);
    }
    int k = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (k < 0) {
        return Fail(errno);
    }
    return Register(Kind::Socket, k);
}

#define ZEPH_SOCKET_OR_FAIL(fd, k)        \
    int k = Resolve((fd), Kind::Socket); \
    if (k < 0) {                          \
        return Fail(EBADF);               \
    }

int ft_bind(int fd, const struct sockaddr* addr, socklen_t len)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    return ::bind(k, addr, len) == 0 ? 0 : Fail(errno);
}

int ft_connect(int fd, const struct sockaddr* addr, socklen_t len)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    return ::connect(k, addr, len) == 0 ? 0 : Fail(errno);
}

int ft_getsockname(int fd, struct sockaddr* addr, socklen_t* len)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    return ::getsockname(k, addr, len) == 0 ? 0 : Fail(errno);
}

ssize_t ft_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* addr, socklen_t alen)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    ssize_t n = ::sendto(k, buf, len, flags | MSG_NOSIGNAL, addr, alen);
    return n >= 0 ? n : Fail(errno);
}

ssize_t ft_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* addr, socklen_t* alen)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    ssize_t n = ::recvfrom(k, buf, len, flags, addr, alen);
    return n >= 0 ? n : Fail(errno);
}

int ft_shutdown(int fd, int how)
{
    ZEPH_SOCKET_OR_FAIL(fd, k);
    return ::shutdown(k, how) == 0 ? 0 : Fail(errno);
}

}  // extern "C"
