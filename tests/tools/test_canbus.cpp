// kavrel-canbus against raw sockets, our client library and a python-can
// drive; kavrel-drive-sim --canopen SDO exchanges byte for byte through it.
#include <gtest/gtest.h>

#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>

#include "CanBusClient.h"
#include "tools/canopen_peers.h"
#include "tools/test_drive_sim_support.h"

using namespace simtest;
using kavreltest::CanBusProcess;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A socketcand client at the byte level: what one recv gives, exactly.
class TextPeer {
public:
    explicit TextPeer(int port) : tcp(port), fd(tcp.handle()) {}
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
        ASSERT_EQ(message(), "< hi >");
        if (!rate.empty()) {
            say("< " + bus + " B " + rate + " -1 -1 -1 -1 -1 -1 -1 >");
            ASSERT_EQ(message(), "< ok >");
        }
        for (const std::string& command : {"< open " + bus + " >", std::string("< rawmode >")}) {
            say(command);
            ASSERT_EQ(message(), "< ok >");
        }
    }
    RawTcp tcp;
    int fd;
    std::string pending;
};


// Drives 1-3 and 127 of one family on a bus of their own.
struct SimOnBus {
    explicit SimOnBus(const std::string& family, std::vector<std::string> extra = {})
    {
        ::mkfifo(fifo.c_str(), 0600); // a control FIFO that is there already is taken as it is
        extra.insert(extra.end(), {"--canopen", bus.endpoint(), "--family", family, "--ids", "1-3,127", "--control", fifo});
        sim = std::make_unique<Sim>(extra);
    }
    bool ok() const { return bus.ok() && sim->ready && sim->lines[0] == "canopen " + bus.endpoint(); }
    kavreltest::CanBusProcess bus;
    kavreltest::TempDir dir;
    std::string fifo = dir.str() + "control";
    std::unique_ptr<Sim> sim;
};

// The host's side: one node at a bit rate, asking and waiting for a reply.
struct Host {
    Host(const std::string& endpoint, std::uint32_t rate, std::size_t capacity = 100)
    {
        std::string error;
        auto c = canbus::Connection::open(*canbus::Endpoint::parse(endpoint), rate, error);
        EXPECT_TRUE(c) << error;
        if (c)
            port = std::make_unique<canbus::ReceivePort>(std::move(c), capacity);
    }
    // The reply's id and bytes; an empty vector when none came.
    std::pair<std::uint32_t, Bytes> ask(std::uint32_t id, const Bytes& data, std::chrono::milliseconds wait = 5000ms)
    {
        port->clear();
        canbus::Frame f;
        f.id = id;
        f.len = static_cast<std::uint8_t>(data.size());
        std::copy(data.begin(), data.end(), f.data);
        EXPECT_EQ(port->send(f, 1000ms), canbus::SendResult::ok);
        canbus::ReceivePort::Received r;
        if (!port->wait(wait) || !port->take(r))
            return {0, {}};
        return {r.frame.id, Bytes(r.frame.data, r.frame.data + r.frame.len)};
    }
    std::unique_ptr<canbus::ReceivePort> port;
};

struct Exchange {
    const char* what;
    std::uint32_t id;
    Bytes request;
    std::uint32_t replyId; // 0: no reply
    Bytes reply;
};

void run(Host& host, const std::vector<Exchange>& table)
{
    for (const auto& x : table) {
        SCOPED_TRACE(x.what);
        auto [id, bytes] = host.ask(x.id, x.request, x.replyId ? 5000ms : 300ms);
        EXPECT_EQ(id, x.replyId);
        EXPECT_EQ(bytes, x.reply);
    }
}

} // namespace

