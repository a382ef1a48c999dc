// kavrel-drive-sim --canopen: SDO exchanges byte for byte through kavrel-canbus.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "CanBusClient.h"
#include "support/CanBusFixture.h"

using namespace std::chrono_literals;
using kavreltest::CanBusProcess;
using kavreltest::ChildProcess;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct SimOnBus {
    CanBusProcess bus;
    kavreltest::TempDir dir;
    std::string fifo = dir.str() + "control";
    std::unique_ptr<ChildProcess> sim;

    explicit SimOnBus(const std::string& family, std::vector<std::string> extra = {})
    {
        if (!bus.ok())
            return;
        std::vector<std::string> argv{kavreltest::binDir() + "/kavrel-drive-sim", "--canopen", bus.endpoint(),
                                      "--family", family, "--ids", "1-3,127", "--control", fifo};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = std::make_unique<ChildProcess>(argv);
        if (sim->readLine(10s) != "canopen " + bus.endpoint() || sim->readLine(10s) != "ready")
            sim.reset();
    }
    bool ok() const { return sim != nullptr; }
};

// The host's side: one node at a bit rate, asking and waiting for a reply.
struct Host {
    Host(const std::string& endpoint, std::uint32_t rate)
    {
        std::string error;
        auto c = canbus::Connection::open(*canbus::Endpoint::parse(endpoint), rate, error);
        EXPECT_TRUE(c) << error;
        if (c)
            port = std::make_unique<canbus::ReceivePort>(std::move(c), 100);
    }
    // The reply's id and bytes; an empty vector when none came.
    std::pair<std::uint32_t, Bytes> ask(std::uint32_t id, const Bytes& data, std::chrono::milliseconds wait = 2000ms)
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
        auto [id, bytes] = host.ask(x.id, x.request, x.replyId ? 2000ms : 300ms);
        EXPECT_EQ(id, x.replyId);
        EXPECT_EQ(bytes, x.reply);
    }
}

} // namespace

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
    ASSERT_TRUE(kavreltest::sendControl(s.fifo, *s.sim, "bitrate 2 250000"));
    Host fast(s.bus.endpoint(), 250000);
    const Bytes read11{0x40, 0x01, 0x30, 1, 0, 0, 0, 0};
    EXPECT_EQ(host.ask(0x602, read11, 300ms).first, 0u);
    EXPECT_EQ(fast.ask(0x602, read11).first, 0x582u);
    EXPECT_EQ(fast.ask(0x601, read11, 300ms).first, 0u);
    EXPECT_EQ(host.ask(0x601, read11).first, 0x581u);
    ASSERT_TRUE(kavreltest::sendControl(s.fifo, *s.sim, "silence 1"));
    EXPECT_EQ(host.ask(0x601, read11, 300ms).first, 0u);
}
