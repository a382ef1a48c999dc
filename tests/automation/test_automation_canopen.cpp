// The automation surface on CANopen: a drive written on python-can's
// socketcand client behind kavrel-canbus, reached at an unknown bit rate,
// identified, read, written and guarded until it goes away.
#include <gtest/gtest.h>

#include "automation/CCommunicationManager.h"
#include "automation/InterfaceSettings.h"
#include "automation_fixtures.h"
#include "tools/canopen_peers.h"

using namespace Kavrel;
using namespace std::chrono_literals;

TEST(AutomationCanOpen, AutoRateIdentifyReadWriteAndGuardAPythonCanDrive)
{
    kavreltest::CanBusProcess bus({"can0=125000"});
    ASSERT_TRUE(bus.ok());
    cantest::PythonDrive drive(bus.port(), "can0", 6);
    ASSERT_TRUE(drive.ok());
    kavreltest::ScopedEnv env("KAVREL_CAN", bus.endpoint());
    kavreltest::TempDir settings, spare;
    auto manager = CCommunicationManager::create();
    manager->put_lastSettingsPath(settings.str());
    manager->put_protocolname("CanOpen_QTA");
    std::shared_ptr<IFieldbusInterface> made;
    ASSERT_EQ(manager->create_emptyFieldbusInterface(made), S_OK);
    auto twin = std::dynamic_pointer_cast<CFieldbusInterface>(made);
    ASSERT_TRUE(twin);
    ASSERT_EQ(InterfaceSettings::set(*twin, "Port", "ixxat:" + bus.endpoint()), S_OK);
    ASSERT_EQ(InterfaceSettings::set(*twin, "Baudrate", "AUTO"), S_OK);
    twin->put_dontShowDialog(1);

    std::shared_ptr<IFieldbusDevice> device;
    ASSERT_EQ(twin->connectDeviceWithId(6, device), S_OK) << lastErrorInfo().description;
    std::string rate, vendor, serial;
    // The adapter was chosen here, not by a stored InterfaceID: the text is the choice.
    twin->get_communicationParameters(rate);
    device->get_originalVendorName(vendor);
    device->get_serialNumber(serial);
    EXPECT_EQ(rate + "|" + vendor + "|" + serial, "AUTO|Vorlane GmbH|591733573");

    std::int32_t value = 0;
    ASSERT_EQ(device->get_Parameter(4, 1, 1, value), S_OK);
    EXPECT_EQ(value, (3 << 16) | 14);
    ASSERT_EQ(device->set_Parameter(2, 2, 5, 55), S_OK);
    ASSERT_EQ(device->get_Parameter(2, 2, 5, value), S_OK);
    EXPECT_EQ(value, 55);
    EXPECT_EQ(static_cast<std::uint32_t>(device->get_Parameter(4, 7, 7, value)), 0x80040501u);
    std::int32_t code = 0;
    device->get_lastErrorCode(code);
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x06020000u);

    auto log = std::make_shared<kavreltest::EventLog>();
    kavreltest::advise(*twin, std::make_shared<kavreltest::InterfaceSink>(log));
    ASSERT_EQ(twin->disableNodeGuard(device), S_OK);
    ASSERT_EQ(twin->enableNodeGuard(device, 300), S_OK);
    drive.stop();
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("nodeGuardTimeout") >= 1; }, 8000ms));
    EXPECT_EQ(log->all()[0], (kavreltest::Delivered{"nodeGuardTimeout", 6, 0, {}}));

    device.reset();
    twin.reset();
    kavreltest::drainHostQueue();
    manager->put_lastSettingsPath(spare.str());
}
