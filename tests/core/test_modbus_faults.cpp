// The Modbus protocols against kavrel-drive-sim with faults switched on:
// each failure gives its code and text within the time-out, and the next
// operation works again; late replies within the time-out still count. Over
// TCP through the Ethernet adapter, over RTU through the RS485 library adapter
// on a socat pair.
#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include "tools/test_drive_sim_support.h"

#include "hardware/HardwareInterfaceEthernet.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

using namespace Kavrel;
using namespace std::chrono;
using simtest::Sim;

namespace {

constexpr std::uint32_t timeoutCode = HardwareInterfaceEthernet::errorTimeout;
constexpr std::uint32_t receiveCode = HardwareInterfaceEthernet::errorReceive;
constexpr std::uint32_t connectCode = HardwareInterfaceEthernet::errorConnect;
constexpr milliseconds replyTimeout{600};
// Beyond the time-out, what a loaded machine may add before the call returns.
constexpr milliseconds slack{1500};

struct Outcome {
    std::int32_t result;
    std::uint32_t value;
    std::uint32_t code;
    std::string text;
    milliseconds took;
};

template <class Protocol>
Outcome readOf(Protocol& p, std::uint32_t unit, std::uint16_t index, std::uint16_t sub)
{
    Outcome o{};
    auto start = steady_clock::now();
    o.result = p.readParameter(unit, 4, index, sub, o.value);
    o.took = duration_cast<milliseconds>(steady_clock::now() - start);
    o.code = p.getLastErrorCode();
    o.text = p.getLastErrorString();
    return o;
}

template <class Protocol>
Outcome writeOf(Protocol& p, std::uint32_t unit, std::uint16_t index, std::uint16_t sub, std::uint32_t value)
{
    Outcome o{};
    auto start = steady_clock::now();
    o.result = p.writeParameter(unit, 4, index, sub, value);
    o.took = duration_cast<milliseconds>(steady_clock::now() - start);
    o.code = p.getLastErrorCode();
    o.text = p.getLastErrorString();
    return o;
}

// The library against a simulator on TCP with the given switches.
struct TcpBench {
    std::unique_ptr<Sim> sim;
    std::shared_ptr<HardwareInterfaceEthernet> hw = std::make_shared<HardwareInterfaceEthernet>();
    std::unique_ptr<FieldbusProtocolModbusTcp> tcp;

    explicit TcpBench(std::vector<std::string> switches, int port = 0)
    {
        std::vector<std::string> args{"--tcp", "127.0.0.1:" + std::to_string(port), "--ids", "1-2"};
        args.insert(args.end(), switches.begin(), switches.end());
        sim = std::make_unique<Sim>(args);
        hw->setReplyTimeout(replyTimeout);
        hw->setConnectTimeout(milliseconds(2000));
        target("127.0.0.1", std::to_string(sim->port));
        tcp = std::make_unique<FieldbusProtocolModbusTcp>(hw);
    }
    ~TcpBench()
    {
        if (tcp)
            tcp->closeInterface();
    }
    void target(const std::string& address, const std::string& port)
    {
        GenericParameters p;
        p.setText(0, address);
        p.setText(1, port);
        hw->setParameters(p);
    }
    bool open() { return sim->ready && tcp->openInterface(1) == 1; }
};

} // namespace

TEST(ModbusFaults, TcpHappyPathAgainstTheSimulator)
{
    TcpBench b({});
    ASSERT_TRUE(b.open());
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(b.tcp->readIdentification(2, vendor, product, version, motor, serial), 1) << b.tcp->getLastErrorString();
    EXPECT_EQ(vendor, "VORLANE");
    EXPECT_EQ(product, "VDX 2040 A");
    EXPECT_EQ(version, "3.07");
    EXPECT_EQ(motor, "00004711");
    EXPECT_EQ(serial, "12345602");
    // High index: the library writes 22.10 first, the simulator insists on it.
    EXPECT_EQ(writeOf(*b.tcp, 1, 200, 5, 0xA5A5A5A5).result, 1);
    EXPECT_EQ(readOf(*b.tcp, 1, 200, 5).value, 0xA5A5A5A5u);
    EXPECT_EQ(readOf(*b.tcp, 1, 129, 0).value, 0x12345678u);
    // Upload: open, blocks until the end flag, close.
    ASSERT_EQ(b.tcp->initUpload(1), 1);
    std::string all;
    std::uint32_t finished = 0;
    for (std::uint32_t packet = 1; packet <= 10 && !finished; ++packet) {
        std::string data;
        ASSERT_EQ(b.tcp->getUpload(1, 256, packet, data, finished), 0) << packet;
        all += data;
    }
    EXPECT_EQ(finished, 1u);
    EXPECT_EQ(all.size(), 2u * (16 + 32 + 2));
    EXPECT_EQ(all.substr(0, 8), "00112233");
    EXPECT_EQ(all.substr(all.size() - 4), "CAFE");
}

