#include "NetTestUtil.h"

#include <fcntl.h>

#include <stdexcept>
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

}  // namespace nettest
