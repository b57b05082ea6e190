// The C interface of libZephSo.so, the UDP transport stand-in. Descriptors
// handed out here are the transport's own numbers (from kZephFirstFd up), not
// kernel descriptors; pass them only to ft_ calls. Every call is thread-safe;
// a failed call returns -1 and leaves its error number for ft_get_errno() of
// the same thread (Linux numbering). Closing a descriptor while another thread
// still uses it is the caller's race, as with kernel descriptors.
#pragma once
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { kZephFirstFd = 100000 };

// Readiness: the Linux epoll calls, operation numbers and record layout.
int ft_epoll_create_linux(int size);
int ft_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event);
int ft_epoll_wait(int epfd, struct epoll_event* events, int maxevents, int timeoutMs);
int ft_close(int fd);
// Commands 3 (F_GETFL) and 4 (F_SETFL) with O_NONBLOCK (0x800).
int ft_fcntl(int fd, int cmd, int arg);
int ft_get_errno(void);

// Datagram sockets (AF_INET, SOCK_DGRAM only).
int ft_socket(int domain, int type, int protocol);
int ft_bind(int fd, const struct sockaddr* addr, socklen_t len);
int ft_connect(int fd, const struct sockaddr* addr, socklen_t len);
int ft_getsockname(int fd, struct sockaddr* addr, socklen_t* len);
ssize_t ft_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* addr, socklen_t alen);
ssize_t ft_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* addr, socklen_t* alen);
int ft_shutdown(int fd, int how);

#ifdef __cplusplus
}
#endif
