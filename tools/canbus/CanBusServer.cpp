#include "CanBusServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace canbusd {

namespace {

std::uint64_t wallClockUs()
{
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    return static_cast<std::uint64_t>(tv.tv_sec) * 1000000u + static_cast<std::uint64_t>(tv.tv_usec);
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

CanBusServer::CanBusServer(Options o) : options(std::move(o)) {}

CanBusServer::~CanBusServer()
{
    for (auto& c : clients)
        closeFd(c->fd);
    closeFd(listenFd);
}

void CanBusServer::log(const std::string& text) const
{
    if (options.verbose)
        std::cerr << "kavrel-canbus: " << text << std::endl;
}

bool CanBusServer::listen(int& boundPort, std::string& error)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(options.port));
    if (::inet_pton(AF_INET, options.host.c_str(), &addr.sin_addr) != 1) {
        error = "'" + options.host + "' is not a dotted IPv4 address";
        return false;
    }
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd, 64) != 0) {
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    return true;
}

void CanBusServer::accept()
{
    // Bounded: the rest waits for the next round.
    for (int i = 0; i < 16; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A fixed send buffer keeps what a stalled client can hold bounded.
        int sendBuffer = 64 * 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->serial = nextSerial++;
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        c->peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)) + " #" + std::to_string(c->serial);
        log("client " + c->peer + " connected");
        queueControl(*c, "< hi >");
        clients.push_back(std::move(c));
    }
}

void CanBusServer::queueControl(Client& c, const std::string& text)
{
    c.out.push_back({text, true});
    c.queuedBytes += text.size();
}

void CanBusServer::queueFrame(Client& c, const std::string& text)
{
    if (c.queuedBytes + text.size() > options.maxQueuedBytes) {
        // A burst fills the queue before the loop comes round to writing:
        // give the socket a chance first.
        flush(c);
        if (c.fd < 0)
            return;
        if (c.queuedBytes + text.size() > options.maxQueuedBytes) {
            drop(c, "too slow: its queue is full");
            return;
        }
    }
    c.out.push_back({text, false});
    c.queuedBytes += text.size();
}

void CanBusServer::drop(Client& c, const char* why)
{
    if (c.fd < 0)
        return;
    log("client " + c.peer + " dropped: " + why);
    closeFd(c.fd);
}

void CanBusServer::flush(Client& c)
{
    while (c.fd >= 0 && !c.out.empty()) {
        const bool control = c.out.front().control;
        if (!control && Clock::now() < c.holdUntil)
            return;
        // A control answer goes out alone; frames may share one write.
        iovec iov[64];
        int count = 0;
        for (auto it = c.out.begin(); it != c.out.end() && count < 64; ++it) {
            if (it->control != control || (control && count == 1))
                break;
            const std::size_t skip = count == 0 ? c.outOffset : 0;
            iov[count++] = {const_cast<char*>(it->text.data() + skip), it->text.size() - skip};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, "write failed");
            return;
        }
        std::size_t left = static_cast<std::size_t>(n);
        while (left > 0) {
            const std::size_t rest = c.out.front().text.size() - c.outOffset;
            if (left < rest) {
                c.outOffset += left;
                return; // the socket is full
            }
            left -= rest;
            c.queuedBytes -= c.out.front().text.size();
            c.out.pop_front();
            c.outOffset = 0;
        }
    }
    if (c.fd >= 0 && c.out.empty() && c.state == State::closing)
        drop(c, "closed after an error");
}

void CanBusServer::onReadable(Client& c)
{
    char buffer[4096];
    // Bounded per round, so one chatty client cannot hold the loop.
    for (int round = 0; round < 8 && c.fd >= 0; ++round) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) {
            drop(c, "disconnected");
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                drop(c, "read failed");
            return;
        }
        c.reader.feed(buffer, static_cast<std::size_t>(n));
        while (c.fd >= 0 && c.state != State::closing) {
            auto tokens = c.reader.next();
            if (!tokens)
                break;
            onMessage(c, *tokens);
        }
        if (c.reader.broken()) {
            drop(c, "message too long");
            return;
        }
        if (static_cast<std::size_t>(n) < sizeof buffer)
            return;
    }
}

