// Vorlane RS485 through the real serial port on a pseudo-terminal, opened with
// the character format the Vorlane interface hands over; the test plays the
// drives on the master side.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "../hardware/LinePeers.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "hardware/HardwareInterfaceSerialPort.h"
#include "protocols/FieldbusProtocolVorlane.h"
#include "support/TestSupport.h"

using Kavrel::FieldbusProtocolVorlane;
using Kavrel::HardwareInterfaceSerialPort;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Drives that echo their address (absent ones stay silent) and hold
// parameters keyed "IIII SS": a read is answered with its head and the value,
// a write is stored and echoed. A set fault answers parameter telegrams.
struct DriveBank {
    std::map<std::uint32_t, std::map<std::string, std::uint32_t>> params;
    std::optional<std::string> fault;
    std::uint32_t current = 0;
    std::string operator()(const std::string& t)
    {
        if (t.size() == 4 && t[0] == '#') {
            current = static_cast<std::uint32_t>(std::stoul(t.substr(1, 2)));
            return params.count(current) ? t : std::string();
        }
        if (fault)
            return *fault;
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
        ASSERT_TRUE(drive.ok());
        port->setBaudrate(19200);
        port->setParameters(kavreltest::texts({{0, "E"}, {1, "7"}, {2, "1"}}));
        ASSERT_EQ(protocol.openInterface(0), 1) << port->getLastErrorText();
    }
    // The bank answers on the peer's thread; the test changes it under this lock.
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(bankLock); }
    void serveBank()
    {
        drive.serve([this](const std::string& t) {
            std::lock_guard<std::mutex> lock(bankLock);
            return bank(t);
        });
    }
    std::mutex bankLock;
    DriveBank bank;
    kavreltest::PtyPeer drive; // after the bank: its thread goes first
    std::shared_ptr<HardwareInterfaceSerialPort> port = std::make_shared<HardwareInterfaceSerialPort>(drive.path());
    FieldbusProtocolVorlane protocol{port};
};

// Calls on drive 31 (addressed first); their result and the value read.
using Call = std::function<std::string(FieldbusProtocolVorlane&)>;
Call address(std::uint32_t a)
{
    return [=](auto& p) { return std::to_string(p.adressDevice(a)); };
}
Call read(std::uint32_t size, std::uint16_t index, std::uint16_t subindex)
{
    return [=](auto& p) {
        std::uint32_t v = 0;
        const auto r = p.readParameter(31, size, index, subindex, v);
        return std::to_string(r) + " " + std::to_string(v);
    };
}
Call write(std::uint32_t size, std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    return [=](auto& p) { return std::to_string(p.writeParameter(31, size, index, subindex, value)); };
}

