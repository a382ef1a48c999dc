// kavrel-drive-sim speaks Modbus: libmodbus as an independent client over TCP
// and over RTU on a socat pair, raw frames where libmodbus has no call.
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <modbus.h>
#include "test_drive_sim_support.h"

using namespace simtest;
using kavreltest::RawPort;
using kavreltest::SocatPair;

namespace {

constexpr int reg(int index, int sub) { return (index * 128 + sub) * 2; }

// A libmodbus client context, closed and freed on destruction.
struct Client {
    modbus_t* ctx;
    explicit Client(modbus_t* c, int unit = 1, int timeoutMs = 1000) : ctx(c)
    {
        modbus_set_slave(ctx, unit);
        modbus_set_response_timeout(ctx, 0, static_cast<std::uint32_t>(timeoutMs) * 1000);
        connected = modbus_connect(ctx) == 0;
    }
    static Client tcp(int port, int unit = 1, int timeoutMs = 1000)
    {
        return Client(modbus_new_tcp("127.0.0.1", port), unit, timeoutMs);
    }
    static Client rtu(const std::string& path, int unit = 1, int timeoutMs = 1000)
    {
        return Client(modbus_new_rtu(path.c_str(), 19200, 'N', 8, 1), unit, timeoutMs);
    }
    Client(Client&& o) noexcept : ctx(o.ctx), connected(o.connected) { o.ctx = nullptr; }
    ~Client()
    {
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
    // The 32-bit parameter value, or the errno of the failure as a negative number.
    long long read(int index, int sub)
    {
        std::uint16_t w[2] = {0, 0};
        if (modbus_read_registers(ctx, reg(index, sub), 2, w) != 2)
            return -errno;
        return (static_cast<long long>(w[0]) << 16) | w[1];
    }
    int write(int index, int sub, std::uint32_t value)
    {
        std::uint16_t w[2] = {static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value & 0xFFFF)};
        return modbus_write_registers(ctx, reg(index, sub), 2, w) == 2 ? 0 : -errno;
    }
    void unit(int u) { modbus_set_slave(ctx, u); }
    bool connected = false;
};

std::vector<std::uint8_t> tcpBody(RawTcp& t, std::uint16_t tid, const std::vector<std::uint8_t>& body)
{
    if (!t.send(mbap(tid, body)))
        return {};
    auto f = t.receiveFrame(2s);
    return f.size() >= 6 ? std::vector<std::uint8_t>(f.begin() + 6, f.end()) : std::vector<std::uint8_t>{};
}

} // namespace

TEST(DriveSimModbus, StartupLinesNameEveryListenerThenReady)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--tcp", "127.0.0.1:0", "--serial", pair.a(), "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.lines.size(), 3u);
    EXPECT_EQ(sim.lines[0], "tcp 127.0.0.1:" + std::to_string(sim.port));
    EXPECT_GT(sim.port, 0);
    EXPECT_EQ(sim.lines[1], "serial " + pair.a());
    EXPECT_EQ(sim.lines[2], "ready");
}

TEST(DriveSimModbus, TcpParametersReadAndWriteHighWordFirst)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    auto c = Client::tcp(sim.port);
    ASSERT_TRUE(c.connected);
    struct Case {
        int index, sub;
        long long value;
    } table[] = {{1, 1, 0x00030007}, {1, 3, 0x20261207}, {1, 7, 3}, {5, 13, 4711}, {1, 23, 12345601}, {2, 2, 0xFFFFFFFF}};
    for (const auto& t : table)
        EXPECT_EQ(c.read(t.index, t.sub), t.value) << t.index << "." << t.sub;

    // Each drive has its own serial number and its own copy of the parameters.
    for (int unit = 1; unit <= 3; ++unit) {
        c.unit(unit);
        EXPECT_EQ(c.read(1, 23), 12345600 + unit);
        EXPECT_EQ(c.write(2, 0, 0xB3B2B1B0u + static_cast<std::uint32_t>(unit)), 0);
    }
    for (int unit = 1; unit <= 3; ++unit) {
        c.unit(unit);
        EXPECT_EQ(c.read(2, 0), 0xB3B2B1B0LL + unit);
    }
    // A single register of the pair: the low word alone.
    std::uint16_t w = 0;
    c.unit(1);
    ASSERT_EQ(modbus_read_registers(c.ctx, reg(1, 1) + 1, 1, &w), 1);
    EXPECT_EQ(w, 0x0007);
}

