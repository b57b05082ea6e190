#include "NetTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace nettest {

std::pair<Fd, Fd> UnixPair()
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        throw std::runtime_error("socketpair");
    }
    return {Fd(sv[0]), Fd(sv[1])};
}

std::pair<Fd, Fd> TcpPair()
{
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener.Get(), 4) != 0 ||
        getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("listen");
    }
    Fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(client.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        throw std::runtime_error("connect");
    }
    Fd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (server.Get() < 0) {
        throw std::runtime_error("accept");
    }
    return {std::move(client), std::move(server)};
}

void MakeNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void FillSendBuffer(int fd)
{
    MakeNonBlocking(fd);
    std::vector<char> chunk(65536, 'x');
    while (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    }
}

void CloseWithReset(Fd& fd)
{
    linger lg{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    fd.Reset();
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

}  // namespace nettest