TEST_F(VorlaneLine, TelegramsAreByteExactAndAnyReplyEndedByCrAcknowledges)
{
    const struct { Call call; const char *wire, *answer, *outcome; } cases[] = {
        {address(5), "#05\r", "#05\r", "1"},
        {address(7), "#07\r", "#05\r", "1"},
        {address(7), "#07\r", "OK\r", "1"},
        {address(31), "#31\r", "\r", "1"},
        {read(2, 1, 10), "020A000100000000\r", "020A00010000BEEF\r", "1 48879"},
        {read(4, 0, 0), "0200000000000000\r", "02000000FFFFFFFE\r", "1 4294967294"},
        // The value is characters 8 to 15, in either case; the rest is not judged.
        {read(4, 2, 3), "0203000200000000\r", "XXXXXXXX7fFF0001trailing\r", "1 2147418113"},
        {write(2, 1, 10, 0x1F), "090A00010000001F\r", "090A00010000001F\r", "1"},
        {write(4, 0xBEEF, 0xC1, 0xDEADBEEF), "09C1BEEFDEADBEEF\r", "OK\r", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        std::string outcome;
        std::thread caller([&] { outcome = c.call(protocol); });
        const std::string got = drive.readUntil('\r', 10s);
        drive.write(c.answer);
        caller.join();
        EXPECT_EQ(got, c.wire);
        EXPECT_EQ(outcome, c.outcome) << protocol.getLastErrorString();
        EXPECT_EQ(drive.readFor(30ms), "") << "no extra addressing, no trailing bytes";
    }
}

TEST_F(VorlaneLine, BadRepliesFailWithCodesAndTheNextAccessAddressesAgain)
{
    using V = FieldbusProtocolVorlane;
    using S = HardwareInterfaceSerialPort;
    const struct { const char* name; std::string reply; std::uint32_t code; } cases[] = {
        {"short", "020A00010000123\r", V::errorReplyTooShort}, {"only CR", "\r", V::errorReplyTooShort},
        {"not hex", "020A00010000G234\r", V::errorReplyNotHex}, {"sign", "020A0001-0000001\r", V::errorReplyNotHex},
        {"blank", "020A0001 0000001\r", V::errorReplyNotHex},   {"no CR", "020A000100001234", S::errorNoEndCharacter},
        {"silent", "", S::errorNoReply},
    };
    // A drive of its own for each case, so that each case starts by addressing.
    for (std::uint32_t address = 1; address <= std::size(cases); ++address)
        bank.params[address]["0001 0A"] = 0x1234;
    serveBank();
    std::uint32_t address = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string select = "#0" + std::to_string(address) + "\r";
        hold(), bank.fault = c.reply;
        drive.clear();
        std::uint32_t value = 0xAAAA5555;
        EXPECT_NE(protocol.readParameter(address, 2, 1, 10, value), 1);
        EXPECT_EQ(protocol.getLastErrorCode(), c.code) << protocol.getLastErrorString();
        EXPECT_FALSE(protocol.getLastErrorString().empty());
        // A failed exchange carries the port's text, nothing added.
        EXPECT_TRUE(c.code >= V::errorReplyTooShort || protocol.getLastErrorString() == port->getLastErrorText());
        EXPECT_EQ(value, 0xAAAA5555u);
        EXPECT_FALSE(protocol.getAddressedDevice().has_value()) << "a failure forgets the address";
        hold(), bank.fault.reset();
        EXPECT_EQ(protocol.readParameter(address, 2, 1, 10, value), 1) << protocol.getLastErrorString();
        EXPECT_EQ(value, 0x1234u);
        EXPECT_EQ(drive.requests(4), (Strings{select, "020A000100000000\r", select, "020A000100000000\r"}));
        ++address;
    }
}

TEST_F(VorlaneLine, RefusedRequestsSendNothingAndBaudRateDetectionLeavesTheLineClosed)
{
    EXPECT_EQ(protocol.adressDevice(100), 0);
    EXPECT_EQ(protocol.getLastErrorCode(), FieldbusProtocolVorlane::errorAddressRange);
    std::string data = "x";
    std::uint32_t finished = 7;
    EXPECT_EQ(protocol.initUpload(1), 0);
    EXPECT_EQ(protocol.getUpload(1, 0, 0, data, finished), static_cast<std::int32_t>(0x80004005u));
    EXPECT_EQ(protocol.finishUpload(1, 0), 0);
    EXPECT_EQ(drive.readFor(100ms), "");
    FieldbusProtocolVorlane lineless;
    std::uint32_t value = 0;
    EXPECT_NE(lineless.readParameter(1, 2, 1, 1, value), 1);
    EXPECT_EQ(lineless.getLastErrorCode(), FieldbusProtocolVorlane::errorNoInterface);

    bank.params[2]["0001 01"] = 1;
    serveBank();
    protocol.closeInterface();
    // A pseudo-terminal answers at any rate, so the highest one (tried first) wins.
    EXPECT_EQ(protocol.detectBaudrate(2), 2);
    EXPECT_EQ(port->getBaudrate(), 38400u);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(protocol.detectBaudrate(9), 0) << "nobody at 9";
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(drive.requests(4), (Strings{"#02\r", "#09\r", "#09\r", "#09\r"}));
    // Nobody answers the address: nothing more is asked.
    ASSERT_EQ(protocol.openInterface(0), 1);
    drive.clear();
    std::string vendor, product, version, motor, serial;
    EXPECT_EQ(protocol.readIdentification(9, vendor, product, version, motor, serial), 0);
    EXPECT_EQ(drive.requests(1), Strings{"#09\r"});
}

