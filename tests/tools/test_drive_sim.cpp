// kavrel-drive-sim byte for byte: Modbus TCP on raw sockets and through
// libmodbus, Modbus RTU and the Vorlane line on socat pairs, its fault
// switches, its control input, load, bad input and shutdown.
#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tools/test_drive_sim_support.h"

using namespace simtest;
using kavreltest::RawPort;
using kavreltest::SocatPair;
using V = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

namespace {

const V readSignOfLife{1, 0x03, 0x01, 0x02, 0x00, 0x02};
const V signOfLife{1, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07};

// The register of parameter index.sub, and its address as two bytes.
int reg(int index, int sub) { return (index * 128 + sub) * 2; }
V at(int index, int sub) { return {static_cast<std::uint8_t>(reg(index, sub) >> 8), static_cast<std::uint8_t>(reg(index, sub))}; }
V cat(V a, const V& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
V be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }
V readOf(std::uint8_t unit, int index, int sub) { return cat(cat({unit, 0x03}, at(index, sub)), {0, 2}); }
V valueOf(std::uint8_t unit, std::uint32_t v) { return cat({unit, 0x03, 4}, be32(v)); }
V writeOf(std::uint8_t unit, int index, int sub, std::uint32_t v)
{
    return cat(cat(cat({unit, 0x10}, at(index, sub)), {0, 2, 4}), be32(v));
}
V writtenOf(std::uint8_t unit, int index, int sub) { return cat(cat({unit, 0x10}, at(index, sub)), {0, 2}); }
V diagnostic(std::uint8_t value) { return {1, 0x08, 0x00, 0x02, 0x00, value}; }
V text(const std::string& s) { return V(s.begin(), s.end()); }

// A request and its reply (empty: the simulator stays silent), or a command on
// the control input and the start of the line the simulator answers it with.
struct Step { V request, reply; std::string control = {}, said = {}; };

// Answered ('y') or not ('n'), for a run of sign-of-life reads.
std::vector<Step> pattern(const std::string& answered)
{
    std::vector<Step> steps;
    for (char c : answered)
        steps.push_back({readSignOfLife, c == 'y' ? signOfLife : V{}});
    return steps;
}

// Output of a shell command line with its exit status last.
std::string shell(const std::string& command)
{
    std::string out;
    const int status = kavreltest::shell(command, &out);
    return out + "status=" + std::to_string(status) + "\n";
}

} // namespace

