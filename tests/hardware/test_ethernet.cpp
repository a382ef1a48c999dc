// The TCP adapter against real sockets on 127.0.0.1: a peer thread in the
// test plays the drive and can answer late, in pieces, too much or not at all.
// The adapter does not judge frames; mbap() only makes the bytes look real.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "HardwareTestLog.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Kavrel::GenericParameters;
using Kavrel::HardwareInterfaceEthernet;
using Kavrel::HardwareInterfaceList;

namespace {

// Reads up to n bytes, waiting at most timeout for them.
std::string readSome(int fd, std::size_t n, std::chrono::milliseconds timeout)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

void writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t r = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return;
        done += static_cast<std::size_t>(r);
    }
}

// A listening socket on 127.0.0.1 with a port of its own; one thread accepts
// one connection and runs the script on it. Everything ends in the destructor.
class TcpPeer {
public:
    explicit TcpPeer(std::function<void(int)> script, int backlog = 4, bool acceptConnection = true)
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd, backlog) != 0)
            return;
        socklen_t length = sizeof a;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &length);
        portNumber = ntohs(a.sin_port);
        if (!acceptConnection)
            return;
        worker = std::thread([this, script] {
            pollfd p{listenFd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return;
            const int fd = ::accept(listenFd, nullptr, nullptr);
            if (fd < 0)
                return;
            script(fd);
            ::close(fd);
        });
    }
    ~TcpPeer()
    {
        if (worker.joinable())
            worker.join();
        if (listenFd >= 0)
            ::close(listenFd);
    }
    int port() const { return portNumber; }
    int listener() const { return listenFd; }

private:
    int listenFd = -1;
    int portNumber = 0;
    std::thread worker;
};

GenericParameters endpoint(const std::string& address, const std::string& port)
{
    GenericParameters p;
    p.setText(0, address);
    p.setText(1, port);
    return p;
}

GenericParameters frame(const std::string& bytes)
{
    GenericParameters p;
    p.setBytes(bytes);
    return p;
}

struct Adapter {
    HardwareInterfaceEthernet hw;
    explicit Adapter(int port, std::chrono::milliseconds reply = 2000ms)
    {
        hw.setParameters(endpoint("127.0.0.1", std::to_string(port)));
        hw.setReplyTimeout(reply);
        hw.setConnectTimeout(2000ms);
    }
    ~Adapter() { hw.closeInterface(); }
    // One exchange; the answer's bytes, or "!<code>" on failure.
    std::string exchange(const std::string& request)
    {
        GenericParameters response;
        if (hw.sendMessage(frame(request), response) != 1)
            return "!" + std::to_string(hw.getLastErrorCode());
        return response.bytesAsText();
    }
};

std::string code(std::uint32_t c)
{
    return "!" + std::to_string(c);
}

// A Modbus TCP frame: transaction id, protocol id, then the length of body
// (or the given one) and body.
std::string mbap(std::uint16_t transaction, const std::string& body, int length = -1, std::uint16_t protocol = 0)
{
    const auto n = static_cast<std::size_t>(length >= 0 ? length : static_cast<int>(body.size()));
    std::string f{static_cast<char>(transaction >> 8), static_cast<char>(transaction & 0xFF),
                  static_cast<char>(protocol >> 8),    static_cast<char>(protocol & 0xFF),
                  static_cast<char>(n >> 8),           static_cast<char>(n & 0xFF)};
    return f + body;
}

} // namespace

