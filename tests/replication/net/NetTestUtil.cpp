#include "NetTestUtil.h"

#include <fcntl.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nettest {

std::pair<Fd, Fd> UnixPair(bool pending)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        throw std::runtime_error("socketpair");
    }
    std::pair<Fd, Fd> pr{Fd(sv[0]), Fd(sv[1])};
    if (pending && send(sv[1], "x", 1, MSG_NOSIGNAL) != 1) {
        throw std::runtime_error("send");
    }
    return pr;
}

void FillSendBuffer(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<char> chunk(65536, 'x');
    while (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    }
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
