// kavrel-canbus against raw sockets, our client library and python-can.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "CanBusClient.h"
#include "support/CanBusFixture.h"

using namespace std::chrono_literals;
using kavreltest::CanBusProcess;

namespace {

// A socketcand client at the byte level: what one recv gives, exactly.
class TextPeer {
public:
    explicit TextPeer(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~TextPeer()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void say(const std::string& text) { ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size()); }
    // One recv: empty on time-out, "EOF" when the server closed.
    std::string recvOnce(std::chrono::milliseconds timeout = 3000ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        return n <= 0 ? "EOF" : std::string(buffer, static_cast<std::size_t>(n));
    }
    // Everything up to and including the next '>', over several recvs.
    std::string message(std::chrono::milliseconds timeout = 3000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pending.find('>') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string got = left.count() > 0 ? recvOnce(left) : std::string();
            if (got.empty() || got == "EOF")
                return got;
            pending += got;
        }
        const auto end = pending.find('>') + 1;
        std::string m = pending.substr(0, end);
        pending.erase(0, end);
        return m;
    }
    // Handshake into rawmode, optionally at a bit rate.
    void raw(const std::string& bus = "can0", const std::string& rate = "")
    {
        ASSERT_EQ(recvOnce(), "< hi >");
        if (!rate.empty()) {
            say("< " + bus + " B " + rate + " -1 -1 -1 -1 -1 -1 -1 >");
            ASSERT_EQ(recvOnce(), "< ok >");
        }
        say("< open " + bus + " >");
        ASSERT_EQ(recvOnce(), "< ok >");
        say("< rawmode >");
        ASSERT_EQ(recvOnce(), "< ok >");
    }
    int fd = -1;
    std::string pending;
};

} // namespace

TEST(CanBusServer, HandshakeAndFrameFormatOnTheWire)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    TextPeer a(bus.port()), b(bus.port());
    a.raw();
    b.raw();
    struct Case {
        std::string send;
        std::string frameRegex; // what b receives; empty: nothing
    };
    const std::vector<Case> cases{
        {"< send 605 8 40 1 30 1 0 0 0 0 >", R"(< frame 605 \d+\.\d{6} 4001300100000000 >)"},
        {"<send 7ff 2 ab CD>", R"(< frame 7FF \d+\.\d{6} ABCD >)"},
        {"< send 12345678 1 5 >", R"(< frame 12345678 \d+\.\d{6} 05 >)"},
        {"< send 80 0 >", R"(< frame 080 \d+\.\d{6}  >)"},
        {"< send 605 3 1 2 >", ""},       // byte count does not match LEN
        {"< send 605 9 0 0 0 0 0 0 0 0 0 >", ""}, // more than 8 bytes
        {"< send xyz 1 0 >", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.send);
        a.say(c.send);
        // A marker after each case shows that nothing came before it.
        a.say("< send 1 1 EE >");
        const std::string got = b.message();
        if (!c.frameRegex.empty()) {
            EXPECT_TRUE(std::regex_match(got, std::regex(c.frameRegex))) << got;
            EXPECT_TRUE(std::regex_match(b.message(), std::regex(R"(< frame 001 \S+ EE >)")));
        } else {
            EXPECT_TRUE(std::regex_match(got, std::regex(R"(< frame 001 \S+ EE >)"))) << got;
        }
    }
    // Never back to the sender.
    EXPECT_EQ(a.recvOnce(300ms), "");
    // An unknown bus is refused and the connection closed.
    TextPeer c(bus.port());
    EXPECT_EQ(c.recvOnce(), "< hi >");
    c.say("< open nosuch >");
    EXPECT_EQ(c.message().rfind("< error", 0), 0u);
    EXPECT_EQ(c.recvOnce(), "EOF");
}

TEST(CanBusServer, FramesReachOnlyClientsAtTheSameBitRateOfTheSameBus)
{
    CanBusProcess bus({"can0=125000", "can1=125000"});
    ASSERT_TRUE(bus.ok());
    TextPeer at250(bus.port()), also250(bus.port()), at500(bus.port()), byDefault(bus.port()), otherBus(bus.port());
    at250.raw("can0", "250000");
    also250.raw("can0", "250000");
    at500.raw("can0", "500000");
    byDefault.raw("can0");
    otherBus.raw("can1", "250000");
    at250.say("< send 605 1 1 >");
    byDefault.say("< send 606 1 2 >");
    EXPECT_NE(also250.message().find("frame 605"), std::string::npos);
    EXPECT_EQ(also250.recvOnce(300ms), "");
    EXPECT_EQ(at500.recvOnce(300ms), "");
    EXPECT_EQ(otherBus.recvOnce(100ms), "");
    EXPECT_EQ(byDefault.recvOnce(100ms), "");
}

