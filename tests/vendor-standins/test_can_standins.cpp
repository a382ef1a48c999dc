// The IXXAT and PEAK stand-ins, called in the order the adapters call them,
// against kavrel-canbus and a peer node made with the bus client.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "CanApi2.h"
#include "CanBusClient.h"
#include "support/CanBusFixture.h"
#include "vcinpl.h"

using namespace std::chrono_literals;
using kavreltest::CanBusProcess;
using kavreltest::ScopedEnv;

namespace {

// A node on the bus at its own bit rate.
struct Peer {
    Peer(const std::string& endpoint, std::uint32_t rate)
    {
        std::string error;
        auto c = canbus::Connection::open(*canbus::Endpoint::parse(endpoint), rate, error);
        EXPECT_TRUE(c) << error;
        if (c)
            port = std::make_unique<canbus::ReceivePort>(std::move(c), 1000);
    }
    void send(std::uint32_t id, std::vector<std::uint8_t> bytes)
    {
        canbus::Frame f{};
        f.id = id;
        f.extended = id > 0x7FF;
        f.len = static_cast<std::uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), f.data);
        ASSERT_EQ(port->send(f, 1000ms), canbus::SendResult::ok);
    }
    // The next frame within timeout, or none.
    std::optional<canbus::Frame> next(std::chrono::milliseconds timeout = 3000ms)
    {
        canbus::ReceivePort::Received r;
        return port->wait(timeout) && port->take(r) ? std::optional<canbus::Frame>(r.frame) : std::nullopt;
    }
    std::unique_ptr<canbus::ReceivePort> port;
};

const std::uint8_t request[8] = {0x40, 0x01, 0x30, 0x01, 0, 0, 0, 0};

// "ID:BYTES" in hex, for comparing frames of every kind.
template <class Frame>
std::string text(const Frame& f, unsigned len)
{
    std::string t = std::to_string(f.id) + ":";
    for (unsigned i = 0; i < len; ++i)
        t += "0123456789ABCDEF"[f.data[i] >> 4], t += "0123456789ABCDEF"[f.data[i] & 15];
    return t;
}

// The IXXAT open sequence, as the adapter runs it; the first failing result.
struct Ixxat {
    VCINPL_HANDLE device = 0, control = 0, channel = 0;
    VCINPL_RESULT open(std::size_t position, std::uint16_t code)
    {
        VCINPL_RESULT rc;
        (void)((rc = vciDeviceOpen(VCINPL_VCIID_BASE + position, &device)) != VCINPL_OK ||
            (rc = canControlOpen(device, 0, &control)) != VCINPL_OK ||
            (rc = canControlInitialize(control, VCINPL_OPMODE_STANDARD, code >> 8, code & 0xFF)) != VCINPL_OK ||
            (rc = canControlStart(control, 1)) != VCINPL_OK || (rc = canChannelOpen(device, 0, 0, &channel)) != VCINPL_OK ||
            (rc = canChannelInitialize(channel, 100, 1, 100, 1)) != VCINPL_OK || (rc = canChannelActivate(channel, 1)));
        return rc;
    }
    VCINPL_RESULT send(std::uint32_t id, const std::uint8_t* data, std::uint8_t len)
    {
        VCINPL_CANMSG m{};
        m.id = id;
        m.dlc = len;
        std::copy(data, data + std::min<std::uint8_t>(len, 8), m.data);
        return canChannelSendMessage(channel, 100, &m);
    }
    ~Ixxat()
    {
        if (device)
            vciDeviceClose(device);
    }
};

// The PEAK open sequence on hardware handle hw.
struct Peak {
    std::uint8_t net = 0, client = 0, connected = 0;
    int event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    CANAPI2_RESULT open(std::uint8_t hw, std::uint16_t code)
    {
        char name[20];
        for (std::uint8_t n = 1; n <= 32 && net == 0; ++n)
            if (CAN_GetNetParam(n, CANAPI2_PARAM_NAME, name, sizeof name) != CANAPI2_OK || name[0] == '\0')
                net = n;
        CANAPI2_RESULT rc = -1;
        if (net == 0 || (rc = CAN_RegisterNet(net, "Kavrel_Network", hw, code)) != CANAPI2_OK)
            return rc;
        (void)((rc = CAN_RegisterClient("Kavrel_Client", 0, &client)) != CANAPI2_OK ||
            (rc = CAN_ConnectToNet(client, "Kavrel_Network", &connected)) != CANAPI2_OK ||
            (rc = CAN_RegisterMsg(client, connected, 0, 0x7FF)) != CANAPI2_OK ||
            (rc = CAN_SetClientParam(client, CANAPI2_PARAM_RX_EVENT, event)));
        return rc;
    }
    bool eventWithin(std::chrono::milliseconds timeout)
    {
        pollfd p{event, POLLIN, 0};
        std::uint64_t count = 0;
        return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::read(event, &count, sizeof count) == sizeof count;
    }
    ~Peak()
    {
        if (client) {
            CAN_DisconnectFromNet(client, connected);
            CAN_RemoveClient(client);
        }
        if (net)
            CAN_RemoveNet(net);
        ::close(event);
    }
};

} // namespace

