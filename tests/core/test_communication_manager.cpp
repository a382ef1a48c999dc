// The communication manager: path and file-name rules, protocol selection,
// the interface registry, the language folder and the last-settings file.
#include <gtest/gtest.h>

#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "hardware/HardwareTestLog.h"
#include "support/TestSupport.h"

using Kavrel::CommunicationManager;
namespace fs = std::filesystem;

namespace {

// Puts the manager's paths back as a fresh host would find them.
struct ManagerPaths {
    CommunicationManager& manager = CommunicationManager::getInstance();
    kavreltest::TempDir data;
    ManagerPaths() { reset(data.str()); }
    ~ManagerPaths() { reset(); }
    void reset(const std::string& dataPath = "")
    {
        manager.setSettingsFileKey("");
        manager.setLastSettingsPath("");
        if (!dataPath.empty())
            manager.setDataPath(dataPath);
        manager.setLastSettingsFileName("");
    }
};

} // namespace

TEST(CommunicationManager, FolderTextsPathsAndSettingsFileNames)
{
    const std::pair<const char*, const char*> folders[] = {
        {"/x", "/x/"}, {"/x/", "/x/"}, {"", ""}, {"C:\\data", "C:/data/"}, {"rel", "rel/"}};
    for (const auto& [in, out] : folders)
        EXPECT_EQ(CommunicationManager::withTrailingSlash(in), out) << in;

    ManagerPaths paths;
    auto& m = paths.manager;
    const std::string bare = paths.data.path().string();
    m.setDataPath(bare);
    EXPECT_EQ(m.getDataPath(), bare + "/");
    EXPECT_EQ(m.getLastSettingsPath(), bare + "/") << "the data path until one is set";
    kavreltest::TempDir other;
    m.setLastSettingsPath(other.path().string());
    EXPECT_EQ(m.getLastSettingsPath(), other.str());
    EXPECT_EQ(m.getDataPath(), bare + "/");
    m.setLastSettingsPath("");
    EXPECT_EQ(m.getLastSettingsPath(), bare + "/");

    for (const auto& [key, tail] : {std::pair{"A", "xml/LastSettings_A.xml"}, {"", "xml/LastSettings.xml"},
                                    {"line2", "xml/LastSettings_line2.xml"}}) {
        m.setSettingsFileKey(key);
        m.setLastSettingsFileName(""); // computed again on next use
        EXPECT_EQ(m.getLastSettingsFileName(), paths.data.str() + tail) << key;
    }
    m.setSettingsFileKey("B");
    EXPECT_EQ(m.getLastSettingsFileName(), paths.data.str() + "xml/LastSettings_line2.xml")
        << "a key alone does not change a name already computed";
    m.setLastSettingsFileName("/elsewhere/own.xml");
    EXPECT_EQ(m.getLastSettingsFileName(), "/elsewhere/own.xml");
}

TEST(CommunicationManager, ProtocolNameAcceptance)
{
    auto& m = CommunicationManager::getInstance();
    const std::pair<const char*, const char*> cases[] = {{"ModbusTCP", "ModbusTCP"}, {"modbustcp", ""},
                                                         {"VorlaneRS485", "VorlaneRS485"}, {"", ""},
                                                         {"ModbusTCP ", ""}, {"CanOpen_KVX", "CanOpen_KVX"}};
    for (const auto& [name, stored] : cases) {
        m.setProtocolName("DeviceNetCan");
        m.setProtocolName(name);
        EXPECT_EQ(m.getProtocolName(), stored) << name;
    }
    m.setProtocolName("");
    EXPECT_EQ(m.createInterface(false), nullptr);
    EXPECT_EQ(m.getNumberOfInterfaceInfos("NoSuchBus"), 0u);
}