// Points the last-settings file into a temp folder for one test.
class SettingsFolder {
public:
    SettingsFolder() : previous(manager().getLastSettingsPath()) { manager().setLastSettingsPath(dir.str()); }
    ~SettingsFolder() { manager().setLastSettingsPath(previous); }

private:
    static Kavrel::CommunicationManager& manager() { return Kavrel::CommunicationManager::getInstance(); }
    kavreltest::TempDir dir;
    std::string previous;
};

TEST_F(VorlaneLine, TwoDrivesOnOneInterfaceAreEachAddressedBeforeTheirTelegrams)
{
    protocol.closeInterface();
    SettingsFolder settings;
    auto ports = std::make_unique<kavreltest::ScopedEnv>("KAVREL_SERIAL_PORTS", drive.path());
    Kavrel::FieldbusInterfaceSerialPort bus("VorlaneRS485", false);
    ports.reset(); // the port list is read when the interface is made
    const auto index = bus.findInterfaceByNameToOpen(drive.path());
    ASSERT_GE(index, 0);
    bus.setInterfaceIndex(index);
    ASSERT_TRUE(bus.setBaudrateText("19200"));
    bus.setNodeGuardEnabled(0);
    for (std::uint32_t id : {4u, 9u}) {
        // Version PR307V2045, product "  KV" "X20 ".
        hold(), bank.params[id] = {{"0001 01", (3u << 16) | 7}, {"0001 02", (2u << 16) | 45}, {"0001 03", 0x20204B56},
                                   {"0001 04", 0x58323020}, {"0005 0D", 4711}, {"0001 17", 1000 + id},
                                   {"0007 02", 0x100 * id}};
    }
    serveBank();
    std::unique_ptr<Kavrel::FieldbusDevice> four, nine;
    ASSERT_EQ(bus.connectDevice(4, four), 0);
    EXPECT_EQ(drive.requests(9), (Strings{"#04\r", "090A000100000001\r", "0201000100000000\r", "0203000100000000\r",
                                          "0204000100000000\r", "0201000100000000\r", "0202000100000000\r",
                                          "020D000500000000\r", "0217000100000000\r"}));
    ASSERT_EQ(bus.connectDevice(9, nine), 0);
    ASSERT_TRUE(four && nine);
    EXPECT_EQ(four->getOriginalVendorName() + "|" + four->getOriginalProductCode() + "|" + four->getDeviceVersion() + "|" +
                  four->getMotorType() + "|" + four->getSerialNumber(),
              "Vorlane|KVX20|PR307V2045|00004711|00001004");
    EXPECT_EQ(nine->getSerialNumber(), "00001009");
    auto hw = bus.getChosenHardwareInterface();
    ASSERT_TRUE(hw);
    const auto& p = hw->getParameters();
    EXPECT_EQ(p.getText(0) + "," + p.getText(1) + "," + p.getText(2), "E,7,1");
    EXPECT_EQ(hw->getBaudrate(), 19200u);

    drive.clear();
    std::uint32_t value = 0;
    ASSERT_EQ(four->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x400u);
    ASSERT_EQ(nine->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x900u);
    ASSERT_EQ(nine->setParameter(2, 7, 2, 0x999), 1);
    ASSERT_EQ(four->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x400u) << "the write must have reached drive 9 only";
    EXPECT_EQ(drive.requests(7), (Strings{"#04\r", "0202000700000000\r", "#09\r", "0202000700000000\r",
                                          "0902000700000999\r", "#04\r", "0202000700000000\r"}));
    EXPECT_EQ((hold(), bank.params[9]["0007 02"]), 0x999u);

    // From two threads at once each drive still gets only its own telegrams.
    auto hammer = [](Kavrel::FieldbusDevice& device, std::uint32_t expected, int& good) {
        for (int i = 0; i < 10; ++i) {
            std::uint32_t v = 0;
            good += device.getParameter(2, 7, 2, v) == 1 && v == expected;
        }
    };
    int goodFour = 0, goodNine = 0;
    std::thread other([&] { hammer(*nine, 0x999, goodNine); });
    hammer(*four, 0x400, goodFour);
    other.join();
    EXPECT_EQ(goodFour, 10);
    EXPECT_EQ(goodNine, 10);
}

} // namespace