TEST(Ethernet, AnswerIsOneReceiveAndWhatIsLeftIsDroppedBeforeTheNextRequest)
{
    const std::string q1 = mbap(0, "Q1"), q2 = mbap(0, "Q2"), q3 = mbap(0, "Q3"), q4 = mbap(0, "Q4");
    const std::string a1 = mbap(0, "A1xyz"), big(1500, 'x');
    std::atomic<int> written{0}; // answers the peer has sent in full
    TcpPeer peer([&](int fd) {
        // An answer in two segments: only the first is the answer.
        EXPECT_EQ(readSome(fd, q1.size(), 2000ms), q1);
        writeAll(fd, a1.substr(0, 5));
        std::this_thread::sleep_for(100ms);
        writeAll(fd, a1.substr(5));
        ++written;
        EXPECT_EQ(readSome(fd, q2.size(), 3000ms), q2);
        writeAll(fd, mbap(0, "A2"));
        // An answer longer than the receive buffer.
        EXPECT_EQ(readSome(fd, q3.size(), 2000ms), q3);
        writeAll(fd, big);
        ++written;
        EXPECT_EQ(readSome(fd, q4.size(), 3000ms), q4);
        writeAll(fd, mbap(0, "A4"));
        readSome(fd, 1, 2000ms); // until the adapter closes
    });
    auto waitWritten = [&](int n) {
        for (int i = 0; i < 500 && written.load() < n; ++i)
            std::this_thread::sleep_for(10ms);
    };
    Adapter a(peer.port());
    ASSERT_EQ(a.hw.openInterface(), 1) << a.hw.getLastErrorText();
    kavreltest::LogLines::instance().clear();
    EXPECT_EQ(a.exchange(q1), a1.substr(0, 5));
    waitWritten(1);
    EXPECT_EQ(a.exchange(q2), mbap(0, "A2")) << "the rest of the cut answer was taken for this one";
    EXPECT_TRUE(kavreltest::LogLines::instance().contains("dropped 6 bytes")) << kavreltest::LogLines::instance().all();
    EXPECT_EQ(a.exchange(q3), big.substr(0, 1024));
    waitWritten(2);
    EXPECT_EQ(a.exchange(q4), mbap(0, "A4"));
    EXPECT_EQ(a.hw.getLastErrorCode(), 0u);
}

TEST(Ethernet, NoAnswerTimesOutAndTheLinkStillServes)
{
    TcpPeer peer([](int fd) {
        EXPECT_EQ(readSome(fd, 11, 2000ms), mbap(1, "QUIET"));
        EXPECT_EQ(readSome(fd, 10, 3000ms), mbap(2, "PING"));
        writeAll(fd, mbap(2, "PONG"));
        readSome(fd, 1, 2000ms);
    });
    Adapter a(peer.port(), 300ms);
    ASSERT_EQ(a.hw.openInterface(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(a.exchange(mbap(1, "QUIET")), code(HardwareInterfaceEthernet::errorTimeout));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 290ms) << "gave up before the time-out";
    EXPECT_LT(waited, 5s) << "waited far past the time-out";
    EXPECT_EQ(a.exchange(mbap(2, "PING")), mbap(2, "PONG"));
}

TEST(Ethernet, PeerClosingMidExchangeGivesReceiveOrSendCodes)
{
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        TcpPeer peer([reset](int fd) {
            readSome(fd, 9, 2000ms);
            if (reset) {
                linger l{1, 0}; // close with RST
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
        });
        Adapter a(peer.port());
        ASSERT_EQ(a.hw.openInterface(), 1);
        EXPECT_EQ(a.exchange(mbap(1, "REQ")), code(HardwareInterfaceEthernet::errorReceive));
        std::this_thread::sleep_for(50ms);
        // The peer is gone: no SIGPIPE may end the process, and each try fails with a code.
        for (int i = 0; i < 3; ++i) {
            const std::string r = a.exchange(mbap(1, "REQ"));
            EXPECT_TRUE(r == code(HardwareInterfaceEthernet::errorReceive) ||
                        r == code(HardwareInterfaceEthernet::errorSend))
                << r;
        }
    }
}

TEST(Ethernet, BadEndpointsFailToConnectWithCode)
{
    const int refusedPort = kavreltest::freeTcpPort();
    struct Case {
        const char* address;
        std::string port;
    } cases[] = {
        {"127.0.0.1", std::to_string(refusedPort)}, // nobody listens
        {"", "1502"},
        {"256.1.1.1", "1502"},
        {"localhost", "1502"}, // no name resolution
        {"127.0.0.1 ", "1502"},
        {"1.2.3", "1502"},
        {"127.0.0.1", "0"},
        {"127.0.0.1", "70000"},
        {"127.0.0.1", "50x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.address) + ":" + c.port);
        HardwareInterfaceEthernet hw;
        hw.setParameters(endpoint(c.address, c.port));
        EXPECT_EQ(hw.openInterface(), -1);
        EXPECT_EQ(hw.getLastErrorCode(), HardwareInterfaceEthernet::errorConnect);
        EXPECT_FALSE(hw.getLastErrorText().empty());
        EXPECT_FALSE(hw.isOpen());
        GenericParameters response;
        EXPECT_EQ(hw.sendMessage(frame(mbap(1, "XY")), response), 0);
        EXPECT_EQ(hw.getLastErrorCode(), HardwareInterfaceEthernet::errorSend);
        EXPECT_EQ(hw.closeInterface(), 0);
    }
}

TEST(Ethernet, EmptyPortMeans502AndCloseWithoutOpenDoesNothing)
{
    HardwareInterfaceEthernet never;
    EXPECT_EQ(never.closeInterface(), 0);

    kavreltest::LogLines::instance().clear();
    HardwareInterfaceEthernet hw;
    hw.setConnectTimeout(1000ms);
    hw.setParameters(endpoint("127.0.0.1", ""));
    hw.openInterface(); // whether something serves 502 here does not matter
    EXPECT_TRUE(kavreltest::LogLines::instance().contains("HardwareInterfaceEthernet::openInterface serverPort = 502"));
    EXPECT_TRUE(
        kavreltest::LogLines::instance().contains("HardwareInterfaceEthernet::openInterface Address = 127.0.0.1:502"))
        << kavreltest::LogLines::instance().all();
    EXPECT_EQ(hw.closeInterface(), 0);
}

TEST(Ethernet, ConnectIsBoundedWhenTheServerNeverAccepts)
{
    // A listener whose accept queue is full drops further handshakes, so a
    // connect to it hangs until the adapter's bound.
    TcpPeer peer([](int) {}, 0, false);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(peer.port()));
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);
    HardwareInterfaceEthernet hw;
    hw.setParameters(endpoint("127.0.0.1", std::to_string(peer.port())));
    hw.setConnectTimeout(300ms);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = hw.openInterface();
    const auto waited = std::chrono::steady_clock::now() - start;
    for (int fd : fillers)
        ::close(fd);
    if (result == 1)
        GTEST_SKIP() << "this kernel completed the handshake despite the full queue";
    EXPECT_EQ(result, -1);
    EXPECT_EQ(hw.getLastErrorCode(), HardwareInterfaceEthernet::errorConnect);
    EXPECT_LT(waited, 5s);
}

