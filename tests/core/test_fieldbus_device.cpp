// The device's access rules: what a failed access does to later ones, how a
// successful one postpones node guarding, the node-guard interval written to
// the drive, and the texts made from identification and date.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "core/FieldbusDevice.h"
#include "test_fieldbus_fakes.h"

using namespace kavreltest;
using namespace std::chrono_literals;
using Kavrel::FieldbusDevice;

namespace {

// One drive connected without node guarding, so nothing else touches the bus.
struct OneDrive {
    SettingsFile settings;
    FakeInterface bus;
    std::unique_ptr<FieldbusDevice> device;
    explicit OneDrive(std::uint32_t id = 1)
    {
        bus.setNodeGuardEnabled(0);
        bus.fake->addDrive(id);
        EXPECT_EQ(bus.connectDevice(id, device), 0);
    }
};

} // namespace

TEST(FieldbusDevice, FailedAccessDisconnectsUnlessErrorsAreIgnored)
{
    for (std::uint32_t ignore : {0u, 1u}) {
        SCOPED_TRACE(ignore);
        OneDrive drive;
        ASSERT_TRUE(drive.device);
        drive.device->setIgnoreErrors(ignore);
        drive.bus.fake->silence(1);
        std::uint32_t value = 0;
        EXPECT_EQ(drive.device->getParameter(4, 2, 3, value), 0);
        EXPECT_EQ(drive.device->getLastErrorCode(), FakeProtocol::errorSilent);
        EXPECT_EQ(drive.device->getLastErrorString(), "no answer");

        drive.bus.fake->silence(1, false);
        drive.bus.fake->setValue(1, 2, 3, 77);
        const int readsBefore = drive.bus.fake->readsOf(1);
        const std::int32_t again = drive.device->getParameter(4, 2, 3, value);
        if (ignore == 0) {
            EXPECT_EQ(again, 0);
            EXPECT_EQ(drive.bus.fake->readsOf(1), readsBefore) << "a disconnected device reached the bus";
            EXPECT_EQ(drive.device->setParameter(4, 2, 3, 5), 0);
            EXPECT_EQ(drive.device->isConnected(), 0u);
        } else {
            EXPECT_EQ(again, 1);
            EXPECT_EQ(value, 77u);
            EXPECT_EQ(drive.device->isConnected(), 1u);
        }
    }
}

TEST(FieldbusDevice, WriteThenReadBack)
{
    OneDrive drive;
    ASSERT_EQ(drive.device->setParameter(2, 30, 4, 0xBEEF), 1);
    std::uint32_t value = 0;
    ASSERT_EQ(drive.device->getParameter(2, 30, 4, value), 1);
    EXPECT_EQ(value, 0xBEEFu);
    EXPECT_EQ(drive.device->getLastErrorCode(), 0u);
}

TEST(FieldbusDevice, NodeGuardIntervalHalvedAndWrittenToTheDrive)
{
    struct Row {
        std::uint32_t interval;
        std::chrono::nanoseconds period;
    };
    for (const Row& row : {Row{1000, 500ms}, Row{3, 1ms}, Row{5000, 2500ms}}) {
        SCOPED_TRACE(row.interval);
        OneDrive drive;
        EXPECT_EQ(drive.device->setNodeGuardInterval(row.interval), 1);
        EXPECT_EQ(drive.device->getNodeGuardPeriod(), row.period);
        const auto writes = drive.bus.fake->writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().index, 22);
        EXPECT_EQ(writes.back().sub, 6);
        EXPECT_EQ(writes.back().size, 2u);
        EXPECT_EQ(writes.back().value, row.interval);
    }
}

TEST(FieldbusDevice, RefusedIntervalIsAFailureWithTheError)
{
    OneDrive drive;
    drive.bus.fake->silence(1);
    EXPECT_EQ(drive.device->setNodeGuardInterval(1000), 0);
    EXPECT_EQ(drive.device->getLastErrorCode(), FakeProtocol::errorSilent);
}

