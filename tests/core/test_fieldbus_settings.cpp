// The interface's last settings: what a stored value does to the interface,
// what is written back and in which order, that a new interface reads it
// back, that it validates, and that a failed write keeps the old file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "commonbase/XmlDom.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "test_fieldbus_fakes.h"

using namespace kavreltest;
using Kavrel::FieldbusProtocol;

namespace {

// Scan bounds 1..31, default address 1, baud rates 9600/19200/38400/AUTO (default 19200).
FieldbusProtocol::Constants smallBus()
{
    return FieldbusProtocol::constantsFor("VorlaneRS485");
}

std::string elementText(const std::string& xml, const std::string& name, std::size_t from = 0)
{
    const auto at = xml.find("<" + name + ">", from);
    if (at == std::string::npos)
        return "<missing>";
    const auto begin = at + name.size() + 2;
    return xml.substr(begin, xml.find('<', begin) - begin);
}

bool validates(const SettingsFile& settings)
{
    commonbase::XmlDom dom{commonbase::WString(settings.path()), commonbase::WString(settings.schema())};
    return dom.parseFile(true);
}

} // namespace

TEST(FieldbusSettings, StoredValuesAndTheirLimits)
{
    struct Row {
        const char* keys;
        std::function<void(FakeInterface&)> check;
    };
    const std::vector<Row> rows = {
        {"", [](FakeInterface& b) {
             EXPECT_EQ(b.getNodeGuardInterval(), 5000);
             EXPECT_EQ(b.getNodeGuardEnabled(), 1u);
             EXPECT_EQ(b.getDeviceAddress(), 1u);
             EXPECT_EQ(b.getBaudrateText(), "19200");
             EXPECT_EQ(b.getInterfaceIndex(), 0);
             EXPECT_EQ(b.getInterfaceFound(), 0u);
             EXPECT_EQ(b.getScanRange(), "1-31");
             EXPECT_EQ(b.getDontShowDialog(), 0u);
         }},
        {"<NodeGuard><Interval>2</Interval></NodeGuard>", [](FakeInterface& b) { EXPECT_EQ(b.getNodeGuardInterval(), 2000); }},
        {"<NodeGuard><Interval>two</Interval></NodeGuard>", [](FakeInterface& b) { EXPECT_EQ(b.getNodeGuardInterval(), 5000); }},
        {"<NodeGuard><Enabled>0</Enabled></NodeGuard>", [](FakeInterface& b) { EXPECT_EQ(b.getNodeGuardEnabled(), 0u); }},
        {"<DeviceAddress>31</DeviceAddress>", [](FakeInterface& b) { EXPECT_EQ(b.getDeviceAddress(), 31u); }},
        {"<DeviceAddress>32</DeviceAddress>", [](FakeInterface& b) { EXPECT_EQ(b.getDeviceAddress(), 1u); }},
        {"<DeviceAddress>0</DeviceAddress>", [](FakeInterface& b) { EXPECT_EQ(b.getDeviceAddress(), 1u); }},
        {"<DeviceAddress>-3</DeviceAddress>", [](FakeInterface& b) { EXPECT_EQ(b.getDeviceAddress(), 1u); }},
        {"<Baudrate>38400</Baudrate>", [](FakeInterface& b) { EXPECT_EQ(b.getBaudrateText(), "38400"); }},
        {"<Baudrate>57600</Baudrate>", [](FakeInterface& b) { EXPECT_EQ(b.getBaudrateText(), "19200"); }},
        {"<InterfaceID>99</InterfaceID>", [](FakeInterface& b) {
             EXPECT_EQ(b.getInterfaceFound(), 0u);
             EXPECT_EQ(b.getInterfaceIndex(), 0);
         }},
        {"<InterfaceID>8</InterfaceID>", [](FakeInterface& b) {
             EXPECT_EQ(b.getInterfaceFound(), 1u);
             EXPECT_EQ(b.getInterfaceIndex(), 1);
         }},
        {"<DontShow>1</DontShow>", [](FakeInterface& b) { EXPECT_EQ(b.getDontShowDialog(), 1u); }},
        {"<ScanRange>3-5,9</ScanRange>", [](FakeInterface& b) { EXPECT_EQ(b.getScanRange(), "3-5,9"); }},
        {"<ScanRange>40-50</ScanRange>", [](FakeInterface& b) { EXPECT_EQ(b.getScanRange(), "1-31"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keys);
        SettingsFile settings;
        settings.put(settingsXml("ModbusTCP", row.keys));
        FakeInterface bus(true, false, smallBus(), {7, 8});
        row.check(bus);
    }
}

TEST(FieldbusSettings, NoHardwareMeansNoInterfaceChosen)
{
    SettingsFile settings;
    FakeInterface bus(false);
    EXPECT_EQ(bus.getInterfaceIndex(), -1);
    EXPECT_EQ(bus.initialize(1), Kavrel::FieldbusInterface::errorNoHardware);
}

TEST(FieldbusSettings, WrittenKeysInOrderAndSecondsTruncated)
{
    SettingsFile settings;
    FakeInterface bus(true, false, smallBus(), {7, 8});
    bus.setInterfaceIndex(1);
    bus.setDeviceAddress(12);
    bus.setNodeGuardInterval(2500);
    bus.setNodeGuardEnabled(0);
    bus.setDontShowDialog(1);
    bus.writeSettings();
    const std::string xml = settings.text();
    const auto root = xml.find("<ModbusTCP>");
    ASSERT_NE(root, std::string::npos) << xml;
    std::size_t last = root;
    for (const char* key : {"InterfaceID", "DeviceAddress", "NodeGuard", "Interval", "Enabled", "DontShow"}) {
        const auto at = xml.find(std::string("<") + key + ">", root);
        ASSERT_NE(at, std::string::npos) << key << "\n" << xml;
        EXPECT_GT(at, last) << key << " out of order\n" << xml;
        last = at;
    }
    EXPECT_EQ(elementText(xml, "InterfaceID", root), "8");
    EXPECT_EQ(elementText(xml, "DeviceAddress", root), "12");
    EXPECT_EQ(elementText(xml, "Interval", root), "2");
    EXPECT_EQ(elementText(xml, "Enabled", root), "0");
    EXPECT_EQ(elementText(xml, "DontShow", root), "1");
    EXPECT_EQ(xml.find("<ScanRange>"), std::string::npos) << xml;
}

TEST(FieldbusSettings, NetworkScanInterfaceWritesScanRangeAndNoAddress)
{
    SettingsFile settings;
    FakeInterface bus(true, true, smallBus());
    ASSERT_EQ(bus.setScanRange("2-4"), 0);
    bus.writeSettings();
    const std::string xml = settings.text();
    const auto root = xml.find("<ModbusTCP_NetworkScan>");
    ASSERT_NE(root, std::string::npos) << xml;
    EXPECT_EQ(elementText(xml, "ScanRange", root), "2-4");
    EXPECT_EQ(xml.find("<DeviceAddress>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<NodeGuard>"), std::string::npos) << xml;
}

TEST(FieldbusSettings, ModbusTcpSettingsSurviveANewInterfaceAndValidate)
{
    SettingsFile settings;
    {
        Kavrel::FieldbusInterfaceModbusTcp bus("ModbusTCP", false);
        ASSERT_TRUE(bus.setIpAddress("10.1.2.3"));
        ASSERT_TRUE(bus.setEthernetPort("1502"));
        EXPECT_FALSE(bus.setIpAddress("drive.local"));
        EXPECT_FALSE(bus.setEthernetPort("70000"));
        bus.setDeviceAddress(17);
        bus.setNodeGuardInterval(9000);
        bus.writeSettings();
    }
    EXPECT_TRUE(validates(settings)) << settings.text();
    Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(settings.path());
    Kavrel::FieldbusInterfaceModbusTcp again("ModbusTCP", false);
    EXPECT_EQ(again.getIpAddress(), "10.1.2.3");
    EXPECT_EQ(again.getEthernetPort(), "1502");
    EXPECT_EQ(again.getDeviceAddress(), 17u);
    EXPECT_EQ(again.getNodeGuardInterval(), 9000);
}

TEST(FieldbusSettings, ModbusRs485CharacterFormatSurvivesAndValidates)
{
    SettingsFile settings;
    {
        Kavrel::FieldbusInterfaceModbusRs485 bus("ModbusRS485", false);
        EXPECT_EQ(bus.getFrameFormat(), "E,8,1");
        ASSERT_TRUE(bus.setFrameFormat("O,8,1"));
        EXPECT_FALSE(bus.setFrameFormat("E,7,1"));
        ASSERT_TRUE(bus.setBaudrateText("38400"));
        bus.writeSettings();
    }
    const std::string xml = settings.text();
    const auto root = xml.find("<ModbusRS485>");
    ASSERT_NE(root, std::string::npos) << xml;
    std::size_t last = root;
    for (const char* key : {"Baudrate", "ModbusRS485_Parity", "ModbusRS485_Databits", "ModbusRS485_Stopbits"}) {
        const auto at = xml.find(std::string("<") + key + ">", root);
        ASSERT_NE(at, std::string::npos) << key << "\n" << xml;
        EXPECT_GT(at, last) << key << " out of order\n" << xml;
        last = at;
    }
    EXPECT_EQ(elementText(xml, "ModbusRS485_Parity", root), "O");
    EXPECT_TRUE(validates(settings)) << xml;
    Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(settings.path());
    Kavrel::FieldbusInterfaceModbusRs485 again("ModbusRS485", false);
    EXPECT_EQ(again.getFrameFormat(), "O,8,1");
    EXPECT_EQ(again.getBaudrateText(), "38400");
}

TEST(FieldbusSettings, FailedWriteKeepsTheOldFile)
{
    SettingsFile settings;
    FakeInterface bus(true, false, smallBus());
    bus.setDeviceAddress(5);
    bus.writeSettings();
    const std::string before = settings.text();
    ASSERT_EQ(elementText(before, "DeviceAddress"), "5") << before;

    // The new file is written beside the old one first; a folder in its way makes that fail.
    const std::string blocker = settings.path() + ".tmp" + std::to_string(::getpid());
    std::filesystem::create_directory(blocker);
    bus.setDeviceAddress(6);
    bus.writeSettings();
    EXPECT_EQ(settings.text(), before);

    std::filesystem::remove(blocker);
    bus.writeSettings();
    EXPECT_EQ(elementText(settings.text(), "DeviceAddress"), "6");
}

TEST(FieldbusSettings, UnwritableFolderIsNoCrash)
{
    SettingsFile settings;
    TempDir other;
    other.write("xml", "a file where the folder should be");
    Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(other.str() + "xml/LastSettings.xml");
    FakeInterface bus;
    bus.setDeviceAddress(9);
    bus.writeSettings();
    EXPECT_TRUE(std::filesystem::is_regular_file(other.path() / "xml"));
}