TEST(CanBusServer, HandshakeAndFrameFormatOnTheWire)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    TextPeer a(bus.port()), b(bus.port());
    a.raw();
    b.raw();
    const struct {
        std::string send;
        std::string frameRegex; // what b receives; empty: nothing
    } cases[] = {
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
        EXPECT_TRUE(c.frameRegex.empty() || std::regex_match(b.message(), std::regex(c.frameRegex)));
        EXPECT_TRUE(std::regex_match(b.message(), std::regex(R"(< frame 001 \S+ EE >)")));
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
    Host host(bus.endpoint(), 0, 100000);
    ASSERT_TRUE(host.port);
    auto& port = *host.port;
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

TEST(CanBusServer, PythonCanDriveAnswersOurClient)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    cantest::PythonDrive drive(bus.port(), "can0", 5);
    ASSERT_TRUE(drive.ok());
    Host host(bus.endpoint(), 0);
    run(host, {
        {"1.1", 0x605, {0x40, 0x01, 0x30, 1, 0, 0, 0, 0}, 0x585, {0x43, 0x01, 0x30, 1, 0x0E, 0, 0x03, 0}},
        {"1.3", 0x605, {0x40, 0x01, 0x30, 3, 0, 0, 0, 0}, 0x585, {0x43, 0x01, 0x30, 3, 'R', 'D', 'Y', 'P'}},
        {"1.20", 0x605, {0x40, 0x01, 0x30, 20, 0, 0, 0, 0}, 0x585, {0x43, 0x01, 0x30, 20, 0x45, 0x23, 0, 0}},
        {"2.5", 0x605, {0x2B, 0x02, 0x30, 5, 0x34, 0x12, 0, 0}, 0x585, {0x60, 0x02, 0x30, 5, 0, 0, 0, 0}},
        {"no object", 0x605, {0x40, 0x07, 0x30, 7, 0, 0, 0, 0}, 0x585, {0x80, 0x07, 0x30, 7, 0, 0, 0x02, 0x06}},
    });
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
    Host host(bus.endpoint(), 250000);
    ASSERT_TRUE(host.port);
    bus.stop();
    host.port->wait(5000ms);
    EXPECT_FALSE(host.port->alive());
    EXPECT_EQ(host.port->send(canbus::Frame{}, 100ms), canbus::SendResult::lost);
    // Nothing listens any more: opening fails with a reason.
    std::string error;
    EXPECT_FALSE(canbus::Connection::open(*canbus::Endpoint::parse(bus.endpoint()), 0, error, 1000ms));
    EXPECT_NE(error.find("connect"), std::string::npos) << error;
}

TEST(DriveSimCanOpen, QtaAnswersExpeditedSdoAndAborts)
{
    SimOnBus s("qta");
    ASSERT_TRUE(s.ok());
    Host host(s.bus.endpoint(), 125000);
    run(host, {
        {"vendor id", 0x605, {0x40, 0x18, 0x10, 1, 0, 0, 0, 0}, 0, {}}, // node 5 does not exist
        {"vendor id", 0x601, {0x40, 0x18, 0x10, 1, 0, 0, 0, 0}, 0x581, {0x43, 0x18, 0x10, 1, 0x2E, 0, 0, 0x01}},
        {"product code, 2 bytes", 0x601, {0x40, 0x18, 0x10, 2, 0, 0, 0, 0}, 0x581, {0x4B, 0x18, 0x10, 2, 0x1A, 0x0C, 0, 0}},
        {"1.3 as characters", 0x601, {0x40, 0x01, 0x30, 3, 0, 0, 0, 0}, 0x581, {0x43, 0x01, 0x30, 3, 0x2D, 0x41, 0x54, 0x51}},
        // The serial number comes in halves: 123456789 + 2 = 0x075BCD17.
        {"1.20 high", 0x602, {0x40, 0x01, 0x30, 20, 0, 0, 0, 0}, 0x582, {0x43, 0x01, 0x30, 20, 0x5B, 0x07, 0, 0}},
        {"1.20 low", 0x602, {0x40, 0x01, 0x30, 20, 0, 0, 0, 0}, 0x582, {0x43, 0x01, 0x30, 20, 0x17, 0xCD, 0, 0}},
        {"node 127", 0x67F, {0x40, 0x03, 0x30, 0, 0, 0, 0, 0}, 0x5FF, {0x4B, 0x03, 0x30, 0, 0x2A, 0, 0, 0}},
        {"write 2 bytes", 0x601, {0x2B, 0x02, 0x30, 1, 0x34, 0x12, 0, 0}, 0x581, {0x60, 0x02, 0x30, 1, 0, 0, 0, 0}},
        {"read back", 0x601, {0x40, 0x02, 0x30, 1, 0, 0, 0, 0}, 0x581, {0x4B, 0x02, 0x30, 1, 0x34, 0x12, 0, 0}},
        {"write 1 byte, no size", 0x601, {0x22, 0x02, 0x30, 2, 0x99, 0x88, 0, 0}, 0x581, {0x60, 0x02, 0x30, 2, 0, 0, 0, 0}},
        {"read 1 byte", 0x601, {0x40, 0x02, 0x30, 2, 0, 0, 0, 0}, 0x581, {0x4F, 0x02, 0x30, 2, 0x99, 0, 0, 0}},
        {"size mismatch", 0x601, {0x23, 0x02, 0x30, 1, 1, 0, 0, 0}, 0x581, {0x80, 0x02, 0x30, 1, 0x10, 0, 0x07, 0x06}},
        {"read-only", 0x601, {0x23, 0x01, 0x30, 1, 1, 0, 0, 0}, 0x581, {0x80, 0x01, 0x30, 1, 0x02, 0, 0x01, 0x06}},
        {"no object", 0x601, {0x40, 0x99, 0x30, 0, 0, 0, 0, 0}, 0x581, {0x80, 0x99, 0x30, 0, 0, 0, 0x02, 0x06}},
        {"no subindex", 0x601, {0x40, 0x01, 0x30, 99, 0, 0, 0, 0}, 0x581, {0x80, 0x01, 0x30, 99, 0x11, 0, 0x09, 0x06}},
        {"segmented", 0x601, {0x21, 0x02, 0x30, 1, 4, 0, 0, 0}, 0x581, {0x80, 0x02, 0x30, 1, 0x01, 0, 0x04, 0x05}},
        {"short request", 0x601, {0x40, 0x01, 0x30, 1}, 0, {}},
    });
}

