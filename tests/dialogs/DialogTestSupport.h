// Interfaces with hardware the tests control, a last-settings file in a
// temporary folder and a reader of what was written into it.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <string>

#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "dialogs/DeviceNetParameterAccess.h"
#include "dialogs/ParameterDialogBase.h"
#include "dialogs/ScriptedDialogBackend.h"
#include "support/TestSupport.h"

namespace dialogtest {

class PortStub : public Kavrel::HardwareInterface {
public:
    PortStub(std::uint32_t id, const std::string& portName)
    {
        number = id;
        name = portName;
        nameToOpen = "/dev/" + portName;
    }
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return 1; }
    std::int32_t closeInterface() override { return 0; }
    std::int32_t sendMessage(const Kavrel::GenericParameters&, Kavrel::GenericParameters&) override { return 0; }
};

// A real interface class with exactly two ports "ttyA" (id 11) and "ttyB" (id 12),
// whatever ports the machine has.
template <class Base>
class WithPorts : public Base {
public:
    WithPorts(const std::string& protocol, bool networkScan) : Base(protocol, networkScan)
    {
        this->hardwareInterfaces.clear();
        this->addHardwareInterfaces({std::make_shared<PortStub>(11, "ttyA"), std::make_shared<PortStub>(12, "ttyB")});
        this->readSettings();
    }
};
using Rs485 = WithPorts<Kavrel::FieldbusInterfaceModbusRs485>;
using Vorlane = WithPorts<Kavrel::FieldbusInterfaceSerialPort>;
using Tcp = WithPorts<Kavrel::FieldbusInterfaceModbusTcp>;

// The CAN buses have no interface class of their own yet: a bare one, which
// keeps the DeviceNet values as the DeviceNet interface does.
class CanStub : public Kavrel::FieldbusInterface, public Kavrel::DeviceNetParameterAccess {
public:
    CanStub(const std::string& protocol, bool networkScan) : FieldbusInterface(protocol, networkScan)
    {
        addHardwareInterfaces({std::make_shared<PortStub>(21, "can0"), std::make_shared<PortStub>(22, "can1")});
        makeParameterDialog();
        readSettings();
    }
    std::uint32_t getClientMacId() const override { return clientMacId; }
    void setClientMacId(std::uint32_t id) override { clientMacId = id; }
    std::uint32_t getDncStartTimeout() const override { return dncStartTimeout; }
    void setDncStartTimeout(std::uint32_t t) override { dncStartTimeout = t; }
    std::uint32_t getAutobaudNumTry() const override { return autobaudNumTry; }
    void setAutobaudNumTry(std::uint32_t n) override { autobaudNumTry = n; }
    std::uint32_t clientMacId = 0, dncStartTimeout = 10, autobaudNumTry = 2;

protected:
    void handOverParameters() override {}
};

inline std::unique_ptr<Kavrel::FieldbusInterface> makeInterface(const std::string& protocol, bool scan = false)
{
    if (protocol == "ModbusRS485") return std::make_unique<Rs485>(protocol, scan);
    if (protocol == "VorlaneRS485") return std::make_unique<Vorlane>(protocol, scan);
    if (protocol == "ModbusTCP") return std::make_unique<Tcp>(protocol, scan);
    return std::make_unique<CanStub>(protocol, scan);
}

// The interface holds its dialog through the core's view; the tests look inside.
inline Kavrel::ParameterDialogBase* dialogOf(Kavrel::FieldbusInterface& fieldbus)
{
    return dynamic_cast<Kavrel::ParameterDialogBase*>(fieldbus.getParameterDialog());
}

inline std::int32_t show(Kavrel::FieldbusInterface& fieldbus) { return fieldbus.getParameterDialog()->displayDialog(1, 5); }

// Points the last-settings document at a file in a fresh folder; away again at the end.
class SettingsFile {
public:
    SettingsFile()
    {
        Kavrel::CommunicationManager::getInstance().setLastSettingsPath(dir.str());
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(path());
    }
    ~SettingsFile()
    {
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(spare.str() + "xml/LastSettings.xml");
    }
    std::string path() const { return dir.str() + "LastSettings.xml"; }

    // Every leaf below ComParameter/<branch>/ as "a/b" -> text.
    std::map<std::string, std::string> keys(const std::string& branch) const
    {
        std::map<std::string, std::string> out;
        const std::string text = std::filesystem::exists(path()) ? kavreltest::readFile(path()) : "";
        const auto from = text.find("<" + branch + ">"), to = text.find("</" + branch + ">");
        if (from == std::string::npos || to == std::string::npos) return out;
        static const std::regex tag(R"(<(\w+)>([^<]*)</\1>|<(\w+)/>|<(/?)(\w+)>)");
        std::vector<std::string> open{""};
        for (std::sregex_iterator it(text.begin() + from + branch.size() + 2, text.begin() + to, tag), end; it != end; ++it) {
            const auto& m = *it;
            if (m[1].matched || m[3].matched) out[open.back() + (m[1].matched ? m[1] : m[3]).str()] = m[2];
            else if (m[4].length()) open.pop_back();
            else open.push_back(open.back() + m[5].str() + "/");
        }
        return out;
    }

private:
    kavreltest::TempDir dir, spare;
};

class BackendScope {
public:
    explicit BackendScope(std::shared_ptr<commonbase::DialogBackend> backend) { commonbase::DialogBackend::set(std::move(backend)); }
    ~BackendScope() { commonbase::DialogBackend::set(nullptr); }
};

inline std::shared_ptr<Kavrel::ScriptedDialogBackend> script(const std::string& text)
{
    auto backend = std::make_shared<Kavrel::ScriptedDialogBackend>();
    std::string error;
    EXPECT_TRUE(backend->parse(text, error)) << error;
    return backend;
}

// The language files as the build copied them beside the library.
inline std::shared_ptr<commonbase::XmlDom> dictionary(const std::string& language)
{
    auto dom = std::make_shared<commonbase::XmlDom>(
        commonbase::WString(kavreltest::libDir() + "/xml/" + language + "/Tesvik_Trans.xml"), commonbase::WString());
    dom->parseFile(false);
    return dom;
}

} // namespace dialogtest
