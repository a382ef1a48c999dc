#include "hardware/HardwareInterfaceEthernet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <set>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

using commonbase::cat;

namespace {

std::string errnoText(int error)
{
    return std::strerror(error);
}

int pollFor(int fd, short events, std::chrono::milliseconds timeout)
{
    pollfd p{fd, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        const int r = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 ? p.revents : r;
    }
}

} // namespace

HardwareInterfaceEthernet::HardwareInterfaceEthernet()
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

HardwareInterfaceEthernet::HardwareInterfaceEthernet(const HardwareInterfaceEthernet& other)
    : HardwareInterface(other), connectTimeout(other.connectTimeout), replyTimeout(other.replyTimeout)
{
    // socketFd and started stay at their closed defaults.
}

HardwareInterfaceEthernet::~HardwareInterfaceEthernet()
{
    closeSocket();
}

void HardwareInterfaceEthernet::closeSocket()
{
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
}

std::int32_t HardwareInterfaceEthernet::getAvailableInterfaces(HardwareInterfaceList& list)
{
    commonbase::Dbg dbg(0, __FILE__, "getAvailableInterfaces()");
    ifaddrs* addresses = nullptr;
    if (::getifaddrs(&addresses) != 0) {
        commonbase::DbgInfo(3, __FILE__, cat("network devices cannot be listed: ", errnoText(errno)));
        return -1;
    }
    bool present = false;
    std::set<std::string> seen;
    for (ifaddrs* a = addresses; a; a = a->ifa_next) {
        if ((a->ifa_flags & IFF_UP) == 0 || !a->ifa_name)
            continue;
        // getifaddrs repeats a device once per address family.
        if (!seen.insert(a->ifa_name).second)
            continue;
        commonbase::DbgInfo(1, __FILE__, cat("network device ", a->ifa_name));
        present = true;
    }
    ::freeifaddrs(addresses);
    if (!present)
        return 0;
    auto entry = std::make_shared<HardwareInterfaceEthernet>(*this);
    entry->name = "Ethernet";
    entry->nameToOpen = "Ethernet";
    entry->number = 0;
    list.push_back(std::move(entry));
    return 1;
}

std::int32_t HardwareInterfaceEthernet::connectSocket(const std::string& address, std::uint16_t port)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1) {
        setError(errorConnect, cat("'", address, "' is not a dotted IPv4 address"));
        return -1;
    }
    // Connect without blocking, so an unreachable host costs at most the bound.
    const int flags = ::fcntl(socketFd, F_GETFL);
    ::fcntl(socketFd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(socketFd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    int error = r == 0 ? 0 : errno;
    if (r != 0 && (error == EINPROGRESS || error == EINTR)) {
        const int events = pollFor(socketFd, POLLOUT, connectTimeout);
        if (events == 0) {
            error = ETIMEDOUT;
        } else if (events < 0) {
            error = errno;
        } else {
            socklen_t length = sizeof error;
            if (::getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        setError(errorConnect, cat("connecting to ", address, ":", port, " failed: ", errnoText(error)));
        return -1;
    }
    ::fcntl(socketFd, F_SETFL, flags & ~O_NONBLOCK);
    // Request and answer are small frames: send each at once.
    int one = 1;
    ::setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    applyReceiveTimeout();
    return 1;
}

std::int32_t HardwareInterfaceEthernet::openInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "openInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    closeSocket();
    started = true;
    socketFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (socketFd < 0) {
        setError(errorSocket, cat("creating the socket failed: ", errnoText(errno)));
        commonbase::DbgInfo(3, __FILE__, getLastErrorText());
        return 0;
    }
    const std::string address = parameters.getText(0);
    std::string portText = parameters.getText(1);
    if (portText.empty())
        portText = defaultPort;
    commonbase::DbgInfo(1, __FILE__, cat("HardwareInterfaceEthernet::openInterface serverAddress = ", address));
    commonbase::DbgInfo(1, __FILE__, cat("HardwareInterfaceEthernet::openInterface serverPort = ", portText));
    const auto port = commonbase::parseDecimal(commonbase::trim(portText));
    const std::uint16_t portNumber = port && *port <= 0xFFFFu ? static_cast<std::uint16_t>(*port) : 0;
    commonbase::DbgInfo(1, __FILE__,
                        cat("HardwareInterfaceEthernet::openInterface Address = ", address, ":", portNumber));
    std::int32_t result = -1;
    if (portNumber == 0)
        setError(errorConnect, cat("'", portText, "' is not a port number 1..65535"));
    else
        result = connectSocket(address, portNumber);
    if (result != 1) {
        commonbase::DbgInfo(3, __FILE__, getLastErrorText());
        closeSocket();
        return result;
    }
    clearError();
    return 1;
}

std::int32_t HardwareInterfaceEthernet::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "closeInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (started) {
        closeSocket();
        started = false;
    }
    return 0;
}