TEST(DriveSimModbus, TcpRepliesByteForByte)
{
    const V basic = cat(cat(cat({0, 7}, text("VORLANE")), cat({1, 10}, text("VDX 2040 A"))), cat({2, 4}, text("3.07")));
    const V regular = cat(cat({3, 26}, text("https://drives.invalid/vdx")), cat({4, 8}, text("VDX 2040")));
    const V upload{1, 0x5A, 0, 0, 0x34, 0x01, 0x00, 0x00};
    V second{1, 0x5A, 0, 0, 0xFE, 0, 0, 0, 32};
    for (int i = 0; i < 4; ++i)
        second = cat(second, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
    const struct { Args args; std::vector<Step> steps; std::chrono::milliseconds atLeast = 0ms; } scenarios[] = {
        {{"--ids", "1,2"},
         {{diagnostic(0), diagnostic(0)},
          {readOf(1, 40, 0), {1, 0x83, 0x02}}, {diagnostic(0), diagnostic(2)},
          {writeOf(1, 1, 23, 5), {1, 0x90, 0x03}}, {diagnostic(0), diagnostic(3)},
          {{1, 0x03, 0x00, 0x00, 0x00, 126}, {1, 0x83, 0x03}}, // more registers than a reply holds
          {{1, 0x41, 0x00}, {1, 0xC1, 0x01}}, {diagnostic(0), diagnostic(1)},
          {{1, 0x08, 0x00, 0x0A, 0x00, 0x00}, {1, 0x08, 0x00, 0x0A, 0x00, 0x00}}, {diagnostic(0), diagnostic(0)},
          {readOf(7, 1, 1), {7, 0x83, 0x0B}}, // an unknown unit: the gateway exception
          // Indices above 128 only through the selector 22.10.
          {readOf(1, 200, 5), {1, 0x83, 0x02}},
          {writeOf(1, 22, 10, (5u << 16) + 200), writtenOf(1, 22, 10)},
          {readOf(1, 200, 5), valueOf(1, 0x00C80005)},
          {readOf(1, 129, 0), {1, 0x83, 0x02}},
          {writeOf(1, 22, 10, 129), writtenOf(1, 22, 10)},
          {writeOf(1, 129, 0, 0xCAFEF00D), writtenOf(1, 129, 0)},
          {readOf(1, 129, 0), valueOf(1, 0xCAFEF00D)},
          {readOf(1, 1, 1), signOfLife},
          // Identification objects: basic, regular and individual access.
          {{1, 0x2B, 0x0E, 0x01, 0x00}, cat({1, 0x2B, 0x0E, 0x01, 0x83, 0, 0, 3}, basic)},
          {{1, 0x2B, 0x0E, 0x02, 0x00}, cat(cat({1, 0x2B, 0x0E, 0x02, 0x83, 0, 0, 5}, basic), regular)},
          {{1, 0x2B, 0x0E, 0x04, 0x01}, cat({1, 0x2B, 0x0E, 0x04, 0x83, 0, 0, 1, 1, 10}, text("VDX 2040 A"))},
          {{1, 0x2B, 0x0E, 0x04, 0x09}, {1, 0xAB, 0x02}},
          {{1, 0x2B, 0x0D, 0x01, 0x00}, {1, 0xAB, 0x01}},
          // Upload: refused before the start and after the end, and for another session.
          {cat(upload, {1}), {1, 0x5A, 0, 0, 0x01}},
          {{1, 0x5A, 0, 0, 0x33, 0x56, 0x52, 0x32, 0x2E, 0, 0, 0, 0x20}, {1, 0x5A, 0, 0, 0xFE, 0x01, 0x00}},
          {cat(upload, {1}), {1, 0x5A, 0, 0, 0xFE, 0, 0, 0, 16, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                              0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
          {cat(upload, {2}), second},
          {cat(upload, {3}), {1, 0x5A, 0, 0, 0xFE, 0, 1, 0, 2, 0xCA, 0xFE}},
          {cat(upload, {4}), {1, 0x5A, 0, 0, 0x01}},
          {{1, 0x5A, 0, 0, 0x34, 0x02, 0x00, 0x00, 0x01}, {1, 0x5A, 0, 0, 0x01}},
          {{1, 0x5A, 0, 0, 0x35, 0x01, 0x00, 0x00, 0x00}, {1, 0x5A, 0, 0, 0xFE}},
          {cat(upload, {1}), {1, 0x5A, 0, 0, 0x01}}}},
        {{"--ids", "1-2", "--exception-on", "2.1"},
         {{readOf(2, 1, 1), valueOf(2, 0x00030007)},
          {readOf(2, 2, 1), {2, 0x83, 0x04}},
          {writeOf(2, 2, 1, 1), {2, 0x90, 0x04}},
          {cat(cat({2, 0x03}, at(2, 0)), {0, 6}), {2, 0x83, 0x04}}, // a block read that covers 2.1
          {{2, 0x08, 0x00, 0x02, 0x00, 0x00}, {2, 0x08, 0x00, 0x02, 0x00, 0x04}},
          {diagnostic(0), diagnostic(0)}}},
        {{"--drop", "2"}, {{readOf(1, 2, 0), valueOf(1, 0)}, {writeOf(1, 2, 0, 9), {}}, {readOf(1, 2, 0), valueOf(1, 0)}}},
        {{"--short-reply", "2"}, {{readSignOfLife, signOfLife}, {readSignOfLife, {1, 0x03, 0x04}}}},
        {{"--wrong-address", "--ids", "1-2"}, {{readSignOfLife, valueOf(2, 0x00030007)}}},
        {{"--delay-ms", "400"}, {{readSignOfLife, signOfLife}}, 350ms}, // the wait is whole milliseconds, rounded down
        {{"--drop", "3"}, pattern("yynyyny")},
        {{"--drop", "1"}, pattern("nnn")},
        {{"--silent-after", "2"}, pattern("yynnn")},
        {{"--silent-after", "0"}, pattern("nn")},
        {{"--drop", "2", "--silent-after", "4"}, pattern("ynynnn")},
        {{"--ids", "1-2"},
         {{readOf(2, 1, 1), valueOf(2, 0x00030007)},
          {{}, {}, "silence 2"}, {readOf(2, 1, 1), {}}, {readSignOfLife, signOfLife},
          {{}, {}, "answer 2"}, {readOf(2, 1, 1), valueOf(2, 0x00030007)},
          {{}, {}, "set 2 1.1 0x00050009"}, {readOf(2, 1, 1), valueOf(2, 0x00050009)},
          {{}, {}, "silence all"}, {readSignOfLife, {}},
          {{}, {}, "answer all"}, {readSignOfLife, signOfLife},
          // Mistakes are reported and change nothing.
          {{}, {}, "silence 9", "control error: "}, {{}, {}, "mute 1", "control error: "},
          {{}, {}, "set 1 77.7 1", "control error: "}, {readSignOfLife, signOfLife}}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.args[0] + " " + s.args[1]);
        kavreltest::TempDir dir;
        Args args = s.args;
        args.insert(args.end(), {"--tcp", "127.0.0.1:0", "--control", dir.str() + "control"});
        Sim sim(args);
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.ok());
        std::uint16_t tid = 0x0100;
        for (const auto& step : s.steps) {
            if (!step.control.empty()) {
                const std::string said = step.said.empty() ? "control " + step.control : step.said;
                EXPECT_EQ(kavreltest::controlReply(dir.str() + "control", *sim.process, step.control).rfind(said, 0), 0u) << step.control;
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            ASSERT_TRUE(raw.send(mbap(++tid, step.request)));
            // A late reply carries an older transaction id and fails the step after it.
            EXPECT_EQ(raw.receiveFrame(step.reply.empty() ? 300ms : 5s), step.reply.empty() ? V{} : mbap(tid, step.reply))
                << "request " << int(step.request[1]) << " step " << tid - 0x100;
            EXPECT_TRUE(step.reply.empty() || std::chrono::steady_clock::now() - start >= s.atLeast);
        }
    }
}

TEST(DriveSimModbus, MbapIsCheckedAndTransactionIdsEchoed)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.ok());
    // Another protocol identifier: ignored; the next frame is answered.
    ASSERT_TRUE(raw.send(cat({0x12, 0x34, 0x00, 0x01, 0x00, 0x06}, readSignOfLife)));
    EXPECT_TRUE(raw.receiveFrame(300ms).empty());
    // Two requests in one segment: two replies, in order.
    ASSERT_TRUE(raw.send(cat(mbap(0xBEEF, readSignOfLife), mbap(2, readOf(1, 1, 1)))));
    EXPECT_EQ(raw.receiveFrame(5s), mbap(0xBEEF, signOfLife));
    EXPECT_EQ(raw.receiveFrame(5s), mbap(2, signOfLife));
    for (int badLength : {0, 1, 255, 0xFFFF}) {
        RawTcp bad(sim.port);
        ASSERT_TRUE(bad.send({0, 1, 0, 0, static_cast<std::uint8_t>(badLength >> 8), static_cast<std::uint8_t>(badLength), 1}));
        EXPECT_TRUE(bad.closedByPeer(5s)) << "length " << badLength;
    }
    // The server is still there for everyone else.
    ASSERT_TRUE(raw.send(mbap(3, readSignOfLife)));
    EXPECT_EQ(raw.receiveFrame(5s), mbap(3, signOfLife));
}

TEST(DriveSimModbus, LibmodbusClientsEachOnTheirDrive)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    std::vector<std::unique_ptr<modbus_t, void (*)(modbus_t*)>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(modbus_new_tcp("127.0.0.1", sim.port), [](modbus_t* c) { modbus_close(c); modbus_free(c); });
        modbus_set_slave(clients.back().get(), i + 1);
        modbus_set_response_timeout(clients.back().get(), 5, 0);
        ASSERT_EQ(modbus_connect(clients.back().get()), 0);
    }
    auto read = [](modbus_t* c, int index, int sub) -> long long {
        std::uint16_t w[2] = {0, 0};
        if (modbus_read_registers(c, reg(index, sub), 2, w) != 2)
            return -errno;
        return static_cast<long long>(w[0]) << 16 | w[1];
    };
    auto* first = clients[0].get();
    EXPECT_EQ(read(first, 1, 1), 0x00030007); // high word first
    EXPECT_EQ(read(first, 40, 0), -EMBXILADD);
    // Each drive has its own serial number and its own copy of the parameters, clients taking turns.
    for (int round = 0; round < 3; ++round) {
        for (int unit = 1; unit <= 3; ++unit) {
            const std::uint16_t value[2] = {0xB3B2, static_cast<std::uint16_t>(round * 16 + unit)};
            ASSERT_EQ(modbus_write_registers(clients[unit - 1].get(), reg(2, 0), 2, value), 2);
        }
        for (int unit = 1; unit <= 3; ++unit) {
            EXPECT_EQ(read(clients[unit - 1].get(), 1, 23), 12345600 + unit);
            EXPECT_EQ(read(clients[unit - 1].get(), 2, 0), 0xB3B20000LL + round * 16 + unit);
        }
    }
}

