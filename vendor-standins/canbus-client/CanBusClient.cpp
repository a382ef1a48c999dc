#include "CanBusClient.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace canbus {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::uint64_t steadyMicros()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

namespace {

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

int connectTo(const Endpoint& e, Clock::time_point deadline, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(e.port);
    if (int rc = ::getaddrinfo(e.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve '" + e.host + "': " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    error = "cannot connect to " + e.host + ":" + port;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            rc = soError == 0 ? 0 : -1;
            errno = soError;
        }
        if (rc != 0) {
            error += std::string(": ") + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        error.clear();
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

std::string joined(const std::vector<std::string>& tokens)
{
    std::string text = "<";
    for (const auto& t : tokens)
        text += " " + t;
    return text + " >";
}

} // namespace

std::unique_ptr<Connection> Connection::open(const Endpoint& endpoint, std::uint32_t rate, std::string& error,
                                             milliseconds timeout)
{
    if (endpoint.fixedRate != 0 && rate != 0 && rate != endpoint.fixedRate) {
        error = endpoint.text + " runs at " + std::to_string(endpoint.fixedRate) + " bit/s only, not " +
                std::to_string(rate);
        return nullptr;
    }
    const auto deadline = Clock::now() + timeout;
    const int fd = connectTo(endpoint, deadline, error);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<Connection> c(new Connection(fd, endpoint));
    // One answer of the handshake: the next message, within the deadline.
    auto expect = [&](const char* step, const std::string& wanted) -> bool {
        for (;;) {
            if (auto tokens = c->reader.next()) {
                if (joined(*tokens) == wanted)
                    return true;
                error = std::string(step) + ": the server said " + joined(*tokens);
                return false;
            }
            if (c->reader.broken() || !waitFor(fd, POLLIN, deadline)) {
                error = std::string(step) + ": no answer from " + endpoint.text;
                return false;
            }
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                error = std::string(step) + ": " + endpoint.text + " closed the connection";
                return false;
            }
            if (n > 0)
                c->reader.feed(buffer, static_cast<std::size_t>(n));
        }
    };
    auto say = [&](const char* step, const std::string& text) -> bool {
        bool begun = false;
        if (c->writeAll(text, milliseconds(remainingMs(deadline)), begun))
            return true;
        error = std::string(step) + ": cannot write to " + endpoint.text;
        return false;
    };
    if (!expect("greeting", "< hi >"))
        return nullptr;
    if (endpoint.fixedRate == 0 && rate != 0) {
        const std::string timing = "< " + endpoint.bus + " B " + std::to_string(rate) + " -1 -1 -1 -1 -1 -1 -1 >";
        if (!say("bit timing", timing) || !expect("bit timing", "< ok >"))
            return nullptr;
    }
    if (!say("open", "< open " + endpoint.bus + " >") || !expect("open", "< ok >"))
        return nullptr;
    if (!say("rawmode", "< rawmode >") || !expect("rawmode", "< ok >"))
        return nullptr;
    return c;
}

Connection::~Connection()
{
    if (socket >= 0)
        ::close(socket);
}

bool Connection::writeAll(const std::string& text, milliseconds timeout, bool& begun)
{
    auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(socket, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            if (!begun) {
                begun = true;
                // A message once begun must be finished, or the stream is
                // garbled for the server: allow it a second of its own.
                deadline = std::max(deadline, Clock::now() + std::chrono::seconds(1));
            }
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (!waitFor(socket, POLLOUT, deadline))
            return false;
    }
    return true;
}

SendResult Connection::send(const Frame& frame, milliseconds timeout)
{
    std::lock_guard lock(sendMutex);
    bool begun = false;
    if (writeAll(formatSend(frame), timeout, begun))
        return SendResult::ok;
    if (begun)
        return SendResult::lost;
    // Nothing written: full, unless the socket has failed.
    pollfd p{socket, POLLOUT, 0};
    ::poll(&p, 1, 0);
    return (p.revents & (POLLERR | POLLHUP)) ? SendResult::lost : SendResult::full;
}

bool Connection::collect(std::vector<Frame>& frames)
{
    while (auto tokens = reader.next()) {
        Frame f;
        if (parseFrameMessage(*tokens, f))
            frames.push_back(f);
        // Anything else (an echo, an error text) carries no frame.
    }
    return !reader.broken();
}

void Connection::takeEarlyFrames(std::vector<Frame>& frames)
{
    collect(frames);
}

bool Connection::receive(std::vector<Frame>& frames)
{
    char buffer[8192];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            return false;
        }
        reader.feed(buffer, static_cast<std::size_t>(n));
        if (!collect(frames))
            return false;
        if (static_cast<std::size_t>(n) < sizeof buffer)
            break;
    }
    return true;
}

