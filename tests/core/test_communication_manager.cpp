// The communication manager: path and file-name rules, protocol selection,
// the interface registry, the language folder and the last-settings schema.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "hardware/HardwareTestLog.h"
#include "support/TestSupport.h"

using Kavrel::CommunicationManager;
namespace fs = std::filesystem;

namespace {

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Puts the manager's paths back as a fresh host would find them.
struct ManagerPaths {
    CommunicationManager& manager = CommunicationManager::getInstance();
    kavreltest::TempDir data;
    ManagerPaths()
    {
        manager.setSettingsFileKey("");
        manager.setLastSettingsPath("");
        manager.setDataPath(data.str());
        manager.setLastSettingsFileName("");
    }
    ~ManagerPaths()
    {
        manager.setSettingsFileKey("");
        manager.setLastSettingsPath("");
        manager.setLastSettingsFileName("");
    }
};

TEST(CommunicationManager, FolderTexts)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"/x", "/x/"}, {"/x/", "/x/"}, {"", ""}, {"C:\\data", "C:/data/"}, {"rel", "rel/"}};
    for (const auto& c : cases) EXPECT_EQ(CommunicationManager::withTrailingSlash(c.in), c.out) << c.in;
}

TEST(CommunicationManager, DataAndLastSettingsPaths)
{
    ManagerPaths paths;
    auto& m = paths.manager;
    const std::string bare = paths.data.path().string();
    m.setDataPath(bare);
    EXPECT_EQ(m.getDataPath(), bare + "/");
    m.setDataPath(bare + "/");
    EXPECT_EQ(m.getDataPath(), bare + "/");
    EXPECT_EQ(m.getLastSettingsPath(), bare + "/");

    kavreltest::TempDir other;
    m.setLastSettingsPath(other.path().string());
    EXPECT_EQ(m.getLastSettingsPath(), other.str());
    EXPECT_EQ(m.getDataPath(), bare + "/");
    m.setLastSettingsPath("");
    EXPECT_EQ(m.getLastSettingsPath(), bare + "/");
}

TEST(CommunicationManager, LastSettingsFileNames)
{
    ManagerPaths paths;
    auto& m = paths.manager;
    struct Case {
        const char* key;
        const char* tail;
    } cases[] = {{"A", "xml/LastSettings_A.xml"}, {"", "xml/LastSettings.xml"}, {"line2", "xml/LastSettings_line2.xml"}};
    for (const auto& c : cases) {
        m.setSettingsFileKey(c.key);
        m.setLastSettingsFileName(""); // the name is computed again on next use
        EXPECT_EQ(m.getLastSettingsFileName(), paths.data.str() + c.tail) << c.key;
    }
    // A key alone does not change a name already computed.
    m.setSettingsFileKey("B");
    EXPECT_TRUE(endsWith(m.getLastSettingsFileName(), "xml/LastSettings_line2.xml"));
    m.setLastSettingsFileName("/elsewhere/own.xml");
    EXPECT_EQ(m.getLastSettingsFileName(), "/elsewhere/own.xml");
}

TEST(CommunicationManager, ProtocolNameAcceptance)
{
    auto& m = CommunicationManager::getInstance();
    struct Case {
        const char* name;
        const char* stored;
    } cases[] = {{"ModbusTCP", "ModbusTCP"}, {"modbustcp", ""},  {"VorlaneRS485", "VorlaneRS485"},
                 {"", ""},                   {"ModbusTCP ", ""}, {"CanOpen_KVX", "CanOpen_KVX"}};
    for (const auto& c : cases) {
        m.setProtocolName("DeviceNetCan");
        m.setProtocolName(c.name);
        EXPECT_EQ(m.getProtocolName(), c.stored) << c.name;
    }
    m.setProtocolName("");
    EXPECT_EQ(m.createInterface(false), nullptr);
    EXPECT_EQ(m.getNumberOfInterfaceInfos("NoSuchBus"), 0u);
}