TEST(Ethernet, ListedCopyIsClosedSharesTheMutexAndNeverClosesTheOriginal)
{
    TcpPeer peer([](int fd) {
        for (int i = 1; i <= 2; ++i) {
            if (readSome(fd, 8, 2000ms).empty())
                return;
            writeAll(fd, mbap(static_cast<std::uint16_t>(i), "OK"));
        }
        readSome(fd, 1, 2000ms);
    });
    Adapter a(peer.port());
    ASSERT_EQ(a.hw.openInterface(), 1);
    EXPECT_EQ(a.exchange(mbap(1, "Q1")), mbap(1, "OK"));
    {
        HardwareInterfaceList list;
        EXPECT_EQ(a.hw.getAvailableInterfaces(list), 1); // loopback is always up
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->getName(), "Ethernet");
        EXPECT_EQ(list[0]->getNameToOpen(), "Ethernet");
        EXPECT_EQ(list[0]->getNumber(), 0u);
        EXPECT_EQ(list[0]->getMutex(), a.hw.getMutex());
        auto* copy = dynamic_cast<HardwareInterfaceEthernet*>(list[0].get());
        ASSERT_NE(copy, nullptr);
        EXPECT_FALSE(copy->isOpen());
        EXPECT_EQ(copy->closeInterface(), 0);
    } // the copy is destroyed here
    EXPECT_EQ(a.exchange(mbap(2, "Q2")), mbap(2, "OK")) << "the copy closed the original's socket";
}

TEST(Ethernet, TransfersFromTwoThreadsNeverInterleave)
{
    // An echo peer: each request comes back as its own answer only if no
    // other thread's request slipped in between.
    constexpr int perThread = 40;
    TcpPeer peer([](int fd) {
        for (int i = 0; i < 2 * perThread; ++i) {
            const std::string r = readSome(fd, 12, 3000ms);
            if (r.size() != 12)
                return;
            writeAll(fd, r);
        }
    });
    Adapter a(peer.port());
    ASSERT_EQ(a.hw.openInterface(), 1);
    std::atomic<int> mismatches{0};
    auto run = [&](char tag) {
        for (int i = 0; i < perThread; ++i) {
            char body[7];
            std::snprintf(body, sizeof body, "%c%05d", tag, i);
            const std::string request = mbap(static_cast<std::uint16_t>(tag * 256 + i), body);
            if (a.exchange(request) != request)
                ++mismatches;
        }
    };
    std::thread t1(run, 'A'), t2(run, 'B');
    t1.join();
    t2.join();
    EXPECT_EQ(mismatches.load(), 0);
}
