// Vorlane RS485 telegrams on a real pseudo-terminal pair: the protocol writes
// on one end, a scripted drive on the other end reads the raw bytes and answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocolVorlane.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Kavrel::FieldbusProtocolVorlane;

namespace {

// A bare pty transport with the serial port's framing rules (drop stale
// input, read byte by byte up to the end character, give up after a quiet
// gap), so these tests pin the protocol's bytes independently of the serial
// adapter. Its waits are generous: the scripted drive is a thread that a
// loaded machine may not run for a while, and only silence waits them out.
class PtyLine : public Kavrel::HardwareInterface {
public:
    explicit PtyLine(std::string path) { nameToOpen = std::move(path); }
    ~PtyLine() override { closeInterface(); }
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override
    {
        ++opens;
        fd = ::open(nameToOpen.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return 0;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        return 1;
    }
    std::int32_t closeInterface() override
    {
        if (fd < 0)
            return 0;
        ::close(fd);
        fd = -1;
        return 1;
    }
    std::int32_t sendMessage(const Kavrel::GenericParameters& request, Kavrel::GenericParameters& response) override
    {
        std::lock_guard<std::recursive_mutex> lock(*mutex);
        const char end = request.getText(3).empty() ? '\0' : request.getText(3)[0];
        // A late answer to an earlier request must not pass for this one's.
        if (fd >= 0)
            ::tcflush(fd, TCIFLUSH);
        if (fd < 0 || ::write(fd, request.bytes.data(), request.bytes.size()) !=
                          static_cast<ssize_t>(request.bytes.size())) {
            setError(0x1001, "write failed");
            return 0;
        }
        std::vector<std::uint8_t> got;
        for (int i = 0; i < 256; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, got.empty() ? firstByteWait : quietGap) <= 0)
                break;
            std::uint8_t c = 0;
            if (::read(fd, &c, 1) != 1)
                break;
            got.push_back(c);
            if (c == static_cast<std::uint8_t>(end))
                break;
        }
        if (got.empty() || got.back() != static_cast<std::uint8_t>(end)) {
            setError(0x1002, "no reply");
            return 0;
        }
        response.bytes = got;
        clearError();
        return 1;
    }
    int opens = 0;

private:
    static constexpr int firstByteWait = 2000; // ms
    static constexpr int quietGap = 500;       // ms
    int fd = -1;
};

// A scripted drive on the far end: records every telegram and answers with
// what the script returns (an empty answer stays silent).
class ScriptedDrive {
public:
    using Script = std::function<std::string(const std::string& telegram)>;
    ScriptedDrive(const std::string& path, Script s) : port(path), script(std::move(s))
    {
        worker = std::thread([this] {
            std::string partial; // a telegram that arrived in pieces
            for (int i = 0; i < 2000 && !stopping; ++i) {
                std::string line = partial + port.readUntil('\r', 20ms);
                if (line.empty() || line.back() != '\r') {
                    partial = line;
                    continue;
                }
                partial.clear();
                {
                    std::lock_guard<std::mutex> lock(m);
                    seen.push_back(line);
                }
                std::string answer = script(line);
                if (!answer.empty())
                    port.write(answer);
            }
        });
    }
    ~ScriptedDrive()
    {
        stopping = true;
        worker.join();
    }
    std::vector<std::string> telegrams()
    {
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }
    // The telegrams once at least `count` have come (or 10 s passed), and
    // then a quiet moment, so an extra telegram is seen too.
    std::vector<std::string> telegramsAfter(std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (telegrams().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);
        return telegrams();
    }
    bool ok() const { return port.ok(); }

private:
    kavreltest::RawPort port;
    Script script;
    std::atomic<bool> stopping{false};
    std::mutex m;
    std::vector<std::string> seen;
    std::thread worker;
};

// Drives that echo their address and hold parameters keyed "IIII SS"; the
// read reply repeats the request head and puts the value at characters 8..15.
struct DriveBank {
    std::map<std::uint32_t, std::map<std::string, std::uint32_t>> params;
    std::uint32_t current = 0;
    std::string operator()(const std::string& t)
    {
        if (t.size() == 4 && t[0] == '#') {
            current = static_cast<std::uint32_t>(std::stoul(t.substr(1, 2)));
            return params.count(current) ? t : std::string();
        }
        if (t.size() != 17 || !params.count(current))
            return {};
        const std::string key = t.substr(4, 4) + " " + t.substr(2, 2);
        if (t.compare(0, 2, "09") == 0) {
            params[current][key] = static_cast<std::uint32_t>(std::stoul(t.substr(8, 8), nullptr, 16));
            return t;
        }
        char value[9];
        std::snprintf(value, sizeof value, "%08X", params[current][key]);
        return t.substr(0, 8) + value + "\r";
    }
};

class VorlaneLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.ok());
        line = std::make_shared<PtyLine>(pair.a());
        protocol = std::make_unique<FieldbusProtocolVorlane>(line);
        ASSERT_EQ(protocol->openInterface(0), 1);
    }
    void TearDown() override
    {
        if (protocol)
            protocol->closeInterface();
    }
    kavreltest::SocatPair pair;
    std::shared_ptr<PtyLine> line;
    std::unique_ptr<FieldbusProtocolVorlane> protocol;
};