TEST(CommunicationManager, InterfaceRegistry)
{
    auto& m = CommunicationManager::getInstance();
    // The registry never looks behind its pointers, so any distinct addresses serve.
    alignas(8) static char slots[2][8];
    auto* a = reinterpret_cast<Kavrel::FieldbusInterface*>(slots[0]);
    auto* b = reinterpret_cast<Kavrel::FieldbusInterface*>(slots[1]);
    const auto before = m.getNumberOfFieldusInterfaces();
    for (auto* i : {a, static_cast<Kavrel::FieldbusInterface*>(nullptr), b, a})
        m.addFieldbusInterface(i);
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

TEST(CommunicationManager, LanguageOfTheModuleFolder)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/kavrel/DE/libkavrel.so", "DE"}, {"/opt/kavrel/bin/libkavrel.so", "EN"},
        {"/opt/kavrel/fr/libkavrel.so", "fr"}, {"/opt/kavrel/D/libkavrel.so", "EN"},
        {"DE/libkavrel.so", "DE"},             {"libkavrel.so", "EN"},
        {"", "EN"},                            {"C:\\app\\IT\\Kavrel.dll", "IT"}};
    for (const auto& [path, code] : cases)
        EXPECT_EQ(CommunicationManager::languageCodeForModulePath(path), code) << path;
    EXPECT_EQ(CommunicationManager::getModuleFolder().back(), '/');

    // A copy of the library in a folder named DE reads German texts; in bin English ones.
    const fs::path probe = fs::path(kavreltest::binDir()) / "language_probe";
    if (!fs::exists(probe))
        GTEST_SKIP() << "language_probe not built";
    kavreltest::TempDir dir;
    for (const auto& [folder, expected] : {std::pair{"DE", "DE|Verbindung"}, {"bin", "EN|Connection"}}) {
        const fs::path target = dir.path() / folder;
        std::error_code ec;
        fs::copy(kavreltest::libDir(), target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        ASSERT_FALSE(ec) << ec.message();
        kavreltest::ChildProcess child({probe.string(), (target / "libkavrel.so").string()});
        EXPECT_EQ(child.readLine(std::chrono::seconds(10)), expected) << folder;
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
    for (const auto& [path, value] : {std::pair{"ModbusRS485/Baudrate", "19200"}, {"ModbusRS485/NodeGuard/Interval", "5"},
                                      {"ModbusRS485/NodeGuard/Enabled", "1"}, {"ModbusRS485/ModbusRS485_Parity", "E"},
                                      {"DeviceNetCan_NetworkScan/ScanRange", "0-63"},
                                      {"ModbusTCP/IpAddress", "127.0.0.1"}})
        ASSERT_TRUE(doc->writeValue(std::string("ComParameter/") + path, std::string(), value)) << path;
    doc->updateFile();
    commonbase::XmlDom good{commonbase::WString(m.getLastSettingsFileName()), commonbase::WString(schema)};
    EXPECT_TRUE(good.parseFile(true));
    auto bad = paths.data.write("xml/Bad.xml",
                                "<?xml version=\"1.0\"?>\n<ComParameter xmlns:xsi=\"http://www.w3.org/2001/"
                                "XMLSchema-instance\" xsi:noNamespaceSchemaLocation=\"LastSettings.xsd\">"
                                "<ModbusRS485><Bogus>1</Bogus></ModbusRS485></ComParameter>\n");
    commonbase::XmlDom wrong{commonbase::WString(bad.string()), commonbase::WString(schema)};
    EXPECT_FALSE(wrong.parseFile(true));
    const std::string copy = paths.data.str() + "copy.xml";
    m.cloneSettingsToFile(copy); // false: the recorded parse error of the file missing at first
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
        SCOPED_TRACE(c.name);
        ManagerPaths paths;
        const auto file = paths.data.write("xml/LastSettings.xml", c.content);
        const std::string aside = file.string() + ".unreadable";
        if (c.earlierAside)
            paths.data.write("xml/LastSettings.xml.unreadable", "older");
        const std::string movedTo = c.earlierAside ? aside + ".1" : aside;
        log.clear();
        paths.manager.setDataPath(paths.data.str()); // reopens the settings document
        EXPECT_EQ(kavreltest::readFile(movedTo), c.content);
        EXPECT_TRUE(log.contains("'" + file.string() + "' could not be read")) << log.all();
        EXPECT_TRUE(log.contains("moved to '" + movedTo + "'"));
        if (c.earlierAside) {
            EXPECT_EQ(kavreltest::readFile(aside), "older");
        }
        auto doc = paths.manager.getLastSettingsDocument();
        ASSERT_NE(doc, nullptr);
        ASSERT_TRUE(doc->writeValue("ComParameter/ModbusTCP/IpAddress", std::string(), "10.0.0.7"));
        EXPECT_TRUE(doc->updateFile());
        EXPECT_TRUE(commonbase::XmlDom(commonbase::WString(file.string()), commonbase::WString()).parseFile(false));
        EXPECT_EQ(kavreltest::readFile(movedTo), c.content);
    }
}

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