TEST(FieldbusDevice, SuccessfulAccessPostponesTheNextNodeGuardTelegram)
{
    OneDrive drive;
    drive.device->setIgnoreErrors(1);
    drive.device->setNodeGuardInterval(1000);
    drive.device->calcNodeGuardNextTelegram();
    const auto first = drive.device->getNodeGuardNextTelegram();
    std::this_thread::sleep_for(5ms);

    std::uint32_t value = 0;
    const auto before = FieldbusDevice::Clock::now();
    ASSERT_EQ(drive.device->getParameter(2, 1, 1, value), 1);
    const auto moved = drive.device->getNodeGuardNextTelegram();
    EXPECT_GT(moved, first);
    EXPECT_GE(moved, before + 500ms);

    drive.bus.fake->silence(1);
    EXPECT_EQ(drive.device->getParameter(2, 1, 1, value), 0);
    EXPECT_EQ(drive.device->getNodeGuardNextTelegram(), moved) << "a failed read counted as a sign of life";
}

TEST(FieldbusDevice, IdentificationIsTranslatedThroughTheShippedTables)
{
    struct Row {
        const char* vendor;
        const char* product;
        const char* shownVendor;
        const char* shownProduct;
    };
    for (const Row& row : {Row{"Vorlane", "VDX 2040 A", "Vorlane Drives GmbH", "VDX-2040-A"},
                           Row{"Other", "VDX2040A", "Other", "VDX2040A"}}) {
        SCOPED_TRACE(row.product);
        SettingsFile settings;
        FakeInterface bus;
        bus.setNodeGuardEnabled(0);
        bus.fake->vendorName = row.vendor;
        bus.fake->productCode = row.product;
        bus.fake->addDrive(4);
        std::unique_ptr<FieldbusDevice> device;
        ASSERT_EQ(bus.connectDevice(4, device), 0);
        EXPECT_EQ(device->getVendorName(), row.shownVendor);
        EXPECT_EQ(device->getOriginalVendorName(), row.vendor);
        EXPECT_EQ(device->getProductCode(), row.shownProduct);
        EXPECT_EQ(device->getOriginalProductCode(), row.product);
        EXPECT_EQ(device->getDeviceVersion(), "1.04");
        EXPECT_EQ(device->getMotorType(), "00000007");
        EXPECT_EQ(device->getSerialNumber(), "00012345");
    }
}

TEST(FieldbusDevice, FamilyCodeDateAndCompatibility)
{
    SettingsFile settings;
    FakeInterface bus;
    bus.setNodeGuardEnabled(0);
    bus.fake->productCode = "AB 12 3xyz";
    bus.fake->addDrive(2);
    bus.fake->setValue(2, 1, 3, 0x12345);
    bus.fake->setValue(2, 1, 7, 0x0203);
    std::unique_ptr<FieldbusDevice> device;
    ASSERT_EQ(bus.connectDevice(2, device), 0);
    EXPECT_EQ(device->getFamilyCode(), "AB123");
    EXPECT_EQ(device->getDeviceDate(), "0x00012345");
    EXPECT_EQ(device->getFlashCompatibilityValue(), 0x0203u);
    bus.fake->setValue(2, 1, 3, 0xFEDCBA98);
    EXPECT_EQ(device->getDeviceDate(), "0xfedcba98");

    device->setIgnoreErrors(1);
    bus.fake->silence(2);
    EXPECT_EQ(device->getDeviceDate(), "");
    EXPECT_EQ(device->getFlashCompatibilityValue(), 0u);
}

TEST(FieldbusDevice, HostAndWorkerAccessDoNotInterleave)
{
    OneDrive drive;
    drive.bus.fake->setValue(1, 9, 9, 1);
    std::atomic<int> failures{0};
    std::thread other([&] {
        std::uint32_t v = 0;
        for (int i = 0; i < 200; ++i)
            if (drive.device->getParameter(4, 9, 9, v) != 1 || v != 1)
                ++failures;
    });
    for (int i = 0; i < 200; ++i)
        if (drive.device->setParameter(4, 9, 9, 1) != 1)
            ++failures;
    other.join();
    EXPECT_EQ(failures.load(), 0);
}