TEST(ModbusFaults, TcpRefusalsCarryTheDiagnosticCode)
{
    TcpBench b({"--exception-on", "2.1"});
    ASSERT_TRUE(b.open());
    struct Case {
        const char* what;
        Outcome outcome;
        std::uint32_t code;
        const char* text;
    } table[] = {
        {"injected fault on read", readOf(*b.tcp, 1, 2, 1), 4, "Server device failure."},
        {"injected fault on write", writeOf(*b.tcp, 1, 2, 1, 7), 4, "Server device failure."},
        {"unknown parameter", readOf(*b.tcp, 1, 40, 0), 2, "Illegal data address: the parameter does not exist."},
        {"read-only parameter", writeOf(*b.tcp, 2, 1, 23, 1), 3, "Illegal data value: the value is not allowed."},
    };
    for (const auto& t : table) {
        EXPECT_EQ(t.outcome.result, 0) << t.what;
        EXPECT_EQ(t.outcome.code, t.code) << t.what;
        EXPECT_EQ(t.outcome.text, t.text) << t.what;
        // Answered at once: no waiting for a time-out.
        EXPECT_LT(t.outcome.took, replyTimeout) << t.what;
    }
    auto next = readOf(*b.tcp, 1, 1, 1);
    EXPECT_EQ(next.result, 1);
    EXPECT_EQ(next.value, 0x00030007u);
    EXPECT_EQ(next.code, 0u);
}

TEST(ModbusFaults, TcpDroppedRepliesTimeOutAndTheNextReadWorks)
{
    TcpBench b({"--drop", "2"});
    ASSERT_TRUE(b.open());
    auto first = readOf(*b.tcp, 1, 1, 1);
    ASSERT_EQ(first.result, 1);
    auto lost = readOf(*b.tcp, 1, 1, 23);
    EXPECT_EQ(lost.result, 0);
    EXPECT_EQ(lost.code, timeoutCode);
    EXPECT_EQ(lost.text, "No answer within the receive time-out.");
    EXPECT_GE(lost.took, replyTimeout - milliseconds(20));
    EXPECT_LT(lost.took, replyTimeout + slack);
    auto next = readOf(*b.tcp, 1, 1, 23);
    EXPECT_EQ(next.result, 1);
    EXPECT_EQ(next.value, 12345601u);
    // A dropped write is a failed write, and nothing was written.
    EXPECT_EQ(writeOf(*b.tcp, 1, 2, 0, 0x11).result, 0);   // request 4
    EXPECT_EQ(readOf(*b.tcp, 1, 2, 0).value, 0u);          // request 5
}

TEST(ModbusFaults, TcpLateReplyIsNeverTakenForTheNextAnswer)
{
    TcpBench b({"--delay-ms", "700"});
    ASSERT_TRUE(b.open());
    auto late = readOf(*b.tcp, 1, 1, 1);
    EXPECT_EQ(late.result, 0);
    EXPECT_EQ(late.code, timeoutCode);
    EXPECT_LT(late.took, replyTimeout + slack);
    // Let the late answer (sign of life) arrive, then ask for something else.
    std::this_thread::sleep_for(milliseconds(700));
    b.hw->setReplyTimeout(milliseconds(3000));
    auto next = readOf(*b.tcp, 1, 1, 23);
    EXPECT_EQ(next.result, 1) << next.text;
    EXPECT_EQ(next.value, 12345601u);
}

