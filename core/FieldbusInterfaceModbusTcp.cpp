#include "core/FieldbusInterfaceModbusTcp.h"

#include <arpa/inet.h>

#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/HardwareInterfaceLister.h"
#include "protocols/FieldbusProtocol.h"
#include "hardware/HardwareInterfaceEthernet.h"

namespace Kavrel {

using commonbase::cat;

namespace {
const std::string keyIpAddress = "IpAddress";
const std::string keyEthernetPort = "EthernetPort";

} // namespace

FieldbusInterfaceModbusTcp::FieldbusInterfaceModbusTcp(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan)
{
    commonbase::Dbg dbg(0, __FILE__, cat("FieldbusInterfaceModbusTcp('", protocolName, "')"));
    static std::once_flag registered;
    std::call_once(registered, [] {
        commonbase::ErrorHandler::instance().registerErrorCode(
            static_cast<std::uint16_t>(static_cast<std::uint32_t>(errorNoIpAddress) & 0xFFFFu));
    });
    HardwareInterfaceList adapters;
    if (listHardwareInterfaces<HardwareInterfaceEthernet>(adapters, "the Ethernet adapter") < 0)
        commonbase::DbgInfo(2, __FILE__, "no network devices could be listed");
    addHardwareInterfaces(std::move(adapters));
    makeParameterDialog();
    FieldbusInterfaceModbusTcp::readSettings();
}

FieldbusInterfaceModbusTcp::~FieldbusInterfaceModbusTcp()
{
    stopWorkers();
}

bool FieldbusInterfaceModbusTcp::isIpAddress(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool FieldbusInterfaceModbusTcp::isPort(const std::string& text)
{
    auto port = commonbase::parseDecimal(text);
    return port && *port >= 1 && *port <= 65535;
}

bool FieldbusInterfaceModbusTcp::setIpAddress(const std::string& address)
{
    const std::string text = commonbase::trim(address);
    if (!isIpAddress(text))
        return false;
    ipAddress = text;
    return true;
}

bool FieldbusInterfaceModbusTcp::setEthernetPort(const std::string& port)
{
    const std::string text = commonbase::trim(port);
    if (!isPort(text))
        return false;
    ethernetPort = text;
    return true;
}

std::int32_t FieldbusInterfaceModbusTcp::initialize(std::uint32_t deviceAddress)
{
    // The dialog, when shown, may still supply the address: judge afterwards.
    const std::int32_t result = FieldbusInterface::initialize(deviceAddress);
    if (result == statusOk && ipAddress.empty()) {
        commonbase::DbgInfo(3, __FILE__, "initialize: the setting IpAddress is empty; no drive address to connect to");
        return errorNoIpAddress;
    }
    return result;
}

void FieldbusInterfaceModbusTcp::readSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "readSettings");
    FieldbusInterface::readSettings();
    std::string address, port;
    if (readSetting(keyIpAddress, address) && !setIpAddress(address))
        commonbase::DbgInfo(2, __FILE__, cat("stored address '", address, "' is not an IPv4 address"));
    if (readSetting(keyEthernetPort, port) && !setEthernetPort(port))
        commonbase::DbgInfo(2, __FILE__, cat("stored port '", port, "' is not a port number"));
    commonbase::DbgInfo(0, __FILE__, cat("readSettings(", ipAddress, ",", ethernetPort, ")"));
}

void FieldbusInterfaceModbusTcp::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    writeSettingsWith([this] {
        writeSetting(keyIpAddress, ipAddress);
        writeSetting(keyEthernetPort, ethernetPort);
    });
}

void FieldbusInterfaceModbusTcp::handOverParameters()
{
    commonbase::Dbg dbg(0, __FILE__, cat("handOverParameters(", ipAddress, ":", ethernetPort, ")"));
    auto hardware = getChosenHardwareInterface();
    if (!hardware)
        return;
    GenericParameters parameters = hardware->getParameters();
    parameters.setText(0, ipAddress);
    parameters.setText(1, ethernetPort);
    hardware->setParameters(parameters);
}

} // namespace Kavrel
