// The interfaces' last settings: what a stored value does to an interface,
// what is written back and in which order, that a new interface reads it back
// and that it validates, and that a failed write keeps the old file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "commonbase/XmlDom.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "test_fieldbus_fakes.h"

using namespace kavreltest;
using namespace Kavrel;

namespace {

// Scan bounds 1..31, default address 1, baud rates 9600/19200/38400/AUTO (default 19200).
const FieldbusProtocol::Constants smallBus = FieldbusProtocol::constantsFor("VorlaneRS485");

std::string elementText(const std::string& xml, const std::string& name, std::size_t from = 0)
{
    const auto at = xml.find("<" + name + ">", from);
    if (at == std::string::npos)
        return "<missing>";
    const auto begin = at + name.size() + 2;
    return xml.substr(begin, xml.find('<', begin) - begin);
}

std::string state(const FieldbusInterface& b)
{
    return std::to_string(b.getNodeGuardInterval()) + " " + std::to_string(b.getNodeGuardEnabled()) + " " +
           std::to_string(b.getDeviceAddress()) + " " + b.getBaudrateText() + " " +
           std::to_string(b.getInterfaceIndex()) + " " + std::to_string(b.getInterfaceFound()) + " " +
           b.getScanRange() + " " + std::to_string(b.getDontShowDialog());
}

} // namespace

TEST(FieldbusSettings, StoredValuesAndTheirLimits)
{
    // interval, enabled, address, baud rate, interface index, found, scan range, no dialog
    const std::string fallback = "5000 1 1 19200 0 0 1-31 0";
    const std::pair<const char*, std::string> rows[] = {
        {"", fallback},
        {"<NodeGuard><Interval>2</Interval></NodeGuard>", "2000 1 1 19200 0 0 1-31 0"},
        {"<NodeGuard><Interval>two</Interval></NodeGuard>", fallback},
        {"<NodeGuard><Enabled>0</Enabled></NodeGuard>", "5000 0 1 19200 0 0 1-31 0"},
        {"<DeviceAddress>31</DeviceAddress>", "5000 1 31 19200 0 0 1-31 0"},
        {"<DeviceAddress>32</DeviceAddress>", fallback},
        {"<DeviceAddress>0</DeviceAddress>", fallback},
        {"<DeviceAddress>-3</DeviceAddress>", fallback},
        {"<Baudrate>38400</Baudrate>", "5000 1 1 38400 0 0 1-31 0"},
        {"<Baudrate>57600</Baudrate>", fallback},
        {"<InterfaceID>99</InterfaceID>", fallback},
        {"<InterfaceID>8</InterfaceID>", "5000 1 1 19200 1 1 1-31 0"},
        {"<DontShow>1</DontShow>", "5000 1 1 19200 0 0 1-31 1"},
        {"<ScanRange>3-5,9</ScanRange>", "5000 1 1 19200 0 0 3-5,9 0"},
        {"<ScanRange>40-50</ScanRange>", fallback},
    };
    for (const auto& [keys, expected] : rows) {
        SettingsFile settings;
        settings.put(settingsXml("ModbusTCP", keys));
        EXPECT_EQ(state(FakeInterface(true, false, smallBus, {7, 8})), expected) << keys;
    }
    SettingsFile settings;
    FakeInterface bus(false);
    EXPECT_EQ(bus.getInterfaceIndex(), -1);
    EXPECT_EQ(bus.initialize(1), FieldbusInterface::errorNoHardware);
}