TEST(ModbusFaults, TcpShortRepliesAreFailuresWithACode)
{
    TcpBench b({"--short-reply", "2"});
    ASSERT_TRUE(b.open());
    ASSERT_EQ(readOf(*b.tcp, 1, 1, 1).result, 1);
    auto cut = readOf(*b.tcp, 1, 1, 23);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.code, FieldbusProtocolModbusBase::errorReplyTooShort);
    EXPECT_FALSE(cut.text.empty());
    EXPECT_LT(cut.took, replyTimeout);
    auto next = readOf(*b.tcp, 1, 1, 23);
    EXPECT_EQ(next.result, 1);
    EXPECT_EQ(next.value, 12345601u);
    // An identification cut short fails as a whole too (request 4).
    std::string v, p, ver, m, s;
    EXPECT_NE(b.tcp->readIdentification(1, v, p, ver, m, s), 1);
    EXPECT_NE(b.tcp->getLastErrorCode(), 0u);
}

TEST(ModbusFaults, TcpAnswerOfAnotherUnitIsRefused)
{
    TcpBench b({"--wrong-address"});
    ASSERT_TRUE(b.open());
    for (std::uint16_t index : {2, 1}) {
        auto r = readOf(*b.tcp, 1, index, 1);
        EXPECT_EQ(r.result, 0) << index;
        EXPECT_EQ(r.code, FieldbusProtocolModbusBase::errorWrongReply) << index;
        EXPECT_LT(r.took, replyTimeout + slack) << index;
    }
}

TEST(ModbusFaults, TcpOneSilentDriveDoesNotDisturbTheOther)
{
    kavreltest::TempDir dir;
    std::string fifo = dir.str() + "control";
    TcpBench b({"--control", fifo});
    ASSERT_TRUE(b.open());
    ASSERT_TRUE(kavreltest::sendControl(fifo, *b.sim->process, "silence 2"));
    auto silent = readOf(*b.tcp, 2, 1, 1);
    EXPECT_EQ(silent.code, timeoutCode);
    EXPECT_EQ(readOf(*b.tcp, 1, 1, 23).value, 12345601u);
    ASSERT_TRUE(kavreltest::sendControl(fifo, *b.sim->process, "answer 2"));
    EXPECT_EQ(readOf(*b.tcp, 2, 1, 23).value, 12345602u);
}