TEST_F(VorlaneLine, TelegramsAreByteExact)
{
    struct Case {
        std::function<std::int32_t(FieldbusProtocolVorlane&)> call;
        std::string expected;
        std::string answer;
    };
    std::uint32_t value = 0;
    const std::vector<Case> cases = {
        {[](auto& p) { return p.adressDevice(7); }, "#07\r", "#07\r"},
        {[](auto& p) { return p.adressDevice(31); }, "#31\r", "#31\r"},
        {[&](auto& p) { return p.readParameter(31, 2, 1, 10, value); }, "020A000100000000\r", "020A00010000ABCD\r"},
        {[&](auto& p) { return p.readParameter(31, 4, 0, 0, value); }, "0200000000000000\r", "0200000000000000\r"},
        {[](auto& p) { return p.writeParameter(31, 2, 1, 10, 0x1F); }, "090A00010000001F\r", "090A00010000001F\r"},
        {[](auto& p) { return p.writeParameter(31, 4, 0xBEEF, 0xC1, 0xDEADBEEF); }, "09C1BEEFDEADBEEF\r", "OK\r"},
    };
    for (const auto& c : cases) {
        kavreltest::RawPort drive(pair.b());
        ASSERT_TRUE(drive.ok());
        std::int32_t result = 0;
        std::thread caller([&] { result = c.call(*protocol); });
        const std::string got = drive.readUntil('\r', 10000ms);
        drive.write(c.answer);
        caller.join();
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(result, 1) << c.expected;
    }
}

TEST_F(VorlaneLine, ReadTakesValueFromCharactersEightToFifteen)
{
    ScriptedDrive drive(pair.b(), [](const std::string& t) {
        return t[0] == '#' ? t : std::string("XXXXXXXX7fFF0001trailing\r");
    });
    std::uint32_t value = 0;
    ASSERT_EQ(protocol->readParameter(1, 4, 2, 3, value), 1) << protocol->getLastErrorString();
    EXPECT_EQ(value, 0x7FFF0001u);
}

TEST_F(VorlaneLine, BadRepliesFailWithCode)
{
    struct Case {
        const char* name;
        std::string reply;      // to the read telegram
        std::uint32_t code;     // 0: any non-zero code
    };
    const std::vector<Case> cases = {
        {"short", "020A00010000123\r", FieldbusProtocolVorlane::errorReplyTooShort},
        {"only CR", "\r", FieldbusProtocolVorlane::errorReplyTooShort},
        {"not hex", "020A00010000G234\r", FieldbusProtocolVorlane::errorReplyNotHex},
        {"sign", "020A0001-0000001\r", FieldbusProtocolVorlane::errorReplyNotHex},
        {"blank", "020A0001 0000001\r", FieldbusProtocolVorlane::errorReplyNotHex},
        {"no CR", "020A000100001234", 0},
        {"silent", "", 0},
    };
    for (const auto& c : cases) {
        ScriptedDrive drive(pair.b(), [&](const std::string& t) { return t[0] == '#' ? t : c.reply; });
        std::uint32_t value = 0xAAAA5555;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_NE(protocol->readParameter(1, 2, 1, 10, value), 1) << c.name;
        // A hang guard, far above the line's own waits.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << c.name;
        if (c.code)
            EXPECT_EQ(protocol->getLastErrorCode(), c.code) << c.name;
        else
            EXPECT_NE(protocol->getLastErrorCode(), 0u) << c.name;
        EXPECT_FALSE(protocol->getLastErrorString().empty()) << c.name;
        EXPECT_EQ(value, 0xAAAA5555u) << c.name;
        // The failure forgets the address: the next access addresses again.
        EXPECT_FALSE(protocol->getAddressedDevice().has_value()) << c.name;
        EXPECT_EQ(drive.telegramsAfter(2), (std::vector<std::string>{"#01\r", "020A000100000000\r"})) << c.name;
    }
}

TEST_F(VorlaneLine, AnyReplyEndedByCrAcknowledgesTheAddressing)
{
    // Drives acknowledge with an echo of their own or with any other line.
    for (const char* answer : {"#07\r", "#05\r", "OK\r", "\r"}) {
        ScriptedDrive drive(pair.b(), [&](const std::string& t) { return t[0] == '#' ? std::string(answer) : t; });
        EXPECT_EQ(protocol->adressDevice(7), 1) << answer << protocol->getLastErrorString();
        EXPECT_EQ(protocol->getLastErrorCode(), 0u);
    }
}

TEST_F(VorlaneLine, AddressOutsideTwoDigitsIsRefusedWithoutSending)
{
    ScriptedDrive drive(pair.b(), [](const std::string& t) { return t; });
    EXPECT_EQ(protocol->adressDevice(100), 0);
    EXPECT_EQ(protocol->getLastErrorCode(), FieldbusProtocolVorlane::errorAddressRange);
    EXPECT_TRUE(drive.telegramsAfter(0).empty());
}