TEST(DriveSimModbus, TcpExceptionsAndTheDiagnosticRegister)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1,2"});
    ASSERT_TRUE(sim.ready);
    auto c = Client::tcp(sim.port);
    ASSERT_TRUE(c.connected);
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.ok());
    auto diagnostic = [&] {
        auto r = tcpBody(raw, 9, {1, 0x08, 0x00, 0x02, 0x00, 0x00});
        return r.size() == 6 ? (r[4] << 8) | r[5] : -1;
    };
    EXPECT_EQ(diagnostic(), 0);
    struct Case {
        const char* what;
        std::function<int()> access;
        int errnoValue;
        int diag;
    } table[] = {
        {"unknown register", [&] { return static_cast<int>(c.read(40, 0)); }, EMBXILADD, 2},
        {"read-only write", [&] { return c.write(1, 23, 5); }, EMBXILVAL, 3},
        {"high index without the 22.10 selector", [&] { return static_cast<int>(c.read(129, 0)); }, EMBXILADD, 2},
    };
    for (const auto& t : table) {
        EXPECT_EQ(t.access(), -t.errnoValue) << t.what;
        EXPECT_EQ(diagnostic(), t.diag) << t.what;
    }
    // More registers than a reply holds (libmodbus refuses to send that itself).
    EXPECT_EQ(tcpBody(raw, 3, {1, 0x03, 0x00, 0x00, 0x00, 126}), (std::vector<std::uint8_t>{1, 0x83, 0x03}));
    EXPECT_EQ(diagnostic(), 3);
    // Unknown function: exception 0x01 by raw frame.
    EXPECT_EQ(tcpBody(raw, 1, {1, 0x41, 0x00}), (std::vector<std::uint8_t>{1, 0xC1, 0x01}));
    EXPECT_EQ(diagnostic(), 1);
    // 0x08/000A clears the register.
    EXPECT_EQ(tcpBody(raw, 2, {1, 0x08, 0x00, 0x0A, 0x00, 0x00}), (std::vector<std::uint8_t>{1, 0x08, 0, 0x0A, 0, 0}));
    EXPECT_EQ(diagnostic(), 0);
    // An unknown unit gets the gateway exception.
    c.unit(7);
    EXPECT_EQ(c.read(1, 1), -EMBXGTAR);
}

TEST(DriveSimModbus, HighIndicesNeedTheSelectorFirst)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    auto c = Client::tcp(sim.port);
    ASSERT_TRUE(c.connected);
    EXPECT_EQ(c.read(200, 5), -EMBXILADD);
    ASSERT_EQ(c.write(22, 10, (5u << 16) + 200), 0);
    EXPECT_EQ(c.read(200, 5), 0x00C80005);
    EXPECT_EQ(c.read(129, 0), -EMBXILADD); // selector names 200.5, not 129.0
    ASSERT_EQ(c.write(22, 10, 129), 0);
    EXPECT_EQ(c.write(129, 0, 0xCAFEF00D), 0);
    EXPECT_EQ(c.read(129, 0), 0xCAFEF00DLL);
}

