// The PEAK and IXXAT adapters on their stand-in libraries, through
// kavrel-canbus to a CANopen drive written on python-can's socketcand client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "hardware/HardwareInterfaceIxxatCan.h"
#include "hardware/HardwareInterfacePeakCan.h"
#include "protocols/FieldbusProtocolCanOpenQta.h"
#include "support/TestSupport.h"
#include "tools/canopen_peers.h"

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t node = 4;

// A bus at 125 kbit/s with the python drive and one at 250 kbit/s with another.
class CanBusWithDrives : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.ok()) << "kavrel-canbus did not start";
        drive = std::make_unique<cantest::PythonDrive>(bus.port(), "can0", node);
        slowDrive = std::make_unique<cantest::PythonDrive>(bus.port(), "can1", node);
        ASSERT_TRUE(drive->ok() && slowDrive->ok()) << "python-can drive did not start";
        env = std::make_unique<kavreltest::ScopedEnv>("KAVREL_CAN", bus.endpoint("can0") + "," + bus.endpoint("can1"));
    }
    // The adapter of the kind under test on the bus at position (0 = can0).
    std::shared_ptr<Kavrel::HardwareInterface> adapter(const std::string& kind, std::size_t position)
    {
        Kavrel::HardwareInterfaceList list;
        if (kind == "peak")
            Kavrel::HardwareInterfacePeakCan().getAvailableInterfaces(list);
        else
            Kavrel::HardwareInterfaceIxxatCan().getAvailableInterfaces(list);
        return position < list.size() ? list[position] : nullptr;
    }

    cantest::CanBus bus{{"can0=125000", "can1=250000"}};
    std::unique_ptr<cantest::PythonDrive> drive, slowDrive;
    std::unique_ptr<kavreltest::ScopedEnv> env;
};

class CanAdapters : public CanBusWithDrives, public ::testing::WithParamInterface<std::string> {};

TEST_P(CanAdapters, IdentifyReadAndWriteAPythonCanDriveAndNeverTakeALateReplyForTheNextAnswer)
{
    auto hw = adapter(GetParam(), 0);
    ASSERT_TRUE(hw);
    EXPECT_EQ(hw->getNumber(), GetParam() == "peak" ? 1u : 100u);
    hw->setBaudrate(125);
    Kavrel::FieldbusProtocolCanOpenQta qta(hw);
    ASSERT_EQ(qta.openInterface(node), 1) << hw->getLastErrorText();
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(qta.readIdentification(node, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + serial, "Vorlane GmbH|PYDRV-01|P314V2007|591733573");
    ASSERT_EQ(qta.writeParameter(node, 4, 2, 5, 0x1234567), 1);
    std::uint32_t value = 0;
    ASSERT_EQ(qta.readParameter(node, 2, 2, 5, value), 1);
    EXPECT_EQ(value, 0x4567u); // a two-byte object keeps the low bytes
    EXPECT_EQ(qta.writeParameter(node, 4, 1, 1, 1), 0);
    EXPECT_EQ(qta.getLastErrorCode(), 0x06010002u);
    EXPECT_EQ(qta.readParameter(node + 1, 4, 1, 1, value), 0);
    EXPECT_EQ(qta.getLastErrorCode(), 0x1101u);
    EXPECT_EQ(hw->getLastErrorCode(), 0x1507u);
    // The drive answers 2.9 too late; that answer must not pass for the next one's.
    EXPECT_EQ(qta.readParameter(node, 4, 2, 9, value), 0);
    EXPECT_EQ(qta.getLastErrorCode(), 0x1101u);
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(qta.readParameter(node, 4, 1, 2, value), 1);
    EXPECT_EQ(value, (2u << 16) | 7);
    qta.closeInterface();
}

TEST_P(CanAdapters, RatesAreIsolatedAutoFindsTheDriveAt250kAndADeadServerFailsFast)
{
    auto hw = adapter(GetParam(), 1);
    ASSERT_TRUE(hw);
    Kavrel::FieldbusProtocolCanOpenQta qta(hw);
    for (std::uint32_t kbits : {500u, 125u}) {
        hw->setBaudrate(kbits);
        ASSERT_EQ(qta.openInterface(node), 1);
        std::uint32_t value = 0;
        EXPECT_EQ(qta.readParameter(node, 4, 1, 1, value), 0) << kbits;
        qta.closeInterface();
    }
    EXPECT_EQ(qta.detectBaudrate(node), 1); // "250k", after 500k found nothing
    hw->setBaudrate(250);
    ASSERT_EQ(qta.openInterface(node), 1);
    std::uint32_t value = 0;
    EXPECT_EQ(qta.readParameter(node, 4, 1, 1, value), 1);
    EXPECT_EQ(value, (3u << 16) | 14);
    qta.closeInterface();
    // A rate outside the table is refused by name.
    hw->setBaudrate(800);
    EXPECT_EQ(hw->openInterface(), 0);
    EXPECT_EQ(hw->getLastErrorCode(), 0x1502u) << hw->getLastErrorText();
    // A dead server fails each read within a reply time-out, and the next open.
    hw->setBaudrate(250);
    ASSERT_EQ(qta.openInterface(node), 1);
    bus.stop();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(qta.readParameter(node, 4, 1, 1, value), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(qta.getLastErrorCode(), 0x1101u);
    EXPECT_NE(hw->getLastErrorCode(), 0u);
    qta.closeInterface();
    EXPECT_EQ(hw->openInterface(), 0);
    EXPECT_EQ(hw->getLastErrorCode(), 0x1501u);
    EXPECT_FALSE(hw->getLastErrorText().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, CanAdapters, ::testing::Values("peak", "ixxat"));

TEST_F(CanBusWithDrives, TwoInterfacesOnOneBusNeverCrossReplies)
{
    auto peak = adapter("peak", 0);
    auto ixxat = adapter("ixxat", 0);
    ASSERT_TRUE(peak && ixxat);
    EXPECT_EQ(peak->getMutex(), ixxat->getMutex());
    peak->setBaudrate(125);
    ixxat->setBaudrate(125);
    Kavrel::FieldbusProtocolCanOpenQta first(peak), second(ixxat);
    ASSERT_EQ(first.openInterface(node), 1);
    ASSERT_EQ(second.openInterface(node), 1);
    std::atomic<int> wrong{0}, failed{0};
    auto reader = [&](Kavrel::FieldbusProtocolCanOpenQta& qta, std::uint16_t sub, std::uint32_t expected) {
        for (int i = 0; i < 60; ++i) {
            std::uint32_t value = 0;
            const bool read = qta.readParameter(node, 4, 1, sub, value) == 1;
            failed += !read;
            wrong += read && value != expected;
        }
    };
    std::thread a(reader, std::ref(first), 1, (3u << 16) | 14);
    std::thread b(reader, std::ref(second), 2, (2u << 16) | 7);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failed, 0);
    first.closeInterface();
    second.closeInterface();
}

} // namespace