ReceivePort::ReceivePort(std::unique_ptr<Connection> c, std::size_t cap) : connection(std::move(c)), capacity(cap)
{
    stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    worker = std::thread([this] { loop(); });
}

ReceivePort::~ReceivePort()
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stopFd, &one, sizeof one);
    if (worker.joinable())
        worker.join();
    ::close(stopFd);
}

void ReceivePort::setFilter(Filter f)
{
    std::lock_guard lock(mutex);
    filter = std::move(f);
}

void ReceivePort::setNotifyFd(int fd)
{
    std::lock_guard lock(mutex);
    notifyFd = fd;
}

void ReceivePort::setCapacity(std::size_t cap)
{
    std::lock_guard lock(mutex);
    capacity = cap;
    while (queue.size() > capacity)
        queue.pop_back();
}

SendResult ReceivePort::send(const Frame& frame, milliseconds timeout)
{
    if (!connected.load())
        return SendResult::lost;
    const SendResult r = connection->send(frame, timeout);
    if (r == SendResult::lost)
        connected.store(false);
    return r;
}

bool ReceivePort::wait(milliseconds timeout)
{
    std::unique_lock lock(mutex);
    auto ready = [this] { return !queue.empty() || !connected.load(); };
    if (timeout.count() < 0)
        arrived.wait(lock, ready);
    else
        arrived.wait_for(lock, timeout, ready);
    return !queue.empty();
}

bool ReceivePort::take(Received& out)
{
    std::lock_guard lock(mutex);
    if (queue.empty())
        return false;
    out = queue.front();
    queue.pop_front();
    return true;
}

void ReceivePort::clear()
{
    std::lock_guard lock(mutex);
    queue.clear();
}

std::size_t ReceivePort::size() const
{
    std::lock_guard lock(mutex);
    return queue.size();
}

std::uint32_t ReceivePort::lostFrames() const
{
    std::lock_guard lock(mutex);
    return lost;
}

void ReceivePort::loop()
{
    std::vector<Frame> frames;
    connection->takeEarlyFrames(frames);
    for (;;) {
        if (!frames.empty()) {
            const std::uint64_t now = steadyMicros();
            std::lock_guard lock(mutex);
            std::uint64_t added = 0;
            for (const auto& f : frames) {
                if (filter && !filter(f))
                    continue;
                if (queue.size() >= capacity) {
                    ++lost;
                    overrunPending = true;
                    continue;
                }
                queue.push_back({f, now, overrunPending});
                overrunPending = false;
                ++added;
            }
            if (added > 0) {
                if (notifyFd >= 0)
                    [[maybe_unused]] auto n = ::write(notifyFd, &added, sizeof added);
                arrived.notify_all();
            }
            frames.clear();
        }
        pollfd p[2] = {{stopFd, POLLIN, 0}, {connection->fd(), POLLIN, 0}};
        const int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || p[0].revents != 0)
            return;
        if (p[1].revents != 0 && !connection->receive(frames)) {
            // Deliver what came before the end, then report the loss.
            std::lock_guard lock(mutex);
            for (const auto& f : frames)
                if ((!filter || filter(f)) && queue.size() < capacity)
                    queue.push_back({f, steadyMicros(), false});
            connected.store(false);
            arrived.notify_all();
            if (notifyFd >= 0) {
                std::uint64_t one = 1;
                [[maybe_unused]] auto w = ::write(notifyFd, &one, sizeof one);
            }
            return;
        }
    }
}

} // namespace canbus
