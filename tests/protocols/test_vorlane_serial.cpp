// Vorlane RS485 through the real serial port: the protocol on one end of a
// socat pair, opened with the line settings the Vorlane interface hands over,
// and drives played on the other end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "hardware/HardwareInterfaceSerialPort.h"
#include "protocols/FieldbusProtocolVorlane.h"
#include "support/TestSupport.h"
#include "support/VorlanePeer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kavrel::FieldbusProtocolVorlane;
using Kavrel::HardwareInterfaceSerialPort;
using kavreltest::VorlanePeer;

namespace {

std::shared_ptr<HardwareInterfaceSerialPort> vorlanePort(const std::string& path)
{
    auto port = std::make_shared<HardwareInterfaceSerialPort>(path);
    port->setBaudrate(19200);
    Kavrel::GenericParameters format;
    format.setText(0, "E");
    format.setText(1, "7");
    format.setText(2, "1");
    port->setParameters(format);
    return port;
}

class VorlaneSerial : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.ok());
        port = vorlanePort(pair.a());
        protocol = std::make_unique<FieldbusProtocolVorlane>(port);
        ASSERT_EQ(protocol->openInterface(0), 1) << port->getLastErrorText();
    }
    kavreltest::SocatPair pair;
    std::shared_ptr<HardwareInterfaceSerialPort> port;
    std::unique_ptr<FieldbusProtocolVorlane> protocol;
};

TEST_F(VorlaneSerial, TelegramsOfTheExamplesAreByteExact)
{
    struct Case {
        std::function<std::int32_t(FieldbusProtocolVorlane&, std::uint32_t&)> call;
        std::string wire;
        std::string answer;
        std::uint32_t value; // read back, where the call reads
    };
    const std::vector<Case> cases = {
        {[](auto& p, auto&) { return p.adressDevice(5); }, "#05\r", "#05\r", 0},
        {[](auto& p, auto&) { return p.adressDevice(7); }, "#07\r", "#07\r", 0},
        {[](auto& p, auto&) { return p.adressDevice(31); }, "#31\r", "#31\r", 0},
        {[](auto& p, auto& v) { return p.readParameter(31, 2, 1, 10, v); }, "020A000100000000\r",
         "020A00010000BEEF\r", 0xBEEF},
        {[](auto& p, auto&) { return p.writeParameter(31, 2, 1, 10, 0x1F); }, "090A00010000001F\r",
         "090A00010000001F\r", 0},
        {[](auto& p, auto& v) { return p.readParameter(31, 4, 0, 0, v); }, "0200000000000000\r",
         "02000000FFFFFFFE\r", 0xFFFFFFFE},
    };
    kavreltest::RawPort drive(pair.b());
    ASSERT_TRUE(drive.ok());
    for (const auto& c : cases) {
        std::uint32_t value = 0;
        std::int32_t result = 0;
        std::thread caller([&] { result = c.call(*protocol, value); });
        const std::string got = drive.readUntil('\r', 1000ms);
        drive.write(c.answer);
        caller.join();
        EXPECT_EQ(got, c.wire);
        EXPECT_EQ(result, 1) << c.wire << ": " << protocol->getLastErrorString();
        EXPECT_EQ(value, c.value) << c.wire;
        // Nothing else went out: no extra addressing, no trailing bytes.
        EXPECT_EQ(drive.readFor(30ms), "") << c.wire;
    }
}

TEST_F(VorlaneSerial, FaultsFailWithTheirCodeAndNeverHang)
{
    struct Case {
        const char* name;
        VorlanePeer::Fault fault;
        std::uint32_t code;
        bool parameterTelegramSent;
    };
    const std::vector<Case> cases = {
        {"silent drive", VorlanePeer::Fault::silent, HardwareInterfaceSerialPort::errorNoReply, true},
        {"reply shorter than sixteen characters", VorlanePeer::Fault::shortReply,
         FieldbusProtocolVorlane::errorReplyTooShort, true},
        {"non-hex characters", VorlanePeer::Fault::notHex, FieldbusProtocolVorlane::errorReplyNotHex, true},
        {"reply without CR", VorlanePeer::Fault::noEnd, HardwareInterfaceSerialPort::errorNoEndCharacter, false},
    };
    VorlanePeer drives(pair.b());
    ASSERT_TRUE(drives.ok());
    // One drive per case, so each case starts by addressing its own drive.
    std::uint32_t address = 2;
    for (const auto& c : cases) {
        ++address;
        const std::string select = "#0" + std::to_string(address) + "\r";
        drives.addDrive(address);
        drives.setParameter(address, 1, 10, 0x1234);
        drives.setFault(c.fault);
        drives.clearTelegrams();
        std::uint32_t value = 0xAAAA5555;
        const auto start = Clock::now();
        EXPECT_NE(protocol->readParameter(address, 2, 1, 10, value), 1) << c.name;
        EXPECT_LT(Clock::now() - start, 2s) << c.name;
        EXPECT_EQ(protocol->getLastErrorCode(), c.code) << c.name << ": " << protocol->getLastErrorString();
        EXPECT_FALSE(protocol->getLastErrorString().empty()) << c.name;
        if (c.code == HardwareInterfaceSerialPort::errorNoReply || c.code == HardwareInterfaceSerialPort::errorNoEndCharacter) {
            // A failed exchange says what the port said, nothing of its own.
            EXPECT_EQ(protocol->getLastErrorString(), port->getLastErrorText()) << c.name;
        }
        EXPECT_EQ(value, 0xAAAA5555u) << c.name;
        std::this_thread::sleep_for(50ms);
        std::vector<std::string> expected{select};
        if (c.parameterTelegramSent)
            expected.push_back("020A000100000000\r");
        EXPECT_EQ(drives.telegrams(), expected) << c.name;
        // The drive recovers; the line must too, addressing again first.
        drives.setFault(VorlanePeer::Fault::none);
        drives.clearTelegrams();
        EXPECT_EQ(protocol->readParameter(address, 2, 1, 10, value), 1) << c.name << ": "
                                                                        << protocol->getLastErrorString();
        EXPECT_EQ(value, 0x1234u) << c.name;
        EXPECT_EQ(drives.telegrams(), (std::vector<std::string>{select, "020A000100000000\r"})) << c.name;
    }
}