TEST(DriveSimModbus, TcpMbapIsCheckedAndTransactionIdsEchoed)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    {
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.ok());
        // Another protocol identifier: ignored; the next frame is answered.
        std::vector<std::uint8_t> foreign{0x12, 0x34, 0x00, 0x01, 0x00, 0x06, 1, 3, 0x01, 0x02, 0, 2};
        ASSERT_TRUE(raw.send(foreign));
        EXPECT_TRUE(raw.receiveFrame(300ms).empty());
        auto f = (raw.send(mbap(0xBEEF, {1, 3, 0x01, 0x02, 0, 2})), raw.receiveFrame(2s));
        EXPECT_EQ(f, (std::vector<std::uint8_t>{0xBE, 0xEF, 0, 0, 0, 7, 1, 3, 4, 0x00, 0x03, 0x00, 0x07}));
        // Two requests in one segment: two replies, in order.
        auto two = mbap(1, {1, 3, 0x0E, 0x1A, 0, 2});
        auto second = mbap(2, {1, 3, 0x01, 0x0E, 0, 2});
        two.insert(two.end(), second.begin(), second.end());
        ASSERT_TRUE(raw.send(two));
        auto r1 = raw.receiveFrame(2s);
        ASSERT_GE(r1.size(), 2u);
        EXPECT_EQ(r1[1], 1);
        auto r2 = raw.receiveFrame(2s);
        ASSERT_GE(r2.size(), 2u);
        EXPECT_EQ(r2[1], 2);
    }
    for (int badLength : {0, 1, 255, 0xFFFF}) {
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.ok());
        ASSERT_TRUE(raw.send({0, 1, 0, 0, static_cast<std::uint8_t>(badLength >> 8), static_cast<std::uint8_t>(badLength), 1}));
        EXPECT_TRUE(raw.closedByPeer(2s)) << "length " << badLength;
    }
    // The server is still there for everyone else.
    auto c = Client::tcp(sim.port);
    EXPECT_EQ(c.read(1, 1), 0x00030007);
}

TEST(DriveSimModbus, SeveralTcpClientsAtOnce)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-2"});
    ASSERT_TRUE(sim.ready);
    std::vector<Client> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(Client::tcp(sim.port, 1 + i % 2));
        ASSERT_TRUE(clients.back().connected);
    }
    for (int round = 0; round < 5; ++round)
        for (std::size_t i = 0; i < clients.size(); ++i) {
            auto value = static_cast<std::uint32_t>(round * 16 + static_cast<int>(i));
            ASSERT_EQ(clients[i].write(2, 1, value), 0);
            ASSERT_EQ(clients[i].read(2, 1), value);
        }
}

TEST(DriveSimModbus, IdentificationObjectsOverTcp)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.ok());
    auto r = tcpBody(raw, 1, {1, 0x2B, 0x0E, 0x01, 0x00});
    std::string text(r.begin(), r.end());
    std::vector<std::uint8_t> head{1, 0x2B, 0x0E, 0x01, 0x83, 0x00, 0x00, 0x03};
    ASSERT_GE(r.size(), head.size());
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.begin() + 8), head);
    EXPECT_EQ(text.substr(8), std::string("\x00\x07VORLANE\x01\x0AVDX 2040 A\x02\x04" "3.07", 27));
    // Regular category holds objects 3 and 4 too; individual access gives one.
    r = tcpBody(raw, 2, {1, 0x2B, 0x0E, 0x02, 0x00});
    ASSERT_GE(r.size(), 8u);
    EXPECT_EQ(r[7], 5);
    r = tcpBody(raw, 3, {1, 0x2B, 0x0E, 0x04, 0x01});
    EXPECT_EQ(bytes(r), std::string("\x01\x2B\x0E\x04\x83\x00\x00\x01\x01\x0AVDX 2040 A", 20));
    EXPECT_EQ(tcpBody(raw, 4, {1, 0x2B, 0x0E, 0x04, 0x09}), (std::vector<std::uint8_t>{1, 0xAB, 0x02}));
    EXPECT_EQ(tcpBody(raw, 5, {1, 0x2B, 0x0D, 0x01, 0x00}), (std::vector<std::uint8_t>{1, 0xAB, 0x01}));
}

