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
