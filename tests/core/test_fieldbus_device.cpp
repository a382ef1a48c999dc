// The device's access rules: what a failed access does to later ones, how a
// successful one postpones node guarding, the node-guard interval written to
// the drive, and the texts made from identification and date.
#include <gtest/gtest.h>

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
    explicit OneDrive(const char* vendor = "Vorlane", const char* product = "VDX 2040 A")
    {
        bus.setNodeGuardEnabled(0);
        bus.fake->vendorName = vendor;
        bus.fake->productCode = product;
        bus.fake->addDrive(1);
        EXPECT_EQ(bus.connectDevice(1, device), 0);
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
        EXPECT_EQ(drive.device->getParameter(4, 2, 3, value), static_cast<std::int32_t>(ignore));
        EXPECT_EQ(drive.bus.fake->readsOf(1), readsBefore + static_cast<int>(ignore))
            << "a disconnected device reached the bus";
        EXPECT_EQ(value, ignore ? 77u : 0u);
        EXPECT_EQ(drive.device->setParameter(4, 2, 3, 5), static_cast<std::int32_t>(ignore));
        EXPECT_EQ(drive.device->isConnected(), ignore);
    }
}

TEST(FieldbusDevice, NodeGuardIntervalHalvedAndWrittenToTheDrive)
{
    struct Row {
        std::uint32_t interval;
        bool silent;
        std::int32_t result;
        std::chrono::nanoseconds period;
    };
    for (const Row& row : {Row{1000, false, 1, 500ms}, Row{3, false, 1, 1ms}, Row{5000, false, 1, 2500ms},
                           Row{1000, true, 0, 0ms}}) {
        SCOPED_TRACE(row.interval);
        OneDrive drive;
        drive.bus.fake->silence(1, row.silent);
        EXPECT_EQ(drive.device->setNodeGuardInterval(row.interval), row.result);
        if (row.silent) {
            EXPECT_EQ(drive.device->getLastErrorCode(), FakeProtocol::errorSilent);
            continue;
        }
        EXPECT_EQ(drive.device->getNodeGuardPeriod(), row.period);
        const auto w = drive.bus.fake->writes().back();
        EXPECT_EQ(std::tuple(w.index, w.sub, w.size, w.value), std::tuple(22, 6, 2u, row.interval));
    }
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

TEST(FieldbusDevice, IdentificationTranslatedFamilyCodeDateAndCompatibility)
{
    struct Row {
        const char *vendor, *product, *shownVendor, *shownProduct, *family;
    };
    for (const Row& row : {Row{"Vorlane", "VDX 2040 A", "Vorlane Drives GmbH", "VDX-2040-A", "VDX-204"},
                           Row{"Other", "AB 12 3xyz", "Other", "AB 12 3xyz", "AB123"}}) {
        SCOPED_TRACE(row.product);
        OneDrive drive(row.vendor, row.product);
        auto& device = *drive.device;
        EXPECT_EQ(device.getVendorName() + "|" + device.getOriginalVendorName() + "|" + device.getProductCode() + "|" +
                      device.getOriginalProductCode() + "|" + device.getDeviceVersion() + "|" +
                      device.getMotorType() + "|" + device.getSerialNumber() + "|" + device.getFamilyCode(),
                  std::string(row.shownVendor) + "|" + row.vendor + "|" + row.shownProduct + "|" + row.product +
                      "|1.04|00000007|00012345|" + row.family);
    }
    OneDrive drive;
    drive.bus.fake->setValue(1, 1, 3, 0x12345);
    drive.bus.fake->setValue(1, 1, 7, 0x0203);
    EXPECT_EQ(drive.device->getDeviceDate(), "0x00012345");
    EXPECT_EQ(drive.device->getFlashCompatibilityValue(), 0x0203u);
    drive.bus.fake->setValue(1, 1, 3, 0xFEDCBA98);
    EXPECT_EQ(drive.device->getDeviceDate(), "0xfedcba98");
    drive.device->setIgnoreErrors(1);
    drive.bus.fake->silence(1);
    EXPECT_EQ(drive.device->getDeviceDate(), "");
    EXPECT_EQ(drive.device->getFlashCompatibilityValue(), 0u);
}

TEST(FieldbusDevice, HostAndWorkerAccessDoNotInterleave)
{
    OneDrive drive;
    drive.bus.fake->setValue(1, 9, 9, 1);
    std::atomic<int> failures{0};
    std::thread other([&] {
        std::uint32_t v = 0;
        for (int i = 0; i < 200; ++i)
            failures += drive.device->getParameter(4, 9, 9, v) != 1 || v != 1;
    });
    for (int i = 0; i < 200; ++i)
        failures += drive.device->setParameter(4, 9, 9, 1) != 1;
    other.join();
    EXPECT_EQ(failures.load(), 0);
}
