// The Modbus protocols against kavrel-drive-sim with faults switched on: each
// failure gives its code and text within the time-out, and the next operation
// works again; late replies are never taken for the next answer. Over TCP
// through the Ethernet adapter, over RTU through the RS485 library adapter on
// a socat pair.
#include <gtest/gtest.h>

#include <csignal>

#include "hardware/HardwareInterfaceEthernet.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"
#include "tools/test_drive_sim_support.h"

using namespace Kavrel;
using namespace std::chrono;
using simtest::Sim;
using Ethernet = HardwareInterfaceEthernet;
using Rs485 = HardwareInterfaceModbusRs485Dll;
using ModbusBase = FieldbusProtocolModbusBase;

namespace {

constexpr milliseconds tcpTimeout{600};
constexpr milliseconds rtuTimeout{Rs485::replyTimeoutMs + Rs485::characterTimeoutMs};
// Beyond the time-out, what a loaded machine may add before the call returns.
constexpr milliseconds slack{1500};
constexpr std::uint32_t anyCode = 0xFFFFFFFFu; // any failure code but 0

struct Outcome {
    std::int32_t result;
    std::uint32_t value = 0, code;
    std::string text;
    milliseconds took;
};

// The library against a simulator with the given switches; RTU or TCP.
struct Bench {
    kavreltest::TempDir dir;
    std::unique_ptr<kavreltest::SocatPair> pair;
    std::unique_ptr<Sim> sim;
    std::shared_ptr<Ethernet> tcp;
    std::unique_ptr<FieldbusProtocol> protocol;
    bool ready = false;

    Bench(bool rtu, std::vector<std::string> switches)
    {
        std::vector<std::string> args{"--ids", "1-2", "--control", fifo()};
        if (rtu)
            pair = std::make_unique<kavreltest::SocatPair>();
        args.insert(args.end(), {rtu ? "--serial" : "--tcp", rtu ? pair->b() : "127.0.0.1:0"});
        args.insert(args.end(), switches.begin(), switches.end());
        sim = std::make_unique<Sim>(args);
        GenericParameters p;
        if (rtu) {
            auto hw = std::make_shared<Rs485>();
            hw->setPort(pair->a());
            hw->setBaudrate(19200);
            p.setText(0, "N");
            p.setText(1, "8");
            p.setText(2, "1");
            hw->setParameters(p);
            protocol = std::make_unique<FieldbusProtocolModbusRtu>(hw);
        } else {
            tcp = std::make_shared<Ethernet>();
            tcp->setReplyTimeout(tcpTimeout);
            tcp->setConnectTimeout(milliseconds(2000));
            target("127.0.0.1", std::to_string(sim->port));
            protocol = std::make_unique<FieldbusProtocolModbusTcp>(tcp);
        }
        ready = sim->ready && (!rtu || pair->ok()) && protocol->openInterface(1) == 1;
    }
    ~Bench() { protocol->closeInterface(); }
    std::string fifo() const { return dir.str() + "control"; }
    void target(const std::string& address, const std::string& port)
    {
        GenericParameters p;
        p.setText(0, address);
        p.setText(1, port);
        tcp->setParameters(p);
    }
    // op: 'r' read, 'w' write, 'i' identification.
    Outcome run(char op, std::uint32_t unit, std::uint16_t index = 1, std::uint16_t sub = 1, std::uint32_t value = 0)
    {
        Outcome o{};
        const auto start = steady_clock::now();
        std::string v, p, ver, m, s;
        o.result = op == 'r'   ? protocol->readParameter(unit, 4, index, sub, o.value)
                   : op == 'w' ? protocol->writeParameter(unit, 4, index, sub, value)
                               : protocol->readIdentification(unit, v, p, ver, m, s);
        o.took = duration_cast<milliseconds>(steady_clock::now() - start);
        o.code = protocol->getLastErrorCode();
        o.text = protocol->getLastErrorString();
        return o;
    }
};

enum class Took { Any, Fast, TimedOut, Bounded };

struct Step {
    char op; // as Bench::run, or 'c': the text is a control command for the simulator
    std::uint32_t unit;
    std::uint16_t index, sub;
    std::uint32_t value; // written, or expected from a read that succeeds
    std::int32_t result;
    std::uint32_t code;
    const char* text = "";
    Took took = Took::Any;
};

struct Case {
    const char* name;
    bool rtu;
    std::vector<std::string> switches;
    std::vector<Step> steps;
};

} // namespace

