#include "core/FieldbusInterfaceModbusRs485.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/HardwareInterfaceLister.h"
#include "protocols/FieldbusProtocol.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"

namespace Kavrel {

using commonbase::cat;


FieldbusInterfaceModbusRs485::FieldbusInterfaceModbusRs485(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan), frameFormat(protocol, "ModbusRS485")
{
    commonbase::Dbg dbg(0, __FILE__, cat("FieldbusInterfaceModbusRs485('", protocolName, "')"));
    HardwareInterfaceList ports;
    if (listHardwareInterfaces<HardwareInterfaceModbusRs485Dll>(ports, "the Modbus RS485 library") < 0)
        commonbase::DbgInfo(2, __FILE__, "no Modbus RS485 ports could be listed");
    addHardwareInterfaces(std::move(ports));
    makeParameterDialog();
    FieldbusInterfaceModbusRs485::readSettings();
}

FieldbusInterfaceModbusRs485::~FieldbusInterfaceModbusRs485()
{
    stopWorkers();
}

void FieldbusInterfaceModbusRs485::readSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "readSettings");
    FieldbusInterface::readSettings();
    frameFormat.read([this](const std::string& key, std::string& value) { return readSetting(key, value); });
}

void FieldbusInterfaceModbusRs485::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    writeSettingsWith([this] {
        writeSetting("Baudrate", getBaudrateText());
        frameFormat.write([this](const std::string& key, const std::string& value) { writeSetting(key, value); });
    });
}

void FieldbusInterfaceModbusRs485::handOverParameters()
{
    commonbase::Dbg dbg(0, __FILE__, cat("handOverParameters(", getFrameFormat(), ")"));
    if (auto hardware = getChosenHardwareInterface())
        frameFormat.handOver(*hardware);
}

} // namespace Kavrel