TEST(DriveSimModbus, RtuRepliesByteForByte)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--serial", pair.a(), "--ids", "1-2"});
    ASSERT_TRUE(sim.ready);
    RawPort port(pair.b());
    ASSERT_TRUE(port.ok());
    // A bad CRC is met with silence; the next good frame is answered.
    auto spoiled = withCrc(readSignOfLife);
    spoiled.back() ^= 0xFF;
    ASSERT_TRUE(port.write(bytes(spoiled)));
    EXPECT_EQ(port.readFor(300ms), "");
    const std::vector<Step> steps{
        {readSignOfLife, signOfLife},
        {readOf(2, 1, 23), valueOf(2, 12345602)},
        {writeOf(2, 2, 0, 0x01020304), writtenOf(2, 2, 0)},
        {readOf(2, 2, 0), valueOf(2, 0x01020304)},
        {readOf(1, 2, 0), valueOf(1, 0)},
        {readOf(2, 40, 0), {2, 0x83, 0x02}},
        {readOf(9, 1, 1), {}}, // a unit that is not on the line: silence
        {{2, 0x08, 0x00, 0x02, 0x00, 0x00}, {2, 0x08, 0x00, 0x02, 0x00, 0x02}},
        {{1, 0x2B, 0x0E, 0x04, 0x02}, cat({1, 0x2B, 0x0E, 0x04, 0x83, 0, 0, 1, 2, 4}, text("3.07"))},
        {{1, 0x5A, 0, 0, 0x33, 0x56, 0x52, 0x32, 0x2E, 0, 0, 0, 0x20}, {1, 0x5A, 0, 0, 0xFE, 0x01, 0x00}},
        {{1, 0x5A, 0, 0, 0x34, 0x01, 0x00, 0x00, 0x03}, {1, 0x5A, 0, 0, 0xFE, 0, 1, 0, 2, 0xCA, 0xFE}},
        {{1, 0x5A, 0, 0, 0x35, 0x01, 0x00, 0x00, 0x00}, {1, 0x5A, 0, 0, 0xFE}},
        {{1, 0x41, 0x00, 0x00}, {1, 0xC1, 0x01}}, // unknown function, sized by the pause after it
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(port.write(bytes(withCrc(step.request))));
        const V expected = step.reply.empty() ? V{} : withCrc(step.reply);
        EXPECT_EQ(bytes(port.readFor(expected.empty() ? 300ms : 5000ms, expected.empty() ? 4096 : expected.size())),
                  expected) << "request " << int(step.request[0]) << "/" << int(step.request[1]);
    }
}