TEST(ModbusFaults, TcpConnectionClosedMidExchange)
{
    auto b = std::make_unique<TcpBench>(std::vector<std::string>{"--delay-ms", "5000"});
    ASSERT_TRUE(b->open());
    b->hw->setReplyTimeout(milliseconds(4000));
    pid_t simPid = b->sim->process->pid();
    std::thread killer([simPid] {
        std::this_thread::sleep_for(milliseconds(300));
        ::kill(simPid, SIGTERM);
    });
    auto cut = readOf(*b->tcp, 1, 1, 1);
    killer.join();
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.code, receiveCode);
    EXPECT_EQ(cut.text, "Receiving failed or the connection was closed.");
    EXPECT_LT(cut.took, milliseconds(3000)); // well before the 4 s time-out
    // Further requests on the dead connection fail at once with the same code.
    auto again = readOf(*b->tcp, 1, 1, 1);
    EXPECT_EQ(again.code, receiveCode);
    // Writes on it fail with a code, never with a signal.
    for (int i = 0; i < 3; ++i) {
        auto w = writeOf(*b->tcp, 1, 2, 0, 7);
        EXPECT_EQ(w.result, 0);
        EXPECT_TRUE(w.code == receiveCode || w.code == HardwareInterfaceEthernet::errorSend) << w.code;
    }
    // A new server on the same port, reconnected: it works again.
    int port = b->sim->port;
    b->tcp->closeInterface();
    b->sim = std::make_unique<Sim>(std::vector<std::string>{"--tcp", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(b->sim->ready);
    b->hw->setReplyTimeout(replyTimeout);
    ASSERT_EQ(b->tcp->openInterface(1), 1);
    EXPECT_EQ(readOf(*b->tcp, 1, 1, 1).value, 0x00030007u);
}

TEST(ModbusFaults, TcpRefusedConnectionAndMalformedAddresses)
{
    TcpBench b({});
    ASSERT_TRUE(b.sim->ready);
    struct Case {
        std::string address, port;
    } table[] = {
        {"127.0.0.1", std::to_string(kavreltest::freeTcpPort())}, // nobody listens
        {"127.0.0.300", std::to_string(b.sim->port)},
        {"localhost", std::to_string(b.sim->port)},
        {"1.2.3", std::to_string(b.sim->port)},
        {"", std::to_string(b.sim->port)},
        {"127.0.0.1 ", std::to_string(b.sim->port)},
        {"127.0.0.1", "70000"},
        {"127.0.0.1", "5x"},
    };
    for (const auto& t : table) {
        b.target(t.address, t.port);
        auto start = steady_clock::now();
        EXPECT_NE(b.tcp->openInterface(1), 1) << "'" << t.address << "':" << t.port;
        EXPECT_LT(steady_clock::now() - start, milliseconds(2000) + slack);
        EXPECT_EQ(b.hw->getLastErrorCode(), connectCode) << "'" << t.address << "':" << t.port;
        EXPECT_FALSE(b.hw->getLastErrorText().empty());
        // Not open: a read fails cleanly instead of using a stale socket.
        auto r = readOf(*b.tcp, 1, 1, 1);
        EXPECT_EQ(r.result, 0);
        EXPECT_NE(r.code, 0u);
        b.tcp->closeInterface();
    }
    b.target("127.0.0.1", std::to_string(b.sim->port));
    ASSERT_EQ(b.tcp->openInterface(1), 1);
    EXPECT_EQ(readOf(*b.tcp, 1, 1, 1).value, 0x00030007u);
}

namespace {

// The library on Modbus RTU: RS485 library adapter, stand-in library, socat pair.
struct RtuBench {
    kavreltest::SocatPair pair;
    std::unique_ptr<Sim> sim;
    std::shared_ptr<HardwareInterfaceModbusRs485Dll> hw;
    std::unique_ptr<FieldbusProtocolModbusRtu> rtu;
    bool ready = false;

    explicit RtuBench(std::vector<std::string> switches)
    {
        if (!pair.ok())
            return;
        std::vector<std::string> args{"--serial", pair.b(), "--ids", "1-2"};
        args.insert(args.end(), switches.begin(), switches.end());
        sim = std::make_unique<Sim>(args);
        hw = std::make_shared<HardwareInterfaceModbusRs485Dll>();
        hw->setPort(pair.a());
        hw->setBaudrate(19200);
        GenericParameters p;
        p.setText(0, "N");
        p.setText(1, "8");
        p.setText(2, "1");
        hw->setParameters(p);
        rtu = std::make_unique<FieldbusProtocolModbusRtu>(hw);
        ready = sim->ready && rtu->openInterface(1) == 1;
    }
    ~RtuBench()
    {
        if (rtu)
            rtu->closeInterface();
    }
};

} // namespace

TEST(ModbusFaults, RtuCorruptCrcAndDroppedReplies)
{
    RtuBench b({"--corrupt-crc", "2", "--drop", "5"});
    ASSERT_TRUE(b.ready);
    const auto wait = milliseconds(HardwareInterfaceModbusRs485Dll::replyTimeoutMs);
    // Requests: 1 good, 2 bad CRC, 3 good, 4 bad CRC, 5 dropped, 6 bad CRC, 7 good.
    auto r1 = readOf(*b.rtu, 1, 1, 23);
    EXPECT_EQ(r1.result, 1);
    EXPECT_EQ(r1.value, 12345601u);
    auto r2 = readOf(*b.rtu, 1, 1, 23);
    EXPECT_EQ(r2.result, 0);
    EXPECT_EQ(r2.code, HardwareInterfaceModbusRs485Dll::errorCrc);
    EXPECT_EQ(r2.text, "The Modbus RS485 library found a CRC error.");
    EXPECT_LT(r2.took, wait + slack);
    auto r3 = readOf(*b.rtu, 2, 1, 23);
    EXPECT_EQ(r3.result, 1);
    EXPECT_EQ(r3.value, 12345602u);
    EXPECT_EQ(readOf(*b.rtu, 1, 1, 1).code, HardwareInterfaceModbusRs485Dll::errorCrc);
    auto r5 = readOf(*b.rtu, 1, 1, 1);
    EXPECT_EQ(r5.result, 0);
    EXPECT_EQ(r5.code, HardwareInterfaceModbusRs485Dll::errorNoAnswer);
    EXPECT_EQ(r5.text, "The Modbus RS485 library got no answer.");
    EXPECT_LT(r5.took, wait + slack);
    EXPECT_EQ(readOf(*b.rtu, 1, 1, 1).code, HardwareInterfaceModbusRs485Dll::errorCrc);
    auto r7 = readOf(*b.rtu, 1, 1, 1);
    EXPECT_EQ(r7.result, 1);
    EXPECT_EQ(r7.value, 0x00030007u);
}

TEST(ModbusFaults, RtuExceptionReadsTheDiagnosticRegister)
{
    RtuBench b({"--exception-on", "2.1"});
    ASSERT_TRUE(b.ready);
    auto r = readOf(*b.rtu, 2, 2, 1);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.code, 4u);
    EXPECT_EQ(r.text, "Server device failure.");
    auto w = writeOf(*b.rtu, 2, 1, 23, 5);
    EXPECT_EQ(w.code, 3u);
    EXPECT_EQ(readOf(*b.rtu, 2, 1, 23).value, 12345602u);
}

