// The CAN fieldbus interface: which adapters it offers in which order, what
// its stored settings choose, what it writes back, and the text of its
// communication parameters. Listing adapters never connects, so no bus runs.
#include <gtest/gtest.h>

#include <string>

#include "core/FieldbusInterfaceCan.h"
#include "test_fieldbus_fakes.h"

using namespace kavreltest;

TEST(FieldbusInterfaceCan, AdaptersStoredChoiceAndParametersText)
{
    ScopedEnv env("KAVREL_CAN", "127.0.0.1:1/can0,127.0.0.1:1/can1");
    SettingsFile settings;
    settings.put(settingsXml("CanOpen_KVX", "<Baudrate>250k</Baudrate><InterfaceID>101</InterfaceID>"
                                            "<DeviceAddress>12</DeviceAddress>"));
    Kavrel::FieldbusInterfaceCan bus("CanOpen_KVX", false);
    const auto infos = bus.getInterfaceInfos();
    ASSERT_EQ(infos.size(), 4u) << "the stand-in CAN libraries are not beside libkavrel.so";
    const std::uint32_t ids[] = {1, 2, 100, 101};
    const char* opened[] = {"peak:127.0.0.1:1/can0", "peak:127.0.0.1:1/can1", "ixxat:127.0.0.1:1/can0",
                            "ixxat:127.0.0.1:1/can1"};
    for (std::size_t i = 0; i < infos.size(); ++i) {
        EXPECT_EQ(infos[i].getUniqueId(), ids[i]);
        EXPECT_EQ(infos[i].getNameToOpen(), opened[i]);
    }
    EXPECT_EQ(bus.getInterfaceIndex(), 3);
    EXPECT_EQ(bus.getInterfaceFound(), 1u);
    EXPECT_EQ(bus.getDeviceAddress(), 12u);
    EXPECT_EQ(bus.getBaudrateText(), "250k");

    // "k" follows a number only: the adapter's rate once given, else the text.
    EXPECT_EQ(bus.getCommunicationParameters(), "250k"); // no rate given to the adapter yet
    bus.getChosenHardwareInterface()->setBaudrate(500);
    EXPECT_EQ(bus.getCommunicationParameters(), "500k");
    bus.getChosenHardwareInterface()->setBaudrate(0);
    ASSERT_TRUE(bus.setBaudrateText("AUTO"));
    EXPECT_EQ(bus.getCommunicationParameters(), "AUTO");

    // The rate is never written back: the stored one stays as it was.
    bus.writeSettings();
    const std::string xml = settings.text();
    EXPECT_NE(xml.find("<Baudrate>250k</Baudrate>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<InterfaceID>101</InterfaceID>"), std::string::npos) << xml;
}
