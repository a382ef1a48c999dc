#include "core/FieldbusInterfaceModbusTcp.h"

#include <arpa/inet.h>

#include <stdexcept>
#include <type_traits>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
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
