// The simulator's fault switches, its control input, bad input and shutdown.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <gtest/gtest.h>
#include <modbus.h>
#include <thread>
#include <unistd.h>
#include "test_drive_sim_support.h"

using namespace simtest;
using kavreltest::RawPort;
using kavreltest::SocatPair;
using kavreltest::TempDir;

namespace {

using V = std::vector<std::uint8_t>;
const V readSignOfLife{1, 0x03, 0x01, 0x02, 0x00, 0x02};
const V signOfLifeReply{1, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07};

V body(const V& frame) { return frame.size() >= 6 ? V(frame.begin() + 6, frame.end()) : V{}; }

// One request per call over TCP; the reply body, or empty when none came.
V askTcp(RawTcp& t, const V& request, std::chrono::milliseconds wait = 400ms)
{
    static std::uint16_t tid = 0;
    if (!t.send(mbap(++tid, request)))
        return {};
    return body(t.receiveFrame(wait));
}

// Answered (true) or not, for a run of identical requests.
std::vector<bool> pattern(RawTcp& t, int count, const V& request = readSignOfLife)
{
    std::vector<bool> seen;
    for (int i = 0; i < count; ++i)
        seen.push_back(!askTcp(t, request, 300ms).empty());
    return seen;
}

std::string run(const std::string& command)
{
    kavreltest::ChildProcess child({"/bin/sh", "-c", command + " 2>&1; echo status=$?"});
    std::string out;
    for (int i = 0; i < 20; ++i) {
        std::string line = child.readLine(5s);
        if (line.empty() && !child.running())
            break;
        out += line + "\n";
        if (line.rfind("status=", 0) == 0)
            break;
    }
    child.stop();
    return out;
}

} // namespace

TEST(DriveSimFaults, EveryNthAndSilentAfterCountRequests)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<bool> answered;
    } table[] = {
        {{"--drop", "3"}, {true, true, false, true, true, false, true}},
        {{"--drop", "1"}, {false, false, false}},
        {{"--silent-after", "2"}, {true, true, false, false, false}},
        {{"--silent-after", "0"}, {false, false}},
        {{"--drop", "2", "--silent-after", "4"}, {true, false, true, false, false, false}},
    };
    for (const auto& t : table) {
        std::vector<std::string> args{"--tcp", "127.0.0.1:0"};
        args.insert(args.end(), t.args.begin(), t.args.end());
        Sim sim(args);
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.ok());
        EXPECT_EQ(pattern(raw, static_cast<int>(t.answered.size())), t.answered) << t.args[0] << " " << t.args[1];
    }
}

TEST(DriveSimFaults, DroppedWritesAreNotExecuted)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--drop", "2"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    EXPECT_FALSE(askTcp(raw, {1, 0x03, 0x02, 0x00, 0, 2}).empty());
    EXPECT_TRUE(askTcp(raw, {1, 0x10, 0x02, 0x00, 0, 2, 4, 0, 0, 0, 9}).empty());
    EXPECT_EQ(askTcp(raw, {1, 0x03, 0x02, 0x00, 0, 2}), (V{1, 3, 4, 0, 0, 0, 0}));
}

TEST(DriveSimFaults, DelayHoldsTheReplyBack)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--delay-ms", "400"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    ASSERT_TRUE(raw.send(mbap(1, readSignOfLife)));
    EXPECT_TRUE(raw.receiveFrame(150ms).empty());
    EXPECT_EQ(body(raw.receiveFrame(2s)), signOfLifeReply);
}