void HardwareInterfaceEthernet::setReplyTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    replyTimeout = timeout;
    if (socketFd >= 0)
        applyReceiveTimeout();
}

void HardwareInterfaceEthernet::applyReceiveTimeout()
{
    timeval t{};
    t.tv_sec = static_cast<time_t>(replyTimeout.count() / 1000);
    t.tv_usec = static_cast<suseconds_t>((replyTimeout.count() % 1000) * 1000);
    // Zero would mean no limit at all.
    if (t.tv_sec == 0 && t.tv_usec <= 0)
        t.tv_usec = 1000;
    ::setsockopt(socketFd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    // A peer that stops reading must not hold a send for ever either.
    ::setsockopt(socketFd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

void HardwareInterfaceEthernet::dropStaleInput()
{
    // Usually one call that finds nothing; bounded in case a peer floods us.
    std::size_t dropped = 0;
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::recv(socketFd, received.data(), received.size(), MSG_DONTWAIT);
        if (n > 0)
            dropped += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    if (dropped > 0)
        commonbase::DbgInfo(2, __FILE__, cat("sendMessage() dropped ", dropped,
                                             " bytes that came after their request had ended"));
}

ssize_t HardwareInterfaceEthernet::receiveAnswer()
{
    const auto deadline = std::chrono::steady_clock::now() + replyTimeout;
    ssize_t n = ::recv(socketFd, received.data(), received.size(), 0);
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return -2;
    if (errno != EINTR)
        return -1;
    // Interrupted: wait for what is left of the time-out, then read once.
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -2;
        const int events = pollFor(socketFd, POLLIN, left);
        if (events == 0)
            return -2;
        if (events < 0)
            return -1;
        n = ::recv(socketFd, received.data(), received.size(), MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
    }
}

std::int32_t HardwareInterfaceEthernet::fail(std::uint32_t code, std::string text)
{
    commonbase::DbgInfo(3, __FILE__, text);
    setError(code, std::move(text));
    return 0;
}

std::int32_t HardwareInterfaceEthernet::sendMessage(const GenericParameters& request, GenericParameters& response)
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    commonbase::Dbg dbg(0, __FILE__, "sendMessage()");
    if (socketFd < 0)
        return fail(errorSend, "the connection is not open");
    const auto& out = request.bytes;
    if (out.empty())
        return fail(errorSend, "an empty request cannot be sent");
    // One request at a time per connection: whatever is still waiting belongs
    // to an earlier one and must not be read as this one's answer.
    dropStaleInput();
    ssize_t sent = -1;
    do {
        sent = ::send(socketFd, out.data(), out.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent <= 0)
        return fail(errorSend, sent == 0 ? std::string("nothing was sent") : cat("sending failed: ", errnoText(errno)));
    if (static_cast<std::size_t>(sent) < out.size())
        return fail(errorSend, cat("only ", sent, " of ", out.size(), " bytes were sent"));

    // The answer is what one receive returns; a cut or overlong one is for
    // the protocol to refuse, and its rest is dropped before the next request.
    const ssize_t n = receiveAnswer();
    if (n > 0) {
        response.bytes.assign(received.begin(), received.begin() + n);
        clearError();
        return 1;
    }
    if (n == -2)
        return fail(errorTimeout, cat("no answer within ", replyTimeout.count(), " ms"));
    return fail(errorReceive, n == 0 ? std::string("the connection was closed by the peer")
                                     : cat("receiving failed: ", errnoText(errno)));
}

} // namespace Kavrel
