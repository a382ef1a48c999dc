// Interfaces with hardware the tests control, a last-settings file in a
// temporary folder and a reader of what was written into it.
#pragma once
#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include <map>
#include <memory>
#include <string>

#include "commonbase/WString.h"
#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "dialogs/DeviceNetParameterAccess.h"
#include "dialogs/DialogBackend.h"
#include "hardware/HardwareInterface.h"
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

// A real interface class with exactly two ports "ttyA" (id 11) and "ttyB" (id 12).
template <class Base>
class WithPorts : public Base {
public:
    WithPorts(const std::string& protocol, bool networkScan) : Base(protocol, networkScan)
    {
        // Only these two, whatever ports the machine has.
        this->hardwareInterfaces.clear();
        this->addHardwareInterfaces({std::make_shared<PortStub>(11, "ttyA"), std::make_shared<PortStub>(12, "ttyB")});
        this->readSettings();
    }
};

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

// Points the last-settings document at a file in a fresh folder; away again at the end.
class SettingsFile {
public:
    SettingsFile()
    {
        auto& manager = Kavrel::CommunicationManager::getInstance();
        manager.setLastSettingsPath(dir.str());
        manager.setLastSettingsFileName(path());
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
        commonbase::XmlDom dom{commonbase::WString(path()), commonbase::WString()};
        if (!dom.parseFile(false))
            return out;
        auto* element = dom.findElement(commonbase::WString("ComParameter/" + branch), commonbase::WString());
        if (element)
            collect(element, "", out);
        return out;
    }

private:
    static std::string narrow(const XMLCh* text)
    {
        char* bytes = xercesc::XMLString::transcode(text);
        std::string s(bytes);
        xercesc::XMLString::release(&bytes);
        return s;
    }
    static void collect(xercesc::DOMElement* element, const std::string& prefix, std::map<std::string, std::string>& out)
    {
        bool leaf = true;
        for (auto* child = element->getFirstElementChild(); child; child = child->getNextElementSibling()) {
            leaf = false;
            collect(child, prefix + narrow(child->getTagName()) + "/", out);
        }
        if (leaf && !prefix.empty())
            out[prefix.substr(0, prefix.size() - 1)] = narrow(element->getTextContent());
    }

    kavreltest::TempDir dir;
    kavreltest::TempDir spare;
};

// Sets a backend for one test and takes it away again.
class BackendScope {
public:
    explicit BackendScope(std::shared_ptr<commonbase::DialogBackend> backend) { commonbase::DialogBackend::set(std::move(backend)); }
    ~BackendScope() { commonbase::DialogBackend::set(nullptr); }
};

// The language files as the build copied them beside the library.
inline std::shared_ptr<commonbase::XmlDom> dictionary(const std::string& language)
{
    auto dom = std::make_shared<commonbase::XmlDom>(
        commonbase::WString(kavreltest::libDir() + "/xml/" + language + "/Tesvik_Trans.xml"), commonbase::WString());
    dom->parseFile(false);
    return dom;
}

} // namespace dialogtest