TEST(DriveSimFaults, ExceptionOnOneParameter)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--exception-on", "2.1", "--ids", "1-2"});
    ASSERT_TRUE(sim.ready);
    RawTcp raw(sim.port);
    EXPECT_EQ(askTcp(raw, {2, 0x03, 0x01, 0x02, 0, 2}), (V{2, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07}));
    EXPECT_EQ(askTcp(raw, {2, 0x03, 0x02, 0x02, 0, 2}), (V{2, 0x83, 0x04}));
    EXPECT_EQ(askTcp(raw, {2, 0x10, 0x02, 0x02, 0, 2, 4, 0, 0, 0, 1}), (V{2, 0x90, 0x04}));
    // A block read that covers 2.1 among others fails as a whole.
    EXPECT_EQ(askTcp(raw, {2, 0x03, 0x02, 0x00, 0, 6}), (V{2, 0x83, 0x04}));
    EXPECT_EQ(askTcp(raw, {2, 0x08, 0x00, 0x02, 0x00, 0x00}), (V{2, 0x08, 0x00, 0x02, 0x00, 0x04}));
    EXPECT_EQ(askTcp(raw, {1, 0x08, 0x00, 0x02, 0x00, 0x00}), (V{1, 0x08, 0x00, 0x02, 0x00, 0x00}));
}

TEST(DriveSimFaults, ShortRepliesAndWrongAddressOverTcp)
{
    {
        Sim sim({"--tcp", "127.0.0.1:0", "--short-reply", "2"});
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        EXPECT_EQ(askTcp(raw, readSignOfLife), signOfLifeReply);
        auto frame = (raw.send(mbap(7, readSignOfLife)), raw.receiveFrame(1s));
        // Half the body, and the MBAP length says so.
        EXPECT_EQ(frame, (V{0, 7, 0, 0, 0, 3, 1, 0x03, 0x04}));
    }
    {
        Sim sim({"--tcp", "127.0.0.1:0", "--wrong-address", "--ids", "1-2"});
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        EXPECT_EQ(askTcp(raw, readSignOfLife), (V{2, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07}));
    }
}

TEST(DriveSimFaults, CorruptCrcAndShortRepliesOverRtu)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--serial", pair.a(), "--corrupt-crc", "2", "--short-reply", "3"});
    ASSERT_TRUE(sim.ready);
    modbus_t* ctx = modbus_new_rtu(pair.b().c_str(), 19200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, 300000);
    ASSERT_EQ(modbus_connect(ctx), 0);
    std::uint16_t w[2];
    std::vector<int> results;
    for (int i = 0; i < 4; ++i) {
        int n = modbus_read_registers(ctx, 0x0102, 2, w);
        results.push_back(n == 2 ? 0 : errno);
        modbus_flush(ctx);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    // 1 good, 2 bad CRC, 3 cut short (libmodbus waits for the rest), 4 bad CRC.
    EXPECT_EQ(results, (std::vector<int>{0, EMBBADCRC, ETIMEDOUT, EMBBADCRC}));
}

TEST(DriveSimFaults, VorlaneLineFaults)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<const char*, const char*>> exchanges;
    } table[] = {
        {{"--no-cr"}, {{"#01\r", "#01"}, {"0201000100000000\r", "0201000100030007"}}},
        {{"--wrong-address"}, {{"#01\r", "#02\r"}, {"0201000100000000\r", "0201000100030007\r"}}},
        {{"--short-reply", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "0201000100\r"}}},
        {{"--corrupt-crc", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "02010001G0Z0K0Q0\r"}}},
        {{"--drop", "2"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", ""}, {"0201000100000000\r", "0201000100030007\r"}}},
        {{"--exception-on", "1.1"}, {{"#01\r", "#01\r"}, {"0201000100000000\r", "!04\r"}}},
    };
    for (const auto& t : table) {
        SocatPair pair;
        ASSERT_TRUE(pair.ok());
        std::vector<std::string> args{"--vorlane-serial", pair.a(), "--ids", "1-2"};
        args.insert(args.end(), t.args.begin(), t.args.end());
        Sim sim(args);
        ASSERT_TRUE(sim.ready);
        RawPort port(pair.b());
        for (const auto& [ask, reply] : t.exchanges) {
            ASSERT_TRUE(port.write(ask));
            EXPECT_EQ(port.readFor(400ms), reply) << t.args[0] << " " << ask;
        }
    }
}

