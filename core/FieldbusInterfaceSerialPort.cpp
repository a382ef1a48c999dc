#include "core/FieldbusInterfaceSerialPort.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/HardwareInterfaceLister.h"
#include "hardware/HardwareInterfaceSerialPort.h"

namespace Kavrel {


FieldbusInterfaceSerialPort::FieldbusInterfaceSerialPort(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan), frameFormat(protocol, "VorlaneRS485")
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("FieldbusInterfaceSerialPort('", protocolName, "')"));
    HardwareInterfaceList ports;
    if (listHardwareInterfaces<HardwareInterfaceSerialPort>(ports, "the serial port") < 0)
        commonbase::DbgInfo(2, __FILE__, "no serial ports could be listed");
    addHardwareInterfaces(std::move(ports));
    makeParameterDialog();
    FieldbusInterfaceSerialPort::readSettings();
}

FieldbusInterfaceSerialPort::~FieldbusInterfaceSerialPort()
{
    stopWorkers();
}

bool FieldbusInterfaceSerialPort::splitFrameFormat(const std::string& entry, std::string& parity,
                                                   std::string& dataBits, std::string& stopBits)
{
    return SerialFrameFormat::split(entry, parity, dataBits, stopBits);
}

void FieldbusInterfaceSerialPort::readSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "readSettings");
    FieldbusInterface::readSettings();
    frameFormat.read([this](const std::string& key, std::string& value) { return readSetting(key, value); });
}

void FieldbusInterfaceSerialPort::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    writeSettingsWith([this] {
        writeSetting("Baudrate", getBaudrateText());
        frameFormat.write([this](const std::string& key, const std::string& value) { writeSetting(key, value); });
    });
}

void FieldbusInterfaceSerialPort::handOverParameters()
{
    commonbase::Dbg dbg(0, __FILE__, "handOverParameters");
    if (auto hw = getChosenHardwareInterface())
        frameFormat.handOver(*hw);
}

} // namespace Kavrel
