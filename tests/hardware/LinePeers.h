#pragma once
// Far ends for the line tests: a pseudo-terminal whose master the test holds
// itself (no relay process between, so a loaded machine delays answers less
// than through socat), and a listener on 127.0.0.1 with a port of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include "hardware/GenericParameters.h"

namespace kavreltest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Settings for a hardware interface: {{0, "E"}, {1, "8"}, {2, "1"}} for a
// serial character format, {{0, address}, {1, port}} for a TCP endpoint.
inline Kavrel::GenericParameters texts(std::map<std::uint32_t, std::string> t)
{
    Kavrel::GenericParameters p;
    p.texts = std::move(t);
    return p;
}

// Reads up to max bytes within timeout, stopping early after end (when given)
// or when the other side is gone. A pty master without an open slave reads
// EIO, which only means "nothing yet" here.
inline std::string readFd(int fd, std::chrono::milliseconds timeout, std::size_t max = 4096, int end = -1)
{
    std::string got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < max && (end < 0 || got.empty() || got.back() != static_cast<char>(end))) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char c[256];
        const ssize_t n = ::read(fd, c, end >= 0 ? 1 : std::min(sizeof c, max - got.size()));
        if (n > 0)
            got.append(c, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EIO)
            std::this_thread::sleep_for(5ms);
        else if (n == 0 || errno != EAGAIN)
            break;
    }
    return got;
}

// Writes everything, waiting (at most 5 s) while the other side drains.
inline void writeFd(int fd, const std::string& bytes)
{
    const auto deadline = Clock::now() + 5s;
    for (std::size_t done = 0; done < bytes.size() && Clock::now() < deadline;) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd, bytes.data() + done, bytes.size() - done);
        pollfd p{fd, POLLOUT, 0};
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EAGAIN || ::poll(&p, 1, 100) < 0)
            return;
    }
}

// A pseudo-terminal: the code under test opens path(); the test reads and
// writes the master, or lets serve() answer each request on a thread.
class PtyPeer {
public:
    PtyPeer()
    {
        fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::tcgetattr(fd, &t) != 0)
            return;
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        slave = ::ptsname(fd);
    }
    ~PtyPeer() { hangUp(); }
    bool ok() const { return !slave.empty(); }
    const std::string& path() const { return slave; }
    void write(const std::string& bytes) { writeFd(fd, bytes); }
    std::string readUntil(char end, std::chrono::milliseconds timeout) { return readFd(fd, timeout, 4096, end); }
    std::string readFor(std::chrono::milliseconds timeout, std::size_t max = 4096) { return readFd(fd, timeout, max); }
    // Answers each request ended by end with what script returns (nothing
    // when empty) and records the requests; for at most 60 s.
    void serve(std::function<std::string(const std::string&)> script, char end = '\r')
    {
        worker = std::thread([this, script, end] {
            std::string partial;
            for (const auto until = Clock::now() + 60s; !stopping && Clock::now() < until;) {
                partial += readUntil(end, 20ms);
                if (partial.empty() || partial.back() != end)
                    continue;
                const std::string answer = script(partial);
                { // recorded before the answer goes, so that no request shows up late
                    std::lock_guard<std::mutex> lock(m);
                    seen.push_back(std::exchange(partial, {}));
                }
                write(answer);
            }
        });
    }
    // The requests once at least count have come (waiting up to 10 s), after
    // a quiet moment, so that an extra one shows too.
    std::vector<std::string> requests(std::size_t count = 0)
    {
        for (const auto until = Clock::now() + 10s; Clock::now() < until && (std::lock_guard(m), seen.size()) < count;)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m);
        seen.clear();
    }
    // The slave side sees a hang-up.
    void hangUp()
    {
        stopping = true;
        if (worker.joinable())
            worker.join();
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }

private:
    int fd = -1;
    std::string slave;
    std::mutex m;
    std::vector<std::string> seen;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

// A listener on 127.0.0.1 with a port of its own; a thread accepts one
// connection and runs the script on it. Everything ends in the destructor.
class TcpPeer {
public:
    explicit TcpPeer(std::function<void(int fd)> script, int backlog = 4, bool acceptConnection = true)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd, backlog) != 0 ||
            ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return;
        portNumber = ntohs(a.sin_port);
        if (acceptConnection)
            worker = std::thread([this, script] {
                pollfd p{listenFd, POLLIN, 0};
                const int fd = ::poll(&p, 1, 5000) > 0 ? ::accept(listenFd, nullptr, nullptr) : -1;
                if (fd >= 0)
                    script(fd), ::close(fd);
            });
    }
    ~TcpPeer()
    {
        if (worker.joinable())
            worker.join();
        ::close(listenFd);
    }
    int port() const { return portNumber; }

private:
    int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    int portNumber = 0;
    std::thread worker;
};

} // namespace kavreltest
