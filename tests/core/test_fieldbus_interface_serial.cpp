// The Vorlane serial-port interface: its settings keys, their order in the
// written file, and the character format it hands to the port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CommunicationManager.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "protocols/FieldbusProtocol.h"
#include "support/TestSupport.h"

using Kavrel::CommunicationManager;
using Kavrel::FieldbusInterfaceSerialPort;

namespace {

// Points the last-settings file into a temp folder for one test.
class SettingsFolder {
public:
    SettingsFolder() : previous(CommunicationManager::getInstance().getLastSettingsPath())
    {
        // The file name is kept once computed; clearing it makes it follow the new folder.
        CommunicationManager::getInstance().setLastSettingsPath(dir.str());
        CommunicationManager::getInstance().setLastSettingsFileName("");
    }
    ~SettingsFolder()
    {
        CommunicationManager::getInstance().setLastSettingsPath(previous);
        CommunicationManager::getInstance().setLastSettingsFileName("");
    }
    std::string file() const { return kavreltest::readFile(dir.path() / "xml" / "LastSettings.xml"); }

private:
    kavreltest::TempDir dir;
    std::string previous;
};

// Position of an element's opening tag after a start position, npos if absent.
std::size_t tagAt(const std::string& xml, const std::string& name, std::size_t from = 0)
{
    return xml.find("<" + name + ">", from);
}

std::string elementText(const std::string& xml, const std::string& name, std::size_t from = 0)
{
    const auto at = tagAt(xml, name, from);
    if (at == std::string::npos)
        return "<missing>";
    const auto begin = at + name.size() + 2;
    return xml.substr(begin, xml.find('<', begin) - begin);
}

TEST(FieldbusInterfaceSerialPort, WritesCharacterFormatKeysAfterBaudrateInOrder)
{
    for (bool networkScan : {false, true}) {
        SettingsFolder folder;
        FieldbusInterfaceSerialPort bus("VorlaneRS485", networkScan);
        ASSERT_TRUE(bus.getFieldbusProtocol()) << networkScan;
        bus.setBaudrateIndex(2);
        bus.writeSettings();
        const std::string xml = folder.file();
        const std::string branch = networkScan ? "VorlaneRS485_NetworkScan" : "VorlaneRS485";
        const auto root = tagAt(xml, branch);
        ASSERT_NE(root, std::string::npos) << xml;
        const std::vector<std::string> order = {"Baudrate", "VorlaneRS485_Parity", "VorlaneRS485_Databits",
                                                "VorlaneRS485_Stopbits"};
        std::size_t last = root;
        for (const auto& key : order) {
            const auto at = tagAt(xml, key, root);
            ASSERT_NE(at, std::string::npos) << key << "\n" << xml;
            EXPECT_GT(at, last) << key << " out of order\n" << xml;
            last = at;
        }
        EXPECT_EQ(elementText(xml, "Baudrate", root), "38400");
        EXPECT_EQ(elementText(xml, "VorlaneRS485_Parity", root), "E");
        EXPECT_EQ(elementText(xml, "VorlaneRS485_Databits", root), "7");
        EXPECT_EQ(elementText(xml, "VorlaneRS485_Stopbits", root), "1");
        EXPECT_EQ(tagAt(xml, "DeviceAddress", root) == std::string::npos, networkScan) << xml;
    }
}

TEST(FieldbusInterfaceSerialPort, StoredBaudrateSurvivesAReopen)
{
    SettingsFolder folder;
    {
        FieldbusInterfaceSerialPort bus("VorlaneRS485", false);
        bus.setBaudrateIndex(0);
        bus.writeSettings();
    }
    FieldbusInterfaceSerialPort again("VorlaneRS485", false);
    EXPECT_EQ(again.getBaudrateIndex(), 0);
    EXPECT_EQ(again.getFrameFormat(), "E,7,1");
}

TEST(FieldbusInterfaceSerialPort, SplitsCharacterFormats)
{
    struct Case {
        std::string entry;
        bool ok;
        std::string parity, data, stop;
    };
    const std::vector<Case> cases = {
        {"E,7,1", true, "E", "7", "1"}, {"N,8,2", true, "N", "8", "2"}, {"E,7", false, "", "", ""},
        {"E,x,1", false, "", "", ""},   {",7,1", false, "", "", ""},   {"E,7,1,1", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& c : cases) {
        std::string p, d, s;
        EXPECT_EQ(FieldbusInterfaceSerialPort::splitFrameFormat(c.entry, p, d, s), c.ok) << c.entry;
        if (c.ok) {
            EXPECT_EQ(p, c.parity);
            EXPECT_EQ(d, c.data);
            EXPECT_EQ(s, c.stop);
        }
    }
}

} // namespace