void CanBusServer::onMessage(Client& c, const std::vector<std::string>& tokens)
{
    if (tokens.empty())
        return;
    const std::string& verb = tokens[0];
    if (c.state == State::raw) {
        if (verb == "send") {
            canbus::Frame frame;
            if (!canbus::parseSend(tokens, frame)) {
                log("client " + c.peer + ": malformed send dropped");
                return;
            }
            deliver(c.serial, c.bus, c.rate, frame);
            return;
        }
        if (verb == "echo") {
            queueControl(c, "< echo >");
            return;
        }
        queueControl(c, "< error unknown command in rawmode >");
        return;
    }
    if (verb == "open" && c.state == State::greeted) {
        const auto bus = tokens.size() == 2 ? options.buses.find(tokens[1]) : options.buses.end();
        if (bus == options.buses.end()) {
            queueControl(c, "< error no such bus >");
            c.state = State::closing;
            return;
        }
        c.bus = bus->first;
        if (c.rate == 0)
            c.rate = bus->second;
        c.state = State::opened;
        log("client " + c.peer + " opened " + c.bus + " at " + std::to_string(c.rate) + " bit/s");
        queueControl(c, "< ok >");
        return;
    }
    if (verb == "rawmode" && c.state == State::opened) {
        c.state = State::raw;
        c.holdUntil = Clock::now() + options.rawHold;
        queueControl(c, "< ok >");
        return;
    }
    if (tokens.size() >= 3 && tokens[1] == "B" && c.state == State::greeted) {
        std::uint64_t rate = 0;
        if (options.buses.count(verb) == 0) {
            queueControl(c, "< error no such bus >");
            c.state = State::closing;
            return;
        }
        if (!canbus::parseDecimal(tokens[2], rate) || rate == 0 || rate > 1000000) {
            queueControl(c, "< error bit rate must be 1..1000000 >");
            return;
        }
        c.rate = static_cast<std::uint32_t>(rate);
        queueControl(c, "< ok >");
        return;
    }
    if (verb == "echo") {
        queueControl(c, "< echo >");
        return;
    }
    queueControl(c, "< error unknown command >");
}

void CanBusServer::deliver(std::uint64_t sender, const std::string& bus, std::uint32_t rate,
                           const canbus::Frame& frame)
{
    if (options.pace) {
        auto& line = paced[{bus, rate}];
        if (line.queue.size() >= options.maxPacedFrames) {
            log("bus " + bus + " overloaded: frame dropped");
            return;
        }
        const auto now = Clock::now();
        const auto start = line.busyUntil > now ? line.busyUntil : now;
        const auto bitTime = std::chrono::nanoseconds(1000000000ull * canbus::frameBits(frame) / rate);
        line.busyUntil = start + bitTime;
        line.queue.push_back({line.busyUntil, sender, frame});
        return;
    }
    canbus::Frame stamped = frame;
    stamped.timestampUs = wallClockUs();
    const std::string text = canbus::formatFrame(stamped);
    for (auto& c : clients)
        if (c->fd >= 0 && c->serial != sender && c->state == State::raw && c->rate == rate && c->bus == bus)
            queueFrame(*c, text);
}

void CanBusServer::releasePaced(Clock::time_point now)
{
    bool pacing = options.pace;
    options.pace = false;
    for (auto& [key, line] : paced)
        while (!line.queue.empty() && line.queue.front().due <= now) {
            const Pending p = line.queue.front();
            line.queue.pop_front();
            deliver(p.sender, key.first, key.second, p.frame);
        }
    options.pace = pacing;
}

int CanBusServer::pollTimeoutMs(Clock::time_point now) const
{
    Clock::time_point next = now + std::chrono::seconds(1);
    for (const auto& [key, line] : paced)
        if (!line.queue.empty() && line.queue.front().due < next)
            next = line.queue.front().due;
    for (const auto& c : clients)
        if (c->fd >= 0 && !c->out.empty() && c->holdUntil > now && c->holdUntil < next)
            next = c->holdUntil;
    if (next <= now)
        return 0;
    // Round up so that the loop does not spin just before the due time.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

void CanBusServer::run(int stopFd)
{
    std::vector<pollfd> fds;
    std::vector<Client*> owners;
    for (;;) {
        const auto now = Clock::now();
        releasePaced(now);
        for (auto& c : clients)
            if (c->fd >= 0 && !c->out.empty())
                flush(*c);
        std::erase_if(clients, [](const std::unique_ptr<Client>& c) { return c->fd < 0; });

        fds.clear();
        owners.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        const auto afterFlush = Clock::now();
        for (auto& c : clients) {
            short events = c->state == State::closing ? 0 : POLLIN;
            const bool held = !c->out.empty() && !c->out.front().control && afterFlush < c->holdUntil;
            if (!c->out.empty() && !held)
                events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
            owners.push_back(c.get());
        }
        const int n = ::poll(fds.data(), fds.size(), pollTimeoutMs(afterFlush));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        if (fds[1].revents & POLLIN)
            accept();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            Client& c = *owners[i - 2];
            const short r = fds[i].revents;
            if (c.fd < 0 || r == 0)
                continue;
            if (r & (POLLIN | POLLHUP | POLLERR))
                onReadable(c);
            if (c.fd >= 0 && (r & POLLOUT))
                flush(c);
        }
    }
}

} // namespace canbusd