TEST(DriveSimModbus, LibmodbusSeesCorruptCrcAndShortRepliesOverRtu)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--serial", pair.a(), "--corrupt-crc", "2", "--short-reply", "3"});
    ASSERT_TRUE(sim.ready);
    modbus_t* ctx = modbus_new_rtu(pair.b().c_str(), 19200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 3, 0);
    ASSERT_EQ(modbus_connect(ctx), 0);
    std::uint16_t w[2];
    std::vector<int> results;
    for (int i = 0; i < 4; ++i) {
        results.push_back(modbus_read_registers(ctx, 0x0102, 2, w) == 2 ? 0 : errno);
        modbus_flush(ctx);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    // 1 good, 2 bad CRC, 3 cut short (libmodbus waits for the rest), 4 bad CRC.
    EXPECT_EQ(results, (std::vector<int>{0, EMBBADCRC, ETIMEDOUT, EMBBADCRC}));
}

TEST(DriveSimVorlane, TelegramsAndTheirReplies)
{
    using Exchanges = std::vector<std::pair<std::string, std::string>>;
    const struct { Args args; Exchanges exchanges; } scenarios[] = {
        {{},
         {{"0201000100000000\r", ""}, // nobody answers before a drive is selected
          {"#02\r", "#02\r"},
          {"0217000100000000\r", "0217000100BC6102\r"}, // serial number of drive 2
          {"0201000100000000\r", "0201000100030007\r"}, // sign of life
          {"0203000100000000\r", "0203000156445820\r"}, // product code characters "VDX "
          {"0204000100000000\r", "0204000132303430\r"}, // "2040"
          {"020D000500000000\r", "020D000500001267\r"}, // motor type 4711
          {"090A00010000001F\r", "090A00010000001F\r"}, // a write is echoed
          {"020A000100000000\r", "020A00010000001F\r"},
          {"0205008100000000\r", "!02\r"}, // no parameter 129.5
          {"0917000100000001\r", "!03\r"}, // read-only
          {"020a000100000000\r", "!01\r"}, // lower case is not a telegram
          {"0201000100\r", "!01\r"},        // too short
          {"0301000100000000\r", "!01\r"},  // unknown command
          {"0201000100000001\r", "!03\r"},  // a read carries zeros in the value field
          {"#01\r", "#01\r"},
          {"020A000100000000\r", "020A000100000000\r"}, // drive 1 kept its own 1.10
          {"#31\r", ""},                                // not on the line: silence...
          {"0201000100000000\r", ""},                   // ...and nobody is selected any more
          {"#3\r", ""},
          {"#03\r", "#03\r"}}},
        {{"--no-cr"}, {{"#01\r", "#01"}, {"0201000100000000\r", "0201000100030007"}}},
        {{"--wrong-address"}, {{"#01\r", "#02\r"}, {"0201000100000000\r", "0201000100030007\r"}}},
        {{"--short-reply", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "0201000100\r"}}},
        {{"--corrupt-crc", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "02010001G0Z0K0Q0\r"}}},
        {{"--drop", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", ""}, {"0201000100000000\r", "0201000100030007\r"}}},
        {{"--exception-on", "1.1"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "!04\r"}}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.args.empty() ? "no faults" : s.args[0]);
        SocatPair pair;
        ASSERT_TRUE(pair.ok());
        Args args{"--vorlane-serial", pair.a(), "--ids", "1-3"};
        args.insert(args.end(), s.args.begin(), s.args.end());
        Sim sim(args);
        ASSERT_TRUE(sim.ready);
        RawPort port(pair.b());
        for (const auto& [ask, reply] : s.exchanges) {
            ASSERT_TRUE(port.write(ask));
            EXPECT_EQ(port.readFor(reply.empty() ? 300ms : 5000ms, reply.empty() ? 4096 : reply.size()), reply) << ask;
        }
    }
}

