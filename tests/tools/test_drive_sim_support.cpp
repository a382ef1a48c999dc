#include "test_drive_sim_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace simtest {

RawTcp::RawTcp(int port, int receiveBuffer)
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        fd = -1;
    }
}

RawTcp::~RawTcp()
{
    if (fd >= 0)
        ::close(fd);
}

bool RawTcp::send(const std::vector<std::uint8_t>& b)
{
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

std::vector<std::uint8_t> RawTcp::receiveFrame(std::chrono::milliseconds timeout)
{
    std::vector<std::uint8_t>& got = pending;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (got.size() >= 6 && got.size() >= 6u + ((got[4] << 8) | got[5])) {
            std::size_t n = 6u + ((got[4] << 8) | got[5]);
            std::vector<std::uint8_t> frame(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n));
            got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n));
            return frame;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        ssize_t n = 0;
        std::uint8_t chunk[512];
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = ::recv(fd, chunk, sizeof chunk, 0)) <= 0)
            return std::exchange(got, {});
        got.insert(got.end(), chunk, chunk + n);
    }
}

bool RawTcp::closedByPeer(std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    std::uint8_t c;
    ssize_t n = ::recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::vector<std::uint8_t> mbap(std::uint16_t tid, const std::vector<std::uint8_t>& body)
{
    std::vector<std::uint8_t> f(6 + body.size(), 0);
    f[0] = static_cast<std::uint8_t>(tid >> 8), f[1] = static_cast<std::uint8_t>(tid);
    f[4] = static_cast<std::uint8_t>(body.size() >> 8), f[5] = static_cast<std::uint8_t>(body.size());
    std::copy(body.begin(), body.end(), f.begin() + 6);
    return f;
}

} // namespace simtest