TEST(ModbusFaults, RtuShortRepliesAndSilenceEndWithinTheTimeout)
{
    RtuBench b({"--short-reply", "2", "--silent-after", "3"});
    ASSERT_TRUE(b.ready);
    const auto wait = milliseconds(HardwareInterfaceModbusRs485Dll::replyTimeoutMs + HardwareInterfaceModbusRs485Dll::characterTimeoutMs);
    EXPECT_EQ(readOf(*b.rtu, 1, 1, 1).result, 1);
    auto cut = readOf(*b.rtu, 1, 1, 1);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.code, HardwareInterfaceModbusRs485Dll::errorShortReply);
    EXPECT_FALSE(cut.text.empty());
    EXPECT_LT(cut.took, wait + slack);
    EXPECT_EQ(readOf(*b.rtu, 1, 1, 1).result, 1);
    auto gone = readOf(*b.rtu, 1, 1, 1);
    EXPECT_EQ(gone.code, HardwareInterfaceModbusRs485Dll::errorNoAnswer);
    EXPECT_LT(gone.took, wait + slack);
}


TEST(ModbusFaults, RtuSlowIdentificationAndUploadFramesAreSizedByTheirContent)
{
    // Every reply late, but within the time-out.
    RtuBench b({"--delay-ms", "200"});
    ASSERT_TRUE(b.ready);
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(b.rtu->readIdentification(1, vendor, product, version, motor, serial), 1) << b.rtu->getLastErrorString();
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + motor + "|" + serial,
              "VORLANE|VDX 2040 A|3.07|00004711|12345601");
    // Open, three blocks of different lengths, the last one flagged; then a
    // refused block after the upload was closed.
    ASSERT_EQ(b.rtu->initUpload(1), 1) << b.rtu->getLastErrorString();
    const std::vector<std::string> blocks = {"00112233445566778899AABBCCDDEEFF",
                                             "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
                                             "CAFE"};
    for (std::uint32_t packet = 1; packet <= blocks.size(); ++packet) {
        std::string data;
        std::uint32_t finished = 9;
        ASSERT_EQ(b.rtu->getUpload(1, 256, packet, data, finished), 0) << b.rtu->getLastErrorString();
        EXPECT_EQ(data, blocks[packet - 1]);
        EXPECT_EQ(finished, packet == blocks.size() ? 1u : 0u);
    }
    std::string data;
    std::uint32_t finished = 0;
    EXPECT_EQ(b.rtu->getUpload(1, 256, 1, data, finished),
              static_cast<std::int32_t>(FieldbusProtocolModbusBase::errorUploadRefused));
    EXPECT_EQ(readOf(*b.rtu, 1, 2, 1).value, 100u) << "the line no longer serves";
}