TEST(DriveSimFaults, ControlInputSilencesOneDriveAtRunTime)
{
    TempDir dir;
    std::string fifo = dir.str() + "control";
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-2", "--control", fifo});
    ASSERT_TRUE(sim.ready);
    int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    auto say = [&](const std::string& line) {
        std::string text = line + "\n";
        EXPECT_EQ(::write(w, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        return sim.process->readLine(2s);
    };
    RawTcp raw(sim.port);
    V read2{2, 0x03, 0x01, 0x02, 0, 2};
    EXPECT_FALSE(askTcp(raw, read2).empty());
    EXPECT_EQ(say("silence 2"), "control silence 2");
    EXPECT_TRUE(askTcp(raw, read2, 300ms).empty());
    EXPECT_EQ(askTcp(raw, readSignOfLife), signOfLifeReply);
    EXPECT_EQ(say("answer 2"), "control answer 2");
    EXPECT_EQ(askTcp(raw, read2), (V{2, 0x03, 0x04, 0x00, 0x03, 0x00, 0x07}));
    EXPECT_EQ(say("set 2 1.1 0x00050009"), "control set 2 1.1 0x00050009");
    EXPECT_EQ(askTcp(raw, read2), (V{2, 0x03, 0x04, 0x00, 0x05, 0x00, 0x09}));
    EXPECT_EQ(say("silence all"), "control silence all");
    EXPECT_TRUE(askTcp(raw, readSignOfLife, 300ms).empty());
    EXPECT_EQ(say("answer all"), "control answer all");
    EXPECT_EQ(askTcp(raw, readSignOfLife), signOfLifeReply);
    // Mistakes are reported and change nothing.
    EXPECT_EQ(say("silence 9").rfind("control error: ", 0), 0u);
    EXPECT_EQ(say("mute 1").rfind("control error: ", 0), 0u);
    EXPECT_EQ(say("set 1 77.7 1").rfind("control error: ", 0), 0u);
    EXPECT_EQ(askTcp(raw, readSignOfLife), signOfLifeReply);
    ::close(w);
}

TEST(DriveSimFaults, BadOptionsAndTablesAreRefusedWithAReason)
{
    TempDir dir;
    auto broken = dir.write("broken.xml", "<drive><parameters><parameter index=\"1\"");
    auto noValue = dir.write("novalue.xml", "<drive><parameters><parameter index=\"1\" subindex=\"2\"/></parameters></drive>");
    auto twice = dir.write("twice.xml", "<drive><parameters><parameter index=\"1\" subindex=\"2\" value=\"1\"/>"
                                        "<parameter index=\"1\" subindex=\"2\" value=\"2\"/></parameters></drive>");
    auto badHex = dir.write("badhex.xml", "<drive><upload><block>0G</block></upload></drive>");
    auto wrongRoot = dir.write("root.xml", "<table/>");
    std::string sim = simBinary() + " --tcp 127.0.0.1:0";
    struct Case {
        std::string args;
        const char* message;
        const char* status;
    } table[] = {
        {"", "nothing to serve", "status=2"},
        {" --ids 0-3", "--ids", "status=2"},
        {" --ids 5-2", "--ids", "status=2"},
        {" --ids 1-300", "--ids", "status=2"},
        {" --exception-on 2", "--exception-on", "status=2"},
        {" --drop x", "--drop", "status=2"},
        {" --table " + dir.str() + "missing.xml", "missing.xml", "status=1"},
        {" --table " + broken.string(), "broken.xml", "status=1"},
        {" --table " + noValue.string(), "value", "status=1"},
        {" --table " + twice.string(), "listed twice", "status=1"},
        {" --table " + badHex.string(), "non-hex", "status=1"},
        {" --table " + wrongRoot.string(), "<drive>", "status=1"},
        {" --serial " + dir.str() + "no-such-tty", "no-such-tty", "status=1"},
        {" --serial /dev/null", "not a serial port", "status=1"},
    };
    for (const auto& t : table) {
        std::string command = t.args.empty() ? simBinary() : sim + t.args;
        std::string out = run(command);
        EXPECT_NE(out.find(t.message), std::string::npos) << t.args << "\n" << out;
        EXPECT_NE(out.find(t.status), std::string::npos) << t.args << "\n" << out;
        EXPECT_EQ(out.find("ready"), std::string::npos) << t.args;
    }
    // A port in use is a clear failure too.
    Sim first({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(first.ready);
    std::string out = run(simBinary() + " --tcp 127.0.0.1:" + std::to_string(first.port));
    EXPECT_NE(out.find("cannot listen"), std::string::npos) << out;
}

TEST(DriveSimFaults, SignalsEndTheProcessCleanly)
{
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    for (int sig : {SIGTERM, SIGINT}) {
        // Busy: a client connected and a reply held back by a long delay.
        Sim sim({"--tcp", "127.0.0.1:0", "--serial", pair.a(), "--delay-ms", "20000"});
        ASSERT_TRUE(sim.ready);
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.send(mbap(1, readSignOfLife)));
        std::this_thread::sleep_for(100ms);
        ::kill(sim.process->pid(), sig);
        EXPECT_EQ(sim.process->wait(3s), 0) << "signal " << sig;
        EXPECT_TRUE(raw.closedByPeer(1s));
    }
}

TEST(DriveSimFaults, GarbageNeverStopsTheSimulator)
{
    SocatPair rtuPair, vorlanePair;
    ASSERT_TRUE(rtuPair.ok() && vorlanePair.ok());
    Sim sim({"--tcp", "127.0.0.1:0", "--serial", rtuPair.a(), "--vorlane-serial", vorlanePair.a(), "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    std::mt19937 random(20261207);
    auto byte = [&] { return static_cast<std::uint8_t>(random() & 0xFF); };
    {
        RawTcp raw(sim.port);
        ASSERT_TRUE(raw.ok());
        // Well-framed requests with random PDUs of every length, for our units and others.
        for (int i = 0; i < 300; ++i) {
            V request{static_cast<std::uint8_t>(i % 5), static_cast<std::uint8_t>(i % 3 == 0 ? byte() : "\x03\x10\x08\x2B\x5A"[i % 5])};
            std::size_t extra = random() % 40;
            for (std::size_t k = 0; k < extra; ++k)
                request.push_back(byte());
            ASSERT_TRUE(raw.send(mbap(static_cast<std::uint16_t>(i), request)));
            auto reply = raw.receiveFrame(1s);
            ASSERT_GE(reply.size(), 9u) << "request " << i; // every frame gets an answer or an exception
            EXPECT_EQ(reply[0] << 8 | reply[1], i);
        }
    }
    RawPort rtu(rtuPair.b()), line(vorlanePair.b());
    ASSERT_TRUE(rtu.ok() && line.ok());
    for (int i = 0; i < 100; ++i) {
        std::string junk;
        std::size_t n = 1 + random() % 30;
        for (std::size_t k = 0; k < n; ++k)
            junk.push_back(static_cast<char>(byte()));
        rtu.write(junk);
        line.write(junk);
    }
    // Let the line fall silent so the simulator resynchronises, then real requests.
    line.write("\r");
    std::this_thread::sleep_for(200ms);
    rtu.readFor(100ms);
    line.readFor(100ms);
    ASSERT_TRUE(rtu.write(bytes(withCrc(readSignOfLife))));
    EXPECT_EQ(bytes(rtu.readFor(500ms)), withCrc(signOfLifeReply));
    ASSERT_TRUE(line.write("#01\r"));
    EXPECT_EQ(line.readUntil('\r', 500ms), "#01\r");
    RawTcp again(sim.port);
    EXPECT_EQ(askTcp(again, readSignOfLife), signOfLifeReply);
    EXPECT_TRUE(sim.process->running());
}
