// kavrel-drive-sim on the Vorlane line: the raw characters of every reply,
// read on the other end of a socat pair.
#include <gtest/gtest.h>
#include "test_drive_sim_support.h"

using namespace simtest;
using kavreltest::RawPort;
using kavreltest::SocatPair;

namespace {

struct Line {
    SocatPair pair;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<RawPort> port;
    explicit Line(std::vector<std::string> extra = {})
    {
        if (!pair.ok())
            return;
        std::vector<std::string> args{"--vorlane-serial", pair.a(), "--ids", "1-3"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<Sim>(args);
        port = std::make_unique<RawPort>(pair.b());
    }
    bool ok() const { return sim && sim->ready && port->ok(); }
    // One telegram out, the reply up to and with its CR back ("" when silent).
    std::string ask(const std::string& telegram, std::chrono::milliseconds wait = 500ms)
    {
        port->write(telegram);
        return port->readUntil('\r', wait);
    }
};

} // namespace

TEST(DriveSimVorlane, TelegramsAndTheirReplies)
{
    Line line;
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(line.sim->lines[0], "vorlane-serial " + line.pair.a());
    // Nobody answers before a drive is selected.
    EXPECT_EQ(line.ask("0201000100000000\r", 200ms), "");
    struct Case {
        const char* telegram;
        const char* reply;
    } table[] = {
        {"#02\r", "#02\r"},
        {"0217000100000000\r", "0217000100BC6102\r"},     // serial number of drive 2
        {"0201000100000000\r", "0201000100030007\r"},     // sign of life
        {"0203000100000000\r", "0203000156445820\r"},     // product code characters "VDX "
        {"0204000100000000\r", "0204000132303430\r"},     // "2040"
        {"020D000500000000\r", "020D000500001267\r"},     // motor type 4711
        {"090A00010000001F\r", "090A00010000001F\r"},     // write echoes
        {"020A000100000000\r", "020A00010000001F\r"},
        {"0205008100000000\r", "!02\r"},                  // no parameter 129.5
        {"0917000100000001\r", "!03\r"},                  // read-only
        {"020a000100000000\r", "!01\r"},                  // lower case is not a telegram
        {"0201000100\r", "!01\r"},                        // too short
        {"0301000100000000\r", "!01\r"},                  // unknown command
        {"0201000100000001\r", "!03\r"},                  // a read carries zeros in the value field
        {"#01\r", "#01\r"},
        {"020A000100000000\r", "020A000100000000\r"},     // drive 1 kept its own 1.10
        {"#31\r", ""},                                    // not on the line: silence...
        {"0201000100000000\r", ""},                       // ...and nobody is selected any more
        {"#3\r", ""},
        {"#03\r", "#03\r"},
    };
    for (const auto& t : table)
        EXPECT_EQ(line.ask(t.telegram, *t.reply ? 500ms : 200ms), t.reply) << t.telegram;
}

TEST(DriveSimVorlane, WritesThroughModbusAreSeenOnTheLineAndBack)
{
    // Both protocols in one process share the drives.
    SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--vorlane-serial", pair.a(), "--tcp", "127.0.0.1:0", "--ids", "1"});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.lines.size(), 3u);
    EXPECT_EQ(sim.lines[1], "vorlane-serial " + pair.a());
    RawPort port(pair.b());
    ASSERT_TRUE(port.write("#01\r"));
    EXPECT_EQ(port.readUntil('\r', 500ms), "#01\r");
    RawTcp tcp(sim.port);
    ASSERT_TRUE(tcp.send(mbap(1, {1, 0x10, 0x02, 0x00, 0, 2, 4, 0xDE, 0xAD, 0xBE, 0xEF})));
    ASSERT_EQ(tcp.receiveFrame(2s).size(), 12u);
    ASSERT_TRUE(port.write("0200000200000000\r"));
    EXPECT_EQ(port.readUntil('\r', 500ms), "02000002DEADBEEF\r");
    // And the other way round.
    ASSERT_TRUE(port.write("0900000212345678\r"));
    EXPECT_EQ(port.readUntil('\r', 500ms), "0900000212345678\r");
    ASSERT_TRUE(tcp.send(mbap(2, {1, 0x03, 0x02, 0x00, 0, 2})));
    auto f = tcp.receiveFrame(2s);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 6, f.end()), (std::vector<std::uint8_t>{1, 3, 4, 0x12, 0x34, 0x56, 0x78}));
}
