// Helpers of the replication networking tests: loopback socket pairs and
// waiting for a condition without sleeping longer than needed.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <utility>

#include "sim/zeph/ZephSo.h"
#include "tests/support/WaitFor.h"

namespace nettest {

// A descriptor closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    int Get() const { return m_fd; }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// A connected AF_UNIX stream pair; with `pending`, the first end has one byte
// of input waiting.
std::pair<Fd, Fd> UnixPair(bool pending = false);
// Writes until the socket's send buffer is full (the socket is non-blocking
// afterwards).
void FillSendBuffer(int fd);
// Polls cond every 100 microseconds for at most timeoutMs.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 3000)
{
    return testwait::WaitFor(cond, std::chrono::milliseconds(timeoutMs), std::chrono::microseconds(100));
}

// A bound loopback datagram socket of the transport, closed on destruction.
class ZephSocket {
public:
    ZephSocket() : m_fd(ft_socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ft_bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    ~ZephSocket()
    {
        if (m_fd >= 0) {
            ft_close(m_fd);
        }
    }
    ZephSocket(const ZephSocket&) = delete;
    ZephSocket& operator=(const ZephSocket&) = delete;
    int Fd() const { return m_fd; }
    sockaddr_in Addr() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        ft_getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        return a;
    }
    void ConnectTo(const sockaddr_in& a) { EXPECT_EQ(0, ft_connect(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a))); }
    void SendTo(const ZephSocket& to)
    {
        sockaddr_in a = to.Addr();
        EXPECT_EQ(3, ft_sendto(m_fd, "abc", 3, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    }
private:
    int m_fd;
};

}  // namespace nettest