TEST_F(VorlaneLine, ReaddressesExactlyWhenTheDriveChanges)
{
    DriveBank bank;
    bank.params[1]["000A 01"] = 0x11;
    bank.params[3]["000A 01"] = 0x33;
    ScriptedDrive drive(pair.b(), std::ref(bank));
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> steps = {{1, 0x11}, {1, 0x11}, {3, 0x33},
                                                                        {3, 0x33}, {1, 0x11}};
    for (auto [address, expected] : steps) {
        std::uint32_t value = 0;
        ASSERT_EQ(protocol->readParameter(address, 2, 10, 1, value), 1) << protocol->getLastErrorString();
        EXPECT_EQ(value, expected) << "drive " << address;
    }
    ASSERT_EQ(protocol->writeParameter(3, 2, 10, 1, 0x99), 1);
    const std::vector<std::string> expected = {"#01\r", "0201000A00000000\r", "0201000A00000000\r",
                                               "#03\r", "0201000A00000000\r", "0201000A00000000\r",
                                               "#01\r", "0201000A00000000\r", "#03\r",
                                               "0901000A00000099\r"};
    EXPECT_EQ(drive.telegrams(), expected);
    EXPECT_EQ(bank.params[3]["000A 01"], 0x99u);
    EXPECT_EQ(bank.params[1]["000A 01"], 0x11u);
}

TEST_F(VorlaneLine, IdentificationSequenceAndTexts)
{
    DriveBank bank;
    auto& p = bank.params[4];
    p["0001 01"] = (3u << 16) | 7;          // PR307
    p["0001 02"] = (2u << 16) | 45;         // V2045
    p["0001 03"] = 0x20204B56;              // "  KV"
    p["0001 04"] = 0x58323020;              // "X20 "
    p["0005 0D"] = 4711;
    p["0001 17"] = 123456;
    ScriptedDrive drive(pair.b(), std::ref(bank));
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(protocol->readIdentification(4, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor, "Vorlane");
    EXPECT_EQ(product, "KVX20");
    EXPECT_EQ(version, "PR307V2045");
    EXPECT_EQ(motor, "00004711");
    EXPECT_EQ(serial, "00123456");
    const std::vector<std::string> expected = {
        "#04\r",
        "090A000100000001\r",
        "0201000100000000\r",
        "0203000100000000\r",
        "0204000100000000\r",
        "0201000100000000\r",
        "0202000100000000\r",
        "020D000500000000\r",
        "0217000100000000\r",
    };
    EXPECT_EQ(drive.telegrams(), expected);
    EXPECT_EQ(bank.params[4]["0001 0A"], 1u);
}

TEST_F(VorlaneLine, IdentificationStopsWhenNobodyAnswersTheAddress)
{
    DriveBank bank;
    bank.params[2]["0001 01"] = 1;
    ScriptedDrive drive(pair.b(), std::ref(bank));
    std::string vendor, product, version, motor, serial;
    EXPECT_EQ(protocol->readIdentification(9, vendor, product, version, motor, serial), 0);
    EXPECT_TRUE(vendor.empty());
    EXPECT_EQ(drive.telegramsAfter(1), std::vector<std::string>{"#09\r"});
}

TEST_F(VorlaneLine, UploadIsRefusedWithoutTraffic)
{
    ScriptedDrive drive(pair.b(), [](const std::string& t) { return t; });
    std::string data = "x";
    std::uint32_t finished = 7;
    EXPECT_EQ(protocol->initUpload(1), 0);
    EXPECT_EQ(protocol->getUpload(1, 0, 0, data, finished), static_cast<std::int32_t>(0x80004005u));
    EXPECT_EQ(protocol->finishUpload(1, 0), 0);
    EXPECT_EQ(protocol->getMaxBlockSize(), 0u);
    EXPECT_TRUE(drive.telegramsAfter(0).empty());
}

TEST(VorlanePing, OpensAddressesAndClosesAtTheGivenBaud)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    auto line = std::make_shared<PtyLine>(pair.a());
    FieldbusProtocolVorlane protocol(line);
    DriveBank bank;
    bank.params[5]["0001 01"] = 1;
    ScriptedDrive drive(pair.b(), std::ref(bank));
    EXPECT_EQ(protocol.ping(5, 38400), 1);
    EXPECT_EQ(line->getBaudrate(), 38400u);
    EXPECT_EQ(protocol.ping(6, 9600), 0);
    EXPECT_EQ(line->opens, 2);
    // The line is closed after each ping.
    EXPECT_EQ(line->closeInterface(), 0);
    EXPECT_EQ(drive.telegramsAfter(2), (std::vector<std::string>{"#05\r", "#06\r"}));
}

TEST(VorlaneLineless, AccessWithoutALineFailsWithACode)
{
    FieldbusProtocolVorlane protocol;
    std::uint32_t value = 0;
    EXPECT_NE(protocol.readParameter(1, 2, 1, 1, value), 1);
    EXPECT_NE(protocol.getLastErrorCode(), 0u);
}

} // namespace