TEST(DriveSimFaults, BadOptionsAndTablesAreRefusedWithAReason)
{
    kavreltest::TempDir dir;
    const std::string drive = "<drive><parameters>", param = "<parameter index=\"1\" subindex=\"2\"";
    const std::string sim = simBinary() + " --tcp 127.0.0.1:0";
    const struct { std::string args; const char* message; const char* status; } table[] = {
        {"", "nothing to serve", "status=2"},
        {" --ids 0-3", "--ids", "status=2"},
        {" --ids 5-2", "--ids", "status=2"},
        {" --ids 1-300", "--ids", "status=2"},
        {" --exception-on 2", "--exception-on", "status=2"},
        {" --drop x", "--drop", "status=2"},
        {" --table " + dir.str() + "missing.xml", "missing.xml", "status=1"},
        {" --table " + dir.write("broken.xml", drive + "<parameter index=\"1\"").string(), "broken.xml", "status=1"},
        {" --table " + dir.write("novalue.xml", drive + param + "/></parameters></drive>").string(), "value", "status=1"},
        {" --table " + dir.write("twice.xml", drive + param + " value=\"1\"/>" + param + " value=\"2\"/></parameters></drive>").string(),
         "listed twice", "status=1"},
        {" --table " + dir.write("badhex.xml", "<drive><upload><block>0G</block></upload></drive>").string(), "non-hex",
         "status=1"},
        {" --table " + dir.write("root.xml", "<table/>").string(), "<drive>", "status=1"},
        {" --table " + dir.write("doctype.xml", "<!DOCTYPE drive [<!ENTITY a \"a\">]><drive/>").string(), "DOCTYPE",
         "status=1"},
        {" --serial " + dir.str() + "no-such-tty", "no-such-tty", "status=1"},
        {" --serial /dev/null", "not a serial port", "status=1"},
    };
    for (const auto& t : table) {
        const std::string out = shell(t.args.empty() ? simBinary() : sim + t.args);
        EXPECT_NE(out.find(t.message), std::string::npos) << t.args << "\n" << out;
        EXPECT_NE(out.find(t.status), std::string::npos) << t.args << "\n" << out;
        EXPECT_EQ(out.find("ready"), std::string::npos) << t.args;
    }
    // A port in use is a clear failure too.
    Sim first({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(first.ready);
    const std::string out = shell(simBinary() + " --tcp 127.0.0.1:" + std::to_string(first.port));
    EXPECT_NE(out.find("cannot listen"), std::string::npos) << out;
}

TEST(DriveSimFaults, SignalsEndTheProcessCleanly)
{
    for (int sig : {SIGTERM, SIGINT}) {
        // Busy: a reply held back by a long delay, on TCP or on the Vorlane line.
        SocatPair pair;
        ASSERT_TRUE(pair.ok());
        Sim sim({"--tcp", "127.0.0.1:0", "--vorlane-serial", pair.a(), "--delay-ms", "20000"});
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        RawPort line(pair.b());
        ASSERT_TRUE(sig == SIGTERM ? raw.send(mbap(1, readSignOfLife)) : line.write("#01\r"));
        std::this_thread::sleep_for(100ms);
        ::kill(sim.process->pid(), sig);
        EXPECT_EQ(sim.process->wait(10s), 0) << "signal " << sig;
        EXPECT_TRUE(raw.closedByPeer(5s));
    }
}

TEST(DriveSimFaults, GarbageNeverStopsTheSimulatorAndItsProtocolsShareTheDrives)
{
    SocatPair rtuPair, vorlanePair;
    ASSERT_TRUE(rtuPair.ok() && vorlanePair.ok());
    Sim sim({"--tcp", "127.0.0.1:0", "--serial", rtuPair.a(), "--vorlane-serial", vorlanePair.a(), "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    EXPECT_EQ(sim.lines, (Args{"tcp 127.0.0.1:" + std::to_string(sim.port), "serial " + rtuPair.a(),
                               "vorlane-serial " + vorlanePair.a(), "ready"}));
    std::mt19937 random(20261207);
    auto byte = [&] { return static_cast<std::uint8_t>(random() & 0xFF); };
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.ok());
    // Well-framed requests with random PDUs of every length, for our units and others.
    for (int i = 0; i < 300; ++i) {
        V request{static_cast<std::uint8_t>(i % 5), static_cast<std::uint8_t>(i % 3 == 0 ? byte() : "\x03\x10\x08\x2B\x5A"[i % 5])};
        for (std::size_t k = random() % 40; k > 0; --k)
            request.push_back(byte());
        ASSERT_TRUE(raw.send(mbap(static_cast<std::uint16_t>(i), request)));
        const auto reply = raw.receiveFrame(5s);
        ASSERT_GE(reply.size(), 9u) << "request " << i; // every frame gets an answer or an exception
        EXPECT_EQ(reply[0] << 8 | reply[1], i);
    }
    RawPort rtu(rtuPair.b()), line(vorlanePair.b());
    ASSERT_TRUE(rtu.ok() && line.ok());
    for (int i = 0; i < 100; ++i) {
        std::string junk;
        for (std::size_t k = 1 + random() % 30; k > 0; --k)
            junk.push_back(static_cast<char>(byte()));
        rtu.write(junk);
        line.write(junk);
    }
    // Let the lines fall silent so the simulator resynchronises, then real requests.
    line.write("\r");
    std::this_thread::sleep_for(200ms);
    rtu.readFor(300ms);
    line.readFor(300ms);
    ASSERT_TRUE(rtu.write(bytes(withCrc(readSignOfLife))));
    EXPECT_EQ(bytes(rtu.readFor(5s, 9)), withCrc(signOfLife));
    // A write through Modbus is seen on the Vorlane line, and the other way round.
    ASSERT_TRUE(line.write("#01\r"));
    EXPECT_EQ(line.readFor(5s, 4), "#01\r");
    ASSERT_TRUE(raw.send(mbap(1, writeOf(1, 2, 0, 0xDEADBEEF))));
    EXPECT_EQ(raw.receiveFrame(5s), mbap(1, writtenOf(1, 2, 0)));
    ASSERT_TRUE(line.write("0200000200000000\r"));
    EXPECT_EQ(line.readFor(5s, 17), "02000002DEADBEEF\r");
    ASSERT_TRUE(line.write("0900000212345678\r"));
    EXPECT_EQ(line.readFor(5s, 17), "0900000212345678\r");
    ASSERT_TRUE(raw.send(mbap(2, readOf(1, 2, 0))));
    EXPECT_EQ(raw.receiveFrame(5s), mbap(2, valueOf(1, 0x12345678)));
    EXPECT_TRUE(sim.process->running());
}