TEST(CommunicationManager, ProtocolListsAreOneBased)
{
    struct Case {
        std::int32_t n;
        const char* known;
        const char* scan;
    } cases[] = {{-1, "", ""},
                 {0, "", ""},
                 {1, "ModbusRS485", "ModbusRS485"},
                 {5, "CanOpen_KVX", "CanOpen_KVX"},
                 {6, "ModbusTCP", ""},
                 {7, "", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(CommunicationManager::fieldbusProtocolName(c.n), c.known) << c.n;
        EXPECT_EQ(CommunicationManager::networkscanProtocolName(c.n), c.scan) << c.n;
    }
}

TEST(CommunicationManager, SettingsKeys)
{
    EXPECT_EQ(CommunicationManager::getNetworkScanSettingsKey("ModbusRS485", false), "ComParameter/ModbusRS485/");
    EXPECT_EQ(CommunicationManager::getNetworkScanSettingsKey("ModbusRS485", true),
              "ComParameter/ModbusRS485_NetworkScan/");
}

TEST(CommunicationManager, InterfaceRegistry)
{
    auto& m = CommunicationManager::getInstance();
    // The registry never looks behind its pointers, so any distinct addresses serve.
    alignas(8) static char slots[2][8];
    auto* a = reinterpret_cast<Kavrel::FieldbusInterface*>(slots[0]);
    auto* b = reinterpret_cast<Kavrel::FieldbusInterface*>(slots[1]);
    const auto before = m.getNumberOfFieldusInterfaces();
    m.addFieldbusInterface(a);
    m.addFieldbusInterface(nullptr);
    m.addFieldbusInterface(b);
    m.addFieldbusInterface(a);
    ASSERT_EQ(m.getNumberOfFieldusInterfaces(), before + 3);
    EXPECT_EQ(m.getFieldbusInterface(before + 3), nullptr);

    m.removeFieldbusInterface(a); // only the first of the two goes
    ASSERT_EQ(m.getNumberOfFieldusInterfaces(), before + 2);
    EXPECT_EQ(m.getFieldbusInterface(before), b);
    EXPECT_EQ(m.getFieldbusInterface(before + 1), a);
    m.removeFieldbusInterface(reinterpret_cast<Kavrel::FieldbusInterface*>(slots[0] + 1));
    EXPECT_EQ(m.getNumberOfFieldusInterfaces(), before + 2);

    m.removeFieldbusInterface(a);
    m.removeFieldbusInterface(b);
    EXPECT_EQ(m.getNumberOfFieldusInterfaces(), before);
}

TEST(CommunicationManager, LanguageCodeOfModulePath)
{
    struct Case {
        const char* path;
        const char* code;
    } cases[] = {{"/opt/kavrel/DE/libkavrel.so", "DE"}, {"/opt/kavrel/bin/libkavrel.so", "EN"},
                 {"/opt/kavrel/fr/libkavrel.so", "fr"}, {"/opt/kavrel/D/libkavrel.so", "EN"},
                 {"DE/libkavrel.so", "DE"},             {"libkavrel.so", "EN"},
                 {"", "EN"},                            {"C:\\app\\IT\\Kavrel.dll", "IT"}};
    for (const auto& c : cases) EXPECT_EQ(CommunicationManager::languageCodeForModulePath(c.path), c.code) << c.path;
}

// A copy of the library in a folder named DE reads German texts; in bin English ones.
TEST(CommunicationManager, LanguageFolderOfALibraryCopy)
{
    const fs::path probe = fs::path(kavreltest::binDir()) / "language_probe";
    if (!fs::exists(probe)) GTEST_SKIP() << "language_probe not built";
    kavreltest::TempDir dir;
    struct Case {
        const char* folder;
        const char* expected;
    } cases[] = {{"DE", "DE|Verbindung"}, {"bin", "EN|Connection"}};
    for (const auto& c : cases) {
        const fs::path target = dir.path() / c.folder;
        std::error_code ec;
        fs::copy(kavreltest::libDir(), target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        ASSERT_FALSE(ec) << ec.message();
        kavreltest::ChildProcess child({probe.string(), (target / "libkavrel.so").string()});
        EXPECT_EQ(child.readLine(std::chrono::seconds(10)), c.expected) << c.folder;
        EXPECT_EQ(child.wait(std::chrono::seconds(10)), 0);
    }
}

TEST(CommunicationManager, WrittenSettingsValidateAgainstTheSchema)
{
    ManagerPaths paths;
    auto& m = paths.manager;
    const std::string schema = paths.data.str() + "xml/LastSettings.xsd";
    ASSERT_TRUE(fs::exists(schema)) << "the schema is put beside the settings file";
    auto doc = m.getLastSettingsDocument();
    ASSERT_NE(doc, nullptr);
    auto put = [&doc](const std::string& path, const std::string& value) {
        return doc->writeValue(path, std::string(), value);
    };
    ASSERT_TRUE(put("ComParameter/ModbusRS485/Baudrate", "19200"));
    ASSERT_TRUE(put("ComParameter/ModbusRS485/NodeGuard/Interval", "5"));
    ASSERT_TRUE(put("ComParameter/ModbusRS485/NodeGuard/Enabled", "1"));
    ASSERT_TRUE(put("ComParameter/ModbusRS485/ModbusRS485_Parity", "E"));
    ASSERT_TRUE(put("ComParameter/DeviceNetCan_NetworkScan/ScanRange", "0-63"));
    ASSERT_TRUE(put("ComParameter/ModbusTCP/IpAddress", "127.0.0.1"));
    // The file did not exist when the document was opened, so the parse error stays recorded.
    doc->updateFile();
    ASSERT_TRUE(fs::exists(m.getLastSettingsFileName()));

    commonbase::XmlDom good{commonbase::WString(m.getLastSettingsFileName()), commonbase::WString(schema)};
    EXPECT_TRUE(good.parseFile(true));

    auto bad = paths.data.write("xml/Bad.xml",
                                "<?xml version=\"1.0\"?>\n<ComParameter xmlns:xsi=\"http://www.w3.org/2001/"
                                "XMLSchema-instance\" xsi:noNamespaceSchemaLocation=\"LastSettings.xsd\">"
                                "<ModbusRS485><Bogus>1</Bogus></ModbusRS485></ComParameter>\n");
    commonbase::XmlDom wrong{commonbase::WString(bad.string()), commonbase::WString(schema)};
    EXPECT_FALSE(wrong.parseFile(true));

    const std::string copy = paths.data.str() + "copy.xml";
    m.cloneSettingsToFile(copy); // false here too: the recorded parse error of the missing file
    EXPECT_NE(kavreltest::readFile(copy).find("127.0.0.1"), std::string::npos);
}

// A settings file that cannot be read still holds the user's other sections:
// it is moved to a name that says so before a fresh file takes its place.
TEST(CommunicationManager, UnreadableSettingsAreMovedAsideNotLost)
{
    const std::string section = "<ComParameter><VorlaneRS485><Baudrate>9600</Baudrate></VorlaneRS485>";
    std::string utf16;
    for (char c : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + section + "</ComParameter>")
        utf16 += std::string{c, '\0'};
    struct Case {
        const char* name;
        std::string content;
        bool earlierAside; // a file moved aside before is never overwritten
    } cases[] = {
        {"invalid byte", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + section + "<X>\xff\xfe</X></ComParameter>",
         false},
        {"UTF-16 without mark", utf16, false},
        {"binary", std::string("\x00\x01\x02\xfe\xff\x7f\x80", 7) + section, true},
        {"document type", "<!DOCTYPE ComParameter [<!ENTITY e \"x\">]>" + section + "<X>&e;</X></ComParameter>",
         false},
    };
    auto& log = kavreltest::LogLines::instance();
    for (const auto& c : cases) {
        ManagerPaths paths;
        auto& m = paths.manager;
        const auto file = paths.data.write("xml/LastSettings.xml", c.content);
        const std::string aside = file.string() + ".unreadable";
        if (c.earlierAside)
            paths.data.write("xml/LastSettings.xml.unreadable", "older");
        const std::string movedTo = c.earlierAside ? aside + ".1" : aside;
        log.clear();
        m.setDataPath(paths.data.str()); // reopens the settings document
        EXPECT_EQ(kavreltest::readFile(movedTo), c.content) << c.name;
        EXPECT_TRUE(log.contains("'" + file.string() + "' could not be read")) << c.name << "\n" << log.all();
        EXPECT_TRUE(log.contains("moved to '" + movedTo + "'")) << c.name;
        if (c.earlierAside) {
            EXPECT_EQ(kavreltest::readFile(aside), "older");
        }

        auto doc = m.getLastSettingsDocument();
        ASSERT_NE(doc, nullptr) << c.name;
        ASSERT_TRUE(doc->writeValue("ComParameter/ModbusTCP/IpAddress", std::string(), "10.0.0.7"));
        EXPECT_TRUE(doc->updateFile()) << c.name;
        commonbase::XmlDom fresh{commonbase::WString(file.string()), commonbase::WString()};
        EXPECT_TRUE(fresh.parseFile(false)) << c.name;
        EXPECT_EQ(kavreltest::readFile(movedTo), c.content) << c.name;
    }
}

TEST(CommunicationManager, SharedServices)
{
    auto& m = CommunicationManager::getInstance();
    EXPECT_EQ(m.getIdentificationTransformer(), m.getIdentificationTransformer());
    EXPECT_NE(m.getIdentificationTransformer(), nullptr);
    EXPECT_TRUE(endsWith(m.getVersionString(), " Build: 6570"));
    EXPECT_TRUE(endsWith(CommunicationManager::getModuleFolder(), "/"));
    EXPECT_EQ(m.translate("LABEL_CONNECTION"), "Connection");
}

} // namespace

// Every interface registers its error codes; the texts are looked up in the
// error-text document once per process, not again for each interface (each
// lookup cost the document memory it kept until the process ended).
TEST(ErrorRegistration, EachCodeIsLookedUpOncePerProcess)
{
    auto& manager = CommunicationManager::getInstance();
    auto& log = kavreltest::LogLines::instance();
    for (const char* protocol : {"ModbusTCP", "VorlaneRS485"}) {
        manager.setProtocolName(protocol);
        manager.createInterface(false).reset();
        log.clear();
        for (int i = 0; i < 20; ++i)
            manager.createInterface(false).reset();
        EXPECT_FALSE(log.contains("Dictionary/Label")) << protocol << ":\n" << log.all().substr(0, 2000);
    }
}