TEST(CanBusServer, SlowClientIsDroppedAndTheBusGoesOn)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    TextPeer sender(bus.port()), reader(bus.port()), sleeper(bus.port());
    sender.raw();
    sleeper.raw();
    // The reader counts frames on its own while the sleeper reads nothing.
    auto endpoint = canbus::Endpoint::parse(bus.endpoint());
    ASSERT_TRUE(endpoint);
    std::string error;
    auto conn = canbus::Connection::open(*endpoint, 0, error);
    ASSERT_TRUE(conn) << error;
    canbus::ReceivePort port(std::move(conn), 100000);
    std::this_thread::sleep_for(100ms); // past the server's hold after rawmode
    // Batches small enough for a reader on a loaded machine; together far
    // more than the sleeper's queue and socket buffers hold.
    const int batches = 200, perBatch = 200;
    for (int b = 0; b < batches; ++b) {
        std::string batch;
        for (int i = 0; i < perBatch; ++i)
            batch += "< send 100 8 1 2 3 4 5 6 7 " + std::to_string(i % 10) + " >";
        sender.say(batch);
        const auto want = static_cast<std::size_t>((b + 1) * perBatch);
        for (int i = 0; i < 1000 && port.size() < want; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(port.size(), want) << "batch " << b;
    }
    EXPECT_EQ(port.lostFrames(), 0u);
    // The sleeper finds its connection closed after what was queued for it.
    std::string got;
    for (int i = 0; i < 10000 && got != "EOF"; ++i)
        got = sleeper.recvOnce(3000ms);
    EXPECT_EQ(got, "EOF");
}

TEST(CanBusServer, PythonCanPeerAnswersOurClient)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    kavreltest::ChildProcess peer({"/usr/bin/python3", kavreltest::sourceDir() + "/tests/tools/canbus_python_peer.py",
                                   "--port", std::to_string(bus.port()), "--node", "5", "--seconds", "30"});
    ASSERT_EQ(peer.readLine(20s), "ready");
    auto endpoint = canbus::Endpoint::parse(bus.endpoint());
    std::string error;
    auto conn = canbus::Connection::open(*endpoint, 0, error);
    ASSERT_TRUE(conn) << error;
    canbus::ReceivePort port(std::move(conn), 100);
    for (int i = 0; i < 5; ++i) {
        canbus::Frame request;
        request.id = 0x605;
        request.len = 8;
        const std::uint8_t bytes[8] = {0x40, 0x01, 0x30, static_cast<std::uint8_t>(i), 0, 0, 0, 0};
        std::copy(bytes, bytes + 8, request.data);
        ASSERT_EQ(port.send(request, 1000ms), canbus::SendResult::ok);
        ASSERT_TRUE(port.wait(5000ms));
        canbus::ReceivePort::Received reply;
        ASSERT_TRUE(port.take(reply));
        EXPECT_EQ(reply.frame.id, 0x585u);
        ASSERT_EQ(reply.frame.len, 8);
        const std::uint8_t want[8] = {0x43, 0x01, 0x30, static_cast<std::uint8_t>(i), 0x78, 0x56, 0x34, 0x12};
        EXPECT_TRUE(std::equal(want, want + 8, reply.frame.data));
    }
}

TEST(CanBusServer, PaceHoldsFramesForTheirTimeOnTheWire)
{
    // 10 kbit/s: an 8-byte frame takes 135 bits, 13.5 ms.
    CanBusProcess bus({"can0=10000"}, {"--pace"});
    ASSERT_TRUE(bus.ok());
    TextPeer sender(bus.port()), reader(bus.port());
    sender.raw();
    reader.raw();
    const auto start = std::chrono::steady_clock::now();
    std::string batch;
    for (int i = 0; i < 20; ++i)
        batch += "< send 100 8 0 0 0 0 0 0 0 0 >";
    sender.say(batch);
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(reader.message(5000ms).find("frame 100"), std::string::npos) << i;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20 * 13500us);
}

TEST(CanBusServer, ClientSeesTheServerGo)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    auto endpoint = canbus::Endpoint::parse(bus.endpoint());
    std::string error;
    auto conn = canbus::Connection::open(*endpoint, 250000, error);
    ASSERT_TRUE(conn) << error;
    canbus::ReceivePort port(std::move(conn), 100);
    bus.stop();
    port.wait(5000ms);
    EXPECT_FALSE(port.alive());
    canbus::Frame f;
    EXPECT_EQ(port.send(f, 100ms), canbus::SendResult::lost);
    // Nothing listens any more: opening fails with a reason.
    EXPECT_FALSE(canbus::Connection::open(*endpoint, 0, error, 1000ms));
    EXPECT_NE(error.find("connect"), std::string::npos) << error;
}