TEST(DriveSimLoad, IdleAndNonReadingClientsDoNotHoldUpAReader)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    // More idle connections than any limit below 256 would allow.
    std::vector<std::unique_ptr<RawTcp>> idle;
    for (int i = 0; i < 260; ++i) {
        idle.push_back(std::make_unique<RawTcp>(sim.port));
        ASSERT_TRUE(idle.back()->ok()) << i;
    }
    RawTcp reader(sim.port);
    ASSERT_TRUE(reader.ok());
    // A client with a small receive window that sends requests and reads nothing.
    RawTcp hogging(sim.port, 4096);
    const int hog = hogging.handle();
    ASSERT_TRUE(hogging.ok());
    ::fcntl(hog, F_SETFL, O_NONBLOCK);
    V burst;
    for (std::uint16_t tid = 0; tid < 200; ++tid)
        burst = cat(burst, mbap(tid, readSignOfLife));
    bool dropped = false;
    std::uint16_t tid = 1000;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!dropped && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 20 && !dropped; ++i) {
            const ssize_t n = ::send(hog, burst.data(), burst.size(), MSG_NOSIGNAL);
            dropped = n < 0 && errno != EAGAIN && errno != EINTR;
            if (n < 0 && errno == EAGAIN)
                ::poll(nullptr, 0, 5);
        }
        ASSERT_TRUE(reader.send(mbap(++tid, readSignOfLife)));
        ASSERT_EQ(reader.receiveFrame(5s), mbap(tid, signOfLife)) << "reader held up";
    }
    EXPECT_TRUE(dropped) << "the client that never reads was kept";
    // The idle connections were not starved either: the first and the last answer.
    for (auto* client : {idle.front().get(), idle.back().get()}) {
        ASSERT_TRUE(client->send(mbap(7, readSignOfLife)));
        EXPECT_EQ(client->receiveFrame(5s), mbap(7, signOfLife));
    }
}

TEST(DriveSimLoad, IdleClientsTimeOutBusyOnesStay)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--idle-timeout-ms", "1000"});
    ASSERT_TRUE(sim.ready);
    RawTcp idle(sim.port), busy(sim.port);
    ASSERT_TRUE(idle.ok() && busy.ok());
    const auto until = std::chrono::steady_clock::now() + 2500ms;
    for (std::uint16_t tid = 1; std::chrono::steady_clock::now() < until; ++tid) {
        ASSERT_TRUE(busy.send(mbap(tid, readSignOfLife)));
        ASSERT_EQ(busy.receiveFrame(5s), mbap(tid, signOfLife));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(idle.closedByPeer(10s));
}