TEST(DriveSimCanOpen, KvxUploadAndBitRateChange)
{
    SimOnBus s("kvx", {"--exception-on", "2.3"});
    ASSERT_TRUE(s.ok());
    Host host(s.bus.endpoint(), 125000);
    run(host, {
        {"vendor id", 0x601, {0x40, 0x18, 0x10, 1, 0, 0, 0, 0}, 0x581, {0x43, 0x18, 0x10, 1, 0x5A, 0, 0, 0x08}},
        {"data before the start", 0x601, {0x40, 0x04, 0x30, 12, 0, 0, 0, 0}, 0x581, {0x80, 0x04, 0x30, 12, 0x22, 0, 0, 0x08}},
        {"wrong start value", 0x601, {0x23, 0x04, 0x30, 9, 1, 0, 0, 0}, 0x581, {0x80, 0x04, 0x30, 9, 0x30, 0, 0x09, 0x06}},
        {"start", 0x601, {0x23, 0x04, 0x30, 9, 0x32, 0, 0x17, 0}, 0x581, {0x60, 0x04, 0x30, 9, 0, 0, 0, 0}},
        {"31 words", 0x601, {0x40, 0x04, 0x30, 11, 0, 0, 0, 0}, 0x581, {0x43, 0x04, 0x30, 11, 31, 0, 0, 0}},
        {"first pair", 0x601, {0x40, 0x04, 0x30, 12, 0, 0, 0, 0}, 0x581, {0x43, 0x04, 0x30, 12, 0x01, 0x4B, 0x00, 0x4B}},
        {"fault switch", 0x601, {0x40, 0x02, 0x30, 3, 0, 0, 0, 0}, 0x581, {0x80, 0x02, 0x30, 3, 0x20, 0, 0, 0x08}},
    });
    // Fifteen more pairs; the last carries one word and the count goes to -1.
    std::pair<std::uint32_t, Bytes> last;
    for (int i = 1; i < 16; ++i)
        last = host.ask(0x601, {0x40, 0x04, 0x30, 12, 0, 0, 0, 0});
    EXPECT_EQ(last.second, (Bytes{0x43, 0x04, 0x30, 12, 0, 0, 0x1E, 0x4B}));
    run(host, {
        {"count below 0", 0x601, {0x40, 0x04, 0x30, 11, 0, 0, 0, 0}, 0x581, {0x43, 0x04, 0x30, 11, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"end", 0x601, {0x2B, 0x32, 0x30, 1, 0, 0, 0, 0}, 0x581, {0x60, 0x32, 0x30, 1, 0, 0, 0, 0}},
    });

    // Drive 2 moves to 250 kbit/s: silent at 125k, answering at 250k.
    ASSERT_TRUE(kavreltest::sendControl(s.fifo, *s.sim->process, "bitrate 2 250000"));
    Host fast(s.bus.endpoint(), 250000);
    const Bytes read11{0x40, 0x01, 0x30, 1, 0, 0, 0, 0};
    EXPECT_EQ(host.ask(0x602, read11, 300ms).first, 0u);
    EXPECT_EQ(fast.ask(0x602, read11).first, 0x582u);
    EXPECT_EQ(fast.ask(0x601, read11, 300ms).first, 0u);
    EXPECT_EQ(host.ask(0x601, read11).first, 0x581u);
    ASSERT_TRUE(kavreltest::sendControl(s.fifo, *s.sim->process, "silence 1"));
    EXPECT_EQ(host.ask(0x601, read11, 300ms).first, 0u);
}