TEST(CanStandins, ListEndpointsWithoutConnecting)
{
    // Nothing listens on port 9: listing must not care.
    ScopedEnv env("KAVREL_CAN", "127.0.0.1:9/can0, nonsense ,localhost:9/can1@250k");
    VCINPL_HANDLE list = 0;
    ASSERT_EQ(vciEnumDeviceOpen(&list), VCINPL_OK);
    std::vector<std::string> seen;
    VCINPL_DEVICEINFO info;
    while (vciEnumDeviceNext(list, &info) == VCINPL_OK) {
        EXPECT_EQ(info.vciId, VCINPL_VCIID_BASE + seen.size());
        seen.push_back(info.description);
    }
    EXPECT_EQ(vciEnumDeviceClose(list), VCINPL_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1:9/can0", "localhost:9/can1@250k"}));

    char name[64];
    ASSERT_EQ(CAN_GetHwParam(2, CANAPI2_PARAM_NAME, name, sizeof name), CANAPI2_OK);
    EXPECT_EQ(seen[1], name);
    EXPECT_EQ(CAN_GetHwParam(3, CANAPI2_PARAM_NAME, name, sizeof name), CANAPI2_E_ILLEGAL_HW);
    EXPECT_EQ(CAN_GetHwParam(1, CANAPI2_PARAM_NAME, name, 4), CANAPI2_E_BUFFER_TOO_SMALL);
    // A fixed-rate endpoint refuses any other rate; a dead server refuses to open.
    Peak fixed;
    EXPECT_EQ(fixed.open(2, 0x031C), CANAPI2_E_BAD_BITRATE);
    Ixxat dead;
    EXPECT_EQ(dead.open(0, 0x031C), VCINPL_E_CONNECT);
}

TEST(CanStandins, BitRateFollowsTheSja1000RegistersAndPeakHasThirtyTwoNets)
{
    ScopedEnv env("KAVREL_CAN", "127.0.0.1:9/can0");
    const std::pair<std::uint16_t, std::uint32_t> table[] = {
        {0x7F7F, 5000},   {0x672F, 10000},  {0x532F, 20000},  {0x472F, 50000},   {0x432F, 100000},
        {0x031C, 125000}, {0x011C, 250000}, {0x001C, 500000}, {0x0014, 1000000}, {0x0000, 0}, {0x0010, 0}};
    VCINPL_HANDLE device = 0, control = 0;
    ASSERT_EQ(vciDeviceOpen(VCINPL_VCIID_BASE, &device), VCINPL_OK);
    ASSERT_EQ(canControlOpen(device, 0, &control), VCINPL_OK);
    for (const auto& [code, rate] : table) {
        SCOPED_TRACE(code);
        const VCINPL_RESULT rc = canControlInitialize(control, VCINPL_OPMODE_STANDARD, code >> 8, code & 0xFF);
        VCINPL_LINESTATUS status{};
        ASSERT_EQ(canControlGetStatus(control, &status), VCINPL_OK);
        EXPECT_EQ(rc, rate ? VCINPL_OK : VCINPL_E_BAD_BITRATE);
        EXPECT_TRUE(!rate || status.bitrate == rate) << status.bitrate;
        EXPECT_EQ(CAN_RegisterNet(1, "n", 1, code), rate ? CANAPI2_OK : CANAPI2_E_BAD_BITRATE);
        CAN_RemoveNet(1);
    }
    EXPECT_EQ(vciDeviceClose(device), VCINPL_OK);
    for (std::uint8_t n = 1; n <= 32; ++n)
        ASSERT_EQ(CAN_RegisterNet(n, "Kavrel_Network", 1, 0x031C), CANAPI2_OK);
    EXPECT_EQ(CAN_RegisterNet(1, "again", 1, 0x031C), CANAPI2_E_NET_IN_USE);
    EXPECT_EQ(CAN_RegisterNet(33, "more", 1, 0x031C), CANAPI2_E_ILLEGAL_NET);
    Peak peak; // the adapter's search finds every name taken
    EXPECT_EQ(peak.open(1, 0x031C), -1);
    for (std::uint8_t n = 1; n <= 32; ++n)
        EXPECT_EQ(CAN_RemoveNet(n), CANAPI2_OK);
}

TEST(CanStandins, IxxatAndPeakExchangeWithPeersAtTheirRates)
{
    CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    ScopedEnv env("KAVREL_CAN", bus.endpoint());
    Peer drive(bus.endpoint(), 125000), fast(bus.endpoint(), 500000);
    Ixxat ixxat;
    ASSERT_EQ(ixxat.open(0, 0x031C), VCINPL_OK);
    Peak peak;
    ASSERT_EQ(peak.open(1, 0x001C), CANAPI2_OK);
    // Nothing waits yet: the adapter's first read times out.
    EXPECT_EQ(canChannelReadMessage(ixxat.channel, 100, nullptr), VCINPL_E_TIMEOUT);
    ASSERT_EQ(ixxat.send(0x605, request, 8), VCINPL_OK);
    auto got = drive.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(text(*got, got->len), "1541:4001300100000000");
    EXPECT_FALSE(fast.next(200ms)) << "another bit rate hears nothing";

    drive.send(0x585, {0x43, 1, 0x30, 1, 0x78, 0x56, 0x34, 0x12});
    drive.send(0x586, {1, 2, 3});
    drive.send(0x587, {4});
    ASSERT_EQ(canChannelWaitRxEvent(ixxat.channel, 3000), VCINPL_OK);
    VCINPL_CHANSTATUS s{};
    for (int i = 0; i < 100 && canChannelGetStatus(ixxat.channel, &s) == VCINPL_OK && s.rxFill < 3; ++i)
        std::this_thread::sleep_for(10ms); // until all three are queued
    // A waiting frame: the wait returns at once, and the peek takes it.
    EXPECT_EQ(canChannelWaitRxEvent(ixxat.channel, 0), VCINPL_OK);
    VCINPL_CANMSG m{};
    ASSERT_EQ(canChannelPeekMessage(ixxat.channel, &m), VCINPL_OK);
    EXPECT_EQ(text(m, m.dlc), "1413:4301300178563412");
    // Reading with no buffer drops one frame.
    ASSERT_EQ(canChannelReadMessage(ixxat.channel, 100, nullptr), VCINPL_OK);
    ASSERT_EQ(canChannelPeekMessage(ixxat.channel, &m), VCINPL_OK);
    EXPECT_EQ(m.id, 0x587u);
    EXPECT_EQ(canChannelPeekMessage(ixxat.channel, &m), VCINPL_E_RX_EMPTY);
    // Bad requests are refused before anything is sent.
    EXPECT_EQ(ixxat.send(0x800, request, 8), VCINPL_E_INVALID_ARG);
    EXPECT_EQ(ixxat.send(1, request, 9), VCINPL_E_INVALID_ARG);
    // The receive FIFO keeps 100 frames and counts the rest as lost.
    for (int i = 0; i < 150; ++i)
        drive.send(0x100 + static_cast<std::uint32_t>(i), {static_cast<std::uint8_t>(i)});
    for (int i = 0; i < 300 && canChannelGetStatus(ixxat.channel, &s) == VCINPL_OK && s.rxLost < 50; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(std::to_string(s.rxFill) + " kept, " + std::to_string(s.rxLost) + " lost", "100 kept, 50 lost");
    ASSERT_EQ(canChannelPeekMessage(ixxat.channel, &m), VCINPL_OK);
    EXPECT_EQ(m.id, 0x100u);

    // PEAK: a write reaches the peer, a frame from it signals the event fd.
    CANAPI2_MSG pm{0x605, 0, 3, {0x2B}, {}};
    std::uint64_t now = 0;
    ASSERT_EQ(CAN_GetSystemTime(&now), CANAPI2_OK);
    ASSERT_EQ(CAN_Write(peak.client, peak.connected, &pm, now), CANAPI2_OK);
    got = fast.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(text(*got, got->len), "1541:2B0000");
    EXPECT_EQ(CAN_Read(peak.client, &pm, nullptr, nullptr), CANAPI2_E_RX_EMPTY);
    fast.send(0x12345678, {9}); // outside the registered range
    fast.send(0x585, {0x60, 1, 0x30, 1, 0, 0, 0, 0});
    ASSERT_TRUE(peak.eventWithin(3000ms));
    std::uint8_t net = 0;
    std::uint64_t time = 0;
    ASSERT_EQ(CAN_Read(peak.client, &pm, &net, &time), CANAPI2_OK);
    EXPECT_EQ(text(pm, pm.len), "1413:6001300100000000");
    EXPECT_EQ(net, peak.connected);
    EXPECT_EQ(CAN_Read(peak.client, &pm, nullptr, nullptr), CANAPI2_E_RX_EMPTY);
    EXPECT_FALSE(peak.eventWithin(100ms));
    EXPECT_EQ(CAN_RemoveNet(peak.net), CANAPI2_E_NET_IN_USE) << "the net cannot go while the client is on it";

    // The server goes: waiting, reading and sending report the lost connection.
    bus.stop();
    while (canChannelPeekMessage(ixxat.channel, &m) == VCINPL_OK) {
    }
    EXPECT_EQ(canChannelWaitRxEvent(ixxat.channel, 3000), VCINPL_E_IO);
    EXPECT_EQ(ixxat.send(0x605, request, 8), VCINPL_E_IO);
    EXPECT_TRUE(peak.eventWithin(3000ms)); // the loss wakes the waiter too
    EXPECT_EQ(CAN_Read(peak.client, &pm, nullptr, nullptr), CANAPI2_E_IO);
    EXPECT_EQ(CAN_Write(peak.client, peak.connected, &pm, 0), CANAPI2_E_IO);
}