TEST_F(VorlaneSerial, BaudRateDetectionFindsTheDriveAtTheFirstRateTried)
{
    VorlanePeer drives(pair.b());
    drives.addDrive(2);
    protocol->closeInterface();
    // A pseudo-terminal answers at any rate, so the highest one (tried first) wins.
    EXPECT_EQ(protocol->detectBaudrate(2), 2);
    EXPECT_EQ(port->getBaudrate(), 38400u);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(protocol->detectBaudrate(9), 0) << "nobody at 9";
    EXPECT_EQ(drives.telegrams(), (std::vector<std::string>{"#02\r", "#09\r", "#09\r", "#09\r"}));
}

// Points the last-settings file into a temp folder for one test.
class SettingsFolder {
public:
    SettingsFolder() : previous(Kavrel::CommunicationManager::getInstance().getLastSettingsPath())
    {
        Kavrel::CommunicationManager::getInstance().setLastSettingsPath(dir.str());
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName("");
    }
    ~SettingsFolder()
    {
        Kavrel::CommunicationManager::getInstance().setLastSettingsPath(previous);
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName("");
    }

private:
    kavreltest::TempDir dir;
    std::string previous;
};

TEST(VorlaneSerialBus, TwoDrivesOnOneInterfaceAreEachAddressedBeforeTheirTelegrams)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    SettingsFolder settings;
    auto ports = std::make_unique<kavreltest::ScopedEnv>("KAVREL_SERIAL_PORTS", pair.a());
    Kavrel::FieldbusInterfaceSerialPort bus("VorlaneRS485", false);
    ports.reset(); // the port list is read when the interface is made
    const auto index = bus.findInterfaceByNameToOpen(pair.a());
    ASSERT_GE(index, 0);
    bus.setInterfaceIndex(index);
    ASSERT_TRUE(bus.setBaudrateText("19200"));
    bus.setNodeGuardEnabled(0);

    VorlanePeer drives(pair.b());
    ASSERT_TRUE(drives.ok());
    for (std::uint32_t id : {4u, 9u}) {
        drives.addDrive(id);
        drives.setParameter(id, 1, 3, 0x20204B56); // "  KV"
        drives.setParameter(id, 1, 4, 0x58323020); // "X20 "
        drives.setParameter(id, 1, 23, 1000 + id);
        drives.setParameter(id, 7, 2, 0x100 * id);
    }
    std::unique_ptr<Kavrel::FieldbusDevice> four, nine;
    ASSERT_EQ(bus.connectDevice(4, four), 0);
    ASSERT_EQ(bus.connectDevice(9, nine), 0);
    ASSERT_TRUE(four && nine);
    EXPECT_EQ(four->getOriginalVendorName(), "Vorlane");
    EXPECT_EQ(four->getOriginalProductCode(), "KVX20");
    EXPECT_EQ(nine->getSerialNumber(), "00001009");
    // The interface handed the Vorlane character format to the port it opened.
    auto hw = bus.getChosenHardwareInterface();
    ASSERT_TRUE(hw);
    EXPECT_EQ(hw->getParameters().getText(0) + "," + hw->getParameters().getText(1) + "," +
                  hw->getParameters().getText(2),
              "E,7,1");
    EXPECT_EQ(hw->getBaudrate(), 19200u);

    drives.clearTelegrams();
    std::uint32_t value = 0;
    ASSERT_EQ(four->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x400u);
    ASSERT_EQ(nine->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x900u);
    ASSERT_EQ(nine->setParameter(2, 7, 2, 0x999), 1);
    ASSERT_EQ(four->getParameter(2, 7, 2, value), 1);
    EXPECT_EQ(value, 0x400u) << "the write must have reached drive 9 only";
    EXPECT_EQ(drives.parameter(9, 7, 2), 0x999u);
    EXPECT_EQ(drives.telegrams(), (std::vector<std::string>{"#04\r", "0202000700000000\r", "#09\r",
                                                            "0202000700000000\r", "0902000700000999\r", "#04\r",
                                                            "0202000700000000\r"}));

    // From two threads at once each drive still gets only its own telegrams.
    drives.clearTelegrams();
    auto hammer = [](Kavrel::FieldbusDevice& device, std::uint32_t expected, int& good) {
        for (int i = 0; i < 10; ++i) {
            std::uint32_t v = 0;
            if (device.getParameter(2, 7, 2, v) == 1 && v == expected)
                ++good;
        }
    };
    int goodFour = 0, goodNine = 0;
    std::thread other([&] { hammer(*nine, 0x999, goodNine); });
    hammer(*four, 0x400, goodFour);
    other.join();
    EXPECT_EQ(goodFour, 10);
    EXPECT_EQ(goodNine, 10);
    nine.reset();
    four.reset();
}

} // namespace