TEST(DriveSimModbus, UploadBlocksOverTcp)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.ok());
    using V = std::vector<std::uint8_t>;
    auto block = [&](int packet) {
        return tcpBody(raw, 1, {1, 0x5A, 0, 0, 0x34, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(packet)});
    };
    // No upload open yet: refused.
    EXPECT_EQ(block(1), (V{1, 0x5A, 0, 0, 0x01}));
    EXPECT_EQ(tcpBody(raw, 1, {1, 0x5A, 0, 0, 0x33, 0x56, 0x52, 0x32, 0x2E, 0, 0, 0, 0x20}),
              (V{1, 0x5A, 0, 0, 0xFE, 0x01, 0x00}));
    EXPECT_EQ(block(1), (V{1, 0x5A, 0, 0, 0xFE, 0, 0, 0, 16, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                           0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
    auto second = block(2);
    ASSERT_EQ(second.size(), 9u + 32u);
    EXPECT_EQ(second[6], 0); // not the last block
    EXPECT_EQ(block(3), (V{1, 0x5A, 0, 0, 0xFE, 0, 1, 0, 2, 0xCA, 0xFE}));
    EXPECT_EQ(block(4), (V{1, 0x5A, 0, 0, 0x01}));
    // A wrong session id is refused too.
    EXPECT_EQ(tcpBody(raw, 1, {1, 0x5A, 0, 0, 0x34, 0x02, 0x00, 0x00, 0x01}), (V{1, 0x5A, 0, 0, 0x01}));
    EXPECT_EQ(tcpBody(raw, 1, {1, 0x5A, 0, 0, 0x35, 0x01, 0x00, 0x00, 0x00}), (V{1, 0x5A, 0, 0, 0xFE}));
    EXPECT_EQ(block(1), (V{1, 0x5A, 0, 0, 0x01}));
}

TEST(DriveSimModbus, RtuThroughASocatPair)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--serial", pair.a(), "--ids", "1-2"});
    ASSERT_TRUE(sim.ready);
    {
        auto c = Client::rtu(pair.b(), 2);
        ASSERT_TRUE(c.connected);
        EXPECT_EQ(c.read(1, 23), 12345602);
        EXPECT_EQ(c.write(2, 0, 0x01020304), 0);
        EXPECT_EQ(c.read(2, 0), 0x01020304);
        EXPECT_EQ(c.read(40, 0), -EMBXILADD);
        c.unit(1);
        EXPECT_EQ(c.read(2, 0), 0);
        // A unit that is not on the line: silence, and the line still works afterwards.
        c.unit(9);
        EXPECT_EQ(c.read(1, 1), -ETIMEDOUT);
        c.unit(1);
        EXPECT_EQ(c.read(1, 1), 0x00030007);
    }
    RawPort port(pair.b());
    ASSERT_TRUE(port.ok());
    // A bad CRC is met with silence; the next good frame is answered.
    auto frame = withCrc({1, 0x03, 0x01, 0x02, 0x00, 0x02});
    auto spoiled = frame;
    spoiled.back() ^= 0xFF;
    ASSERT_TRUE(port.write(bytes(spoiled)));
    EXPECT_EQ(port.readFor(300ms), "");
    ASSERT_TRUE(port.write(bytes(frame)));
    EXPECT_EQ(bytes(port.readFor(500ms)), withCrc({1, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07}));
    // Replies libmodbus cannot size: diagnostics, identification, upload.
    struct Case {
        std::vector<std::uint8_t> request, reply;
    } table[] = {
        {{2, 0x08, 0x00, 0x02, 0x00, 0x00}, {2, 0x08, 0x00, 0x02, 0x00, 0x02}},
        {{1, 0x2B, 0x0E, 0x04, 0x02}, {1, 0x2B, 0x0E, 0x04, 0x83, 0, 0, 1, 2, 4, '3', '.', '0', '7'}},
        {{1, 0x5A, 0, 0, 0x33, 0x56, 0x52, 0x32, 0x2E, 0, 0, 0, 0x20}, {1, 0x5A, 0, 0, 0xFE, 0x01, 0x00}},
        {{1, 0x5A, 0, 0, 0x34, 0x01, 0x00, 0x00, 0x03}, {1, 0x5A, 0, 0, 0xFE, 0, 1, 0, 2, 0xCA, 0xFE}},
        {{1, 0x5A, 0, 0, 0x35, 0x01, 0x00, 0x00, 0x00}, {1, 0x5A, 0, 0, 0xFE}},
        {{1, 0x41, 0x00, 0x00}, {1, 0xC1, 0x01}}, // unknown function, sized by the pause after it
    };
    for (const auto& t : table) {
        ASSERT_TRUE(port.write(bytes(withCrc(t.request))));
        EXPECT_EQ(bytes(port.readFor(500ms)), withCrc(t.reply)) << int(t.request[1]);
    }
}