TEST(FieldbusSettings, WrittenInOrderReadBackByANewInterfaceAndValid)
{
    using Make = std::function<std::unique_ptr<FieldbusInterface>()>;
    auto fake = [](bool scan) -> Make {
        return [scan] { return std::make_unique<FakeInterface>(true, scan, smallBus, std::vector<std::uint32_t>{7, 8}); };
    };
    auto real = [](auto* type, const char* protocol, bool scan) -> Make {
        return [=] { return std::make_unique<std::remove_pointer_t<decltype(type)>>(protocol, scan); };
    };
    struct Row {
        const char* branch;
        Make make;
        std::function<void(FieldbusInterface&)> set;
        std::vector<std::pair<const char*, const char*>> keys; // in this order; text "" = not checked
        std::vector<const char*> absent;
        std::function<std::string(FieldbusInterface&)> reread;
        std::string expected;
        bool schema;
    };
    const auto frame = [](FieldbusInterface& b) {
        auto* serial = dynamic_cast<FieldbusInterfaceSerialPort*>(&b);
        return std::to_string(b.getBaudrateIndex()) + " " + b.getBaudrateText() + " " +
               (serial ? serial->getFrameFormat() : dynamic_cast<FieldbusInterfaceModbusRs485&>(b).getFrameFormat());
    };
    const std::vector<Row> rows = {
        {"ModbusTCP", fake(false),
         [](FieldbusInterface& b) {
             b.setInterfaceIndex(1);
             b.setDeviceAddress(12);
             b.setNodeGuardInterval(2500);
             b.setNodeGuardEnabled(0);
             b.setDontShowDialog(1);
         },
         {{"InterfaceID", "8"}, {"DeviceAddress", "12"}, {"NodeGuard", ""}, {"Interval", "2"}, {"Enabled", "0"},
          {"DontShow", "1"}},
         {"ScanRange"}, state, "2000 0 12 19200 1 1 1-31 1", false},
        {"ModbusTCP_NetworkScan", fake(true), [](FieldbusInterface& b) { EXPECT_EQ(b.setScanRange("2-4"), 0); },
         {{"ScanRange", "2-4"}}, {"DeviceAddress", "NodeGuard"}, [](FieldbusInterface& b) { return b.getScanRange(); },
         "2-4", false},
        {"VorlaneRS485", real((FieldbusInterfaceSerialPort*)nullptr, "VorlaneRS485", false),
         [](FieldbusInterface& b) { b.setBaudrateIndex(2); },
         {{"Baudrate", "38400"}, {"VorlaneRS485_Parity", "E"}, {"VorlaneRS485_Databits", "7"},
          {"VorlaneRS485_Stopbits", "1"}},
         {}, frame, "2 38400 E,7,1", true},
        {"VorlaneRS485_NetworkScan", real((FieldbusInterfaceSerialPort*)nullptr, "VorlaneRS485", true),
         [](FieldbusInterface& b) { b.setBaudrateIndex(0); },
         {{"Baudrate", "9600"}, {"VorlaneRS485_Parity", "E"}, {"VorlaneRS485_Databits", "7"},
          {"VorlaneRS485_Stopbits", "1"}},
         {"DeviceAddress"}, frame, "0 9600 E,7,1", true},
        {"ModbusRS485", real((FieldbusInterfaceModbusRs485*)nullptr, "ModbusRS485", false),
         [](FieldbusInterface& b) {
             auto& rs485 = dynamic_cast<FieldbusInterfaceModbusRs485&>(b);
             EXPECT_EQ(rs485.getFrameFormat(), "E,8,1");
             EXPECT_FALSE(rs485.setFrameFormat("E,7,1"));
             EXPECT_TRUE(rs485.setFrameFormat("O,8,1") && rs485.setBaudrateText("38400"));
         },
         {{"Baudrate", "38400"}, {"ModbusRS485_Parity", "O"}, {"ModbusRS485_Databits", "8"},
          {"ModbusRS485_Stopbits", "1"}},
         {}, frame, "2 38400 O,8,1", true},
        {"ModbusTCP", real((FieldbusInterfaceModbusTcp*)nullptr, "ModbusTCP", false),
         [](FieldbusInterface& b) {
             auto& tcp = dynamic_cast<FieldbusInterfaceModbusTcp&>(b);
             EXPECT_TRUE(tcp.setIpAddress("10.1.2.3") && tcp.setEthernetPort("1502"));
             EXPECT_FALSE(tcp.setIpAddress("drive.local") || tcp.setEthernetPort("70000"));
             b.setDeviceAddress(17);
             b.setNodeGuardInterval(9000);
         },
         {{"IpAddress", "10.1.2.3"}, {"EthernetPort", "1502"}},
         {},
         [](FieldbusInterface& b) {
             auto& tcp = dynamic_cast<FieldbusInterfaceModbusTcp&>(b);
             return tcp.getIpAddress() + ":" + tcp.getEthernetPort() + " " + std::to_string(b.getDeviceAddress()) +
                    " " + std::to_string(b.getNodeGuardInterval());
         },
         "10.1.2.3:1502 17 9000", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.branch);
        SettingsFile settings;
        {
            auto bus = row.make();
            row.set(*bus);
            bus->writeSettings();
        }
        const std::string xml = settings.text();
        const auto root = xml.find(std::string("<") + row.branch + ">");
        ASSERT_NE(root, std::string::npos) << xml;
        auto last = root;
        for (const auto& [key, text] : row.keys) {
            const auto at = xml.find(std::string("<") + key + ">", root);
            EXPECT_GT(at, last) << key << " missing or out of order\n" << xml;
            last = at;
            if (*text) {
                EXPECT_EQ(elementText(xml, key, root), text) << key;
            }
        }
        for (const char* key : row.absent)
            EXPECT_EQ(xml.find(std::string("<") + key + ">"), std::string::npos) << key << "\n" << xml;
        if (row.schema) {
            EXPECT_TRUE(commonbase::XmlDom(commonbase::WString(settings.path()), commonbase::WString(settings.schema()))
                            .parseFile(true))
                << xml;
        }
        CommunicationManager::getInstance().setLastSettingsFileName(settings.path()); // read from the file again
        EXPECT_EQ(row.reread(*row.make()), row.expected);
    }
}

TEST(FieldbusSettings, SplitsCharacterFormats)
{
    const std::pair<const char*, const char*> cases[] = {{"E,7,1", "E 7 1"}, {"N,8,2", "N 8 2"}, {"E,7", nullptr},
                                                         {"E,x,1", nullptr}, {",7,1", nullptr},  {"E,7,1,1", nullptr},
                                                         {"", nullptr}};
    for (const auto& [entry, split] : cases) {
        std::string p, d, s;
        EXPECT_EQ(FieldbusInterfaceSerialPort::splitFrameFormat(entry, p, d, s), split != nullptr) << entry;
        if (split) {
            EXPECT_EQ(p + " " + d + " " + s, split);
        }
    }
}

TEST(FieldbusSettings, FailedWriteKeepsTheOldFileAndAnUnwritableFolderIsNoCrash)
{
    SettingsFile settings;
    FakeInterface bus(true, false, smallBus);
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

    TempDir other;
    other.write("xml", "a file where the folder should be");
    CommunicationManager::getInstance().setLastSettingsFileName(other.str() + "xml/LastSettings.xml");
    FakeInterface elsewhere;
    elsewhere.setDeviceAddress(9);
    elsewhere.writeSettings();
    EXPECT_TRUE(std::filesystem::is_regular_file(other.path() / "xml"));
}