TEST(ModbusFaults, EachFailureHasItsCodeTextAndTimeAndTheNextRequestWorks)
{
    const char* serverFailure = "Server device failure.";
    const Step ok11{'r', 1, 1, 1, 0x00030007u, 1, 0}, ok123{'r', 1, 1, 23, 12345601u, 1, 0};
    const std::vector<Case> cases = {
        {"tcp refusals carry the diagnostic code",
         false,
         {"--exception-on", "2.1"},
         {{'r', 1, 2, 1, 0, 0, 4, serverFailure, Took::Fast},
          {'w', 1, 2, 1, 7, 0, 4, serverFailure, Took::Fast},
          {'r', 1, 40, 0, 0, 0, 2, "Illegal data address: the parameter does not exist.", Took::Fast},
          {'w', 2, 1, 23, 1, 0, 3, "Illegal data value: the value is not allowed.", Took::Fast},
          ok11}},
        {"tcp dropped replies time out, a dropped write writes nothing",
         false,
         {"--drop", "2"},
         {ok11,
          {'r', 1, 1, 23, 0, 0, Ethernet::errorTimeout, "No answer within the receive time-out.", Took::TimedOut},
          ok123,
          {'w', 1, 2, 0, 0x11, 0, anyCode},
          {'r', 1, 2, 0, 0, 1, 0}}},
        {"tcp short replies, an identification cut short fails whole",
         false,
         {"--short-reply", "2"},
         {ok11, {'r', 1, 1, 23, 0, 0, ModbusBase::errorReplyTooShort, "", Took::Fast}, ok123, {'i', 1, 0, 0, 0, 0, anyCode}}},
        {"tcp answer of another unit",
         false,
         {"--wrong-address"},
         {{'r', 1, 2, 1, 0, 0, ModbusBase::errorWrongReply, "", Took::Bounded},
          {'r', 1, 1, 1, 0, 0, ModbusBase::errorWrongReply, "", Took::Bounded}}},
        {"tcp one silent drive does not disturb the other",
         false,
         {},
         {{'c', 0, 0, 0, 0, 0, 0, "silence 2"},
          {'r', 2, 1, 1, 0, 0, Ethernet::errorTimeout, "", Took::TimedOut},
          ok123,
          {'c', 0, 0, 0, 0, 0, 0, "answer 2"},
          {'r', 2, 1, 23, 12345602u, 1, 0}}},
        {"rtu corrupt crc and dropped replies",
         true,
         {"--corrupt-crc", "2", "--drop", "5"},
         {ok123,
          {'r', 1, 1, 23, 0, 0, Rs485::errorCrc, "The Modbus RS485 library found a CRC error.", Took::Bounded},
          {'r', 2, 1, 23, 12345602u, 1, 0},
          {'r', 1, 1, 1, 0, 0, Rs485::errorCrc},
          {'r', 1, 1, 1, 0, 0, Rs485::errorNoAnswer, "The Modbus RS485 library got no answer.", Took::Bounded},
          {'r', 1, 1, 1, 0, 0, Rs485::errorCrc},
          ok11}},
        {"rtu exception reads the diagnostic register",
         true,
         {"--exception-on", "2.1"},
         {{'r', 2, 2, 1, 0, 0, 4, serverFailure}, {'w', 2, 1, 23, 5, 0, 3}, {'r', 2, 1, 23, 12345602u, 1, 0}}},
        {"rtu short replies and silence end within the time-out",
         true,
         {"--short-reply", "2", "--silent-after", "3"},
         {ok11, {'r', 1, 1, 1, 0, 0, Rs485::errorShortReply, "", Took::Bounded}, ok11,
          {'r', 1, 1, 1, 0, 0, Rs485::errorNoAnswer, "", Took::Bounded}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(c.rtu, c.switches);
        ASSERT_TRUE(b.ready);
        const milliseconds timeout = c.rtu ? rtuTimeout : tcpTimeout;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            if (s.op == 'c') {
                ASSERT_TRUE(kavreltest::sendControl(b.fifo(), *b.sim->process, s.text));
                continue;
            }
            const Outcome o = b.run(s.op, s.unit, s.index, s.sub, s.value);
            EXPECT_EQ(o.result, s.result);
            if (s.op == 'r' && s.result == 1) {
                EXPECT_EQ(o.value, s.value);
            }
            EXPECT_TRUE(s.code == anyCode ? o.code != 0 : o.code == s.code) << std::hex << o.code;
            EXPECT_TRUE(*s.text ? o.text == s.text : s.code == 0 || !o.text.empty()) << o.text;
            const auto ms = o.took.count();
            EXPECT_TRUE(s.took != Took::Fast || o.took < timeout) << ms << " ms: no waiting for a time-out";
            EXPECT_TRUE(s.took != Took::TimedOut || o.took >= timeout - milliseconds(20)) << ms << " ms";
            EXPECT_TRUE(s.took < Took::TimedOut || o.took < timeout + slack) << ms << " ms";
        }
    }
}

TEST(ModbusFaults, TcpLateReplyIsNeverTakenForTheNextAnswer)
{
    Bench b(false, {"--delay-ms", "700"});
    ASSERT_TRUE(b.ready);
    auto late = b.run('r', 1);
    EXPECT_EQ(late.code, Ethernet::errorTimeout);
    EXPECT_LT(late.took, tcpTimeout + slack);
    // Let the late answer arrive, then ask for something else.
    std::this_thread::sleep_for(milliseconds(700));
    b.tcp->setReplyTimeout(milliseconds(3000));
    EXPECT_EQ(b.run('r', 1, 1, 23).value, 12345601u);
}

TEST(ModbusFaults, TcpConnectionClosedMidExchange)
{
    auto b = std::make_unique<Bench>(false, std::vector<std::string>{"--delay-ms", "5000"});
    ASSERT_TRUE(b->ready);
    b->tcp->setReplyTimeout(milliseconds(4000));
    std::thread killer([pid = b->sim->process->pid()] {
        std::this_thread::sleep_for(milliseconds(300));
        ::kill(pid, SIGTERM);
    });
    auto cut = b->run('r', 1);
    killer.join();
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.code, Ethernet::errorReceive);
    EXPECT_EQ(cut.text, "Receiving failed or the connection was closed.");
    EXPECT_LT(cut.took, milliseconds(3000)) << "well before the 4 s time-out";
    EXPECT_EQ(b->run('r', 1).code, Ethernet::errorReceive) << "the dead connection fails at once";
    for (int i = 0; i < 3; ++i) {
        auto w = b->run('w', 1, 2, 0, 7);
        EXPECT_TRUE(w.result == 0 && (w.code == Ethernet::errorReceive || w.code == Ethernet::errorSend)) << w.code;
    }
    // A new server on the same port, reconnected: it works again.
    const int port = b->sim->port;
    b->protocol->closeInterface();
    b->sim = std::make_unique<Sim>(std::vector<std::string>{"--tcp", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(b->sim->ready);
    b->tcp->setReplyTimeout(tcpTimeout);
    ASSERT_EQ(b->protocol->openInterface(1), 1);
    EXPECT_EQ(b->run('r', 1, 1, 1).value, 0x00030007u);
}

TEST(ModbusFaults, TcpRefusedConnectionAndMalformedAddresses)
{
    Bench b(false, {});
    ASSERT_TRUE(b.sim->ready);
    const std::string port = std::to_string(b.sim->port);
    const std::pair<std::string, std::string> table[] = {
        {"127.0.0.1", std::to_string(kavreltest::freeTcpPort())}, // nobody listens
        {"127.0.0.300", port}, {"localhost", port}, {"1.2.3", port}, {"", port}, {"127.0.0.1 ", port},
        {"127.0.0.1", "70000"}, {"127.0.0.1", "5x"},
    };
    for (const auto& [address, to] : table) {
        SCOPED_TRACE("'" + address + "':" + to);
        b.protocol->closeInterface();
        b.target(address, to);
        const auto start = steady_clock::now();
        EXPECT_NE(b.protocol->openInterface(1), 1);
        EXPECT_LT(steady_clock::now() - start, milliseconds(2000) + slack);
        EXPECT_EQ(b.tcp->getLastErrorCode(), Ethernet::errorConnect);
        EXPECT_FALSE(b.tcp->getLastErrorText().empty());
        auto r = b.run('r', 1);
        EXPECT_TRUE(r.result == 0 && r.code != 0) << "not open: a read fails instead of using a stale socket";
    }
    b.protocol->closeInterface();
    b.target("127.0.0.1", port);
    ASSERT_EQ(b.protocol->openInterface(1), 1);
    EXPECT_EQ(b.run('r', 1, 1, 1).value, 0x00030007u);
}

TEST(ModbusFaults, RtuSlowIdentificationAndUploadFramesAreSizedByTheirContent)
{
    Bench b(true, {"--delay-ms", "200"}); // every reply late, but within the time-out
    ASSERT_TRUE(b.ready);
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(b.protocol->readIdentification(1, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + motor + "|" + serial,
              "VORLANE|VDX 2040 A|3.07|00004711|12345601");
    // Three blocks of different lengths, the last one flagged; then a refused
    // block after the upload was closed.
    ASSERT_EQ(b.protocol->initUpload(1), 1) << b.protocol->getLastErrorString();
    const std::vector<std::string> blocks = {"00112233445566778899AABBCCDDEEFF",
                                             "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
                                             "CAFE"};
    std::string data;
    std::uint32_t finished = 9;
    for (std::uint32_t packet = 1; packet <= blocks.size(); ++packet) {
        ASSERT_EQ(b.protocol->getUpload(1, 256, packet, data, finished), 0) << b.protocol->getLastErrorString();
        EXPECT_EQ(data, blocks[packet - 1]);
        EXPECT_EQ(finished, packet == blocks.size() ? 1u : 0u);
    }
    EXPECT_EQ(b.protocol->getUpload(1, 256, 1, data, finished),
              static_cast<std::int32_t>(ModbusBase::errorUploadRefused));
    EXPECT_EQ(b.run('r', 1, 2, 1).value, 100u) << "the line no longer serves";
}
