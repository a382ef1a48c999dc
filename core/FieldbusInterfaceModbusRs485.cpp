#include "core/FieldbusInterfaceModbusRs485.h"

#include <stdexcept>
#include <type_traits>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "protocols/FieldbusProtocol.h"
#if __has_include("hardware/HardwareInterfaceModbusRs485Dll.h")
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#define KAVREL_HAVE_MODBUS_DLL 1
#endif

namespace Kavrel {

using commonbase::cat;

namespace {
const std::string keyDatabits = "ModbusRS485_Databits";
const std::string keyParity = "ModbusRS485_Parity";
const std::string keyStopbits = "ModbusRS485_Stopbits";

template <class Adapter>
std::int32_t listAdapters(HardwareInterfaceList& list)
{
    if constexpr (std::is_default_constructible_v<Adapter>) {
        try {
            Adapter enumerating;
            return enumerating.getAvailableInterfaces(list);
        } catch (const std::exception& e) {
            // The vendor library or one of its entry points is missing.
            commonbase::DbgInfo(3, __FILE__, cat("the Modbus RS485 library is not available: ", e.what()));
            return -1;
        }
    } else {
        return -1;
    }
}

bool split(const std::string& entry, std::string& parity, std::string& dataBits, std::string& stopBits)
{
    return FieldbusInterfaceSerialPort::splitFrameFormat(entry, parity, dataBits, stopBits);
}
} // namespace

FieldbusInterfaceModbusRs485::FieldbusInterfaceModbusRs485(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan)
{
    commonbase::Dbg dbg(0, __FILE__, cat("FieldbusInterfaceModbusRs485('", protocolName, "')"));
    if (protocol)
        setFrameFormat(protocol->getDefaultFrameFormat());
#ifdef KAVREL_HAVE_MODBUS_DLL
    HardwareInterfaceList ports;
    if (listAdapters<HardwareInterfaceModbusRs485Dll>(ports) < 0)
        commonbase::DbgInfo(2, __FILE__, "no Modbus RS485 ports could be listed");
    addHardwareInterfaces(std::move(ports));
#else
    commonbase::DbgInfo(3, __FILE__, "built without the Modbus RS485 library adapter");
#endif
    makeParameterDialog();
    FieldbusInterfaceModbusRs485::readSettings();
}

FieldbusInterfaceModbusRs485::~FieldbusInterfaceModbusRs485() = default;

void FieldbusInterfaceModbusRs485::setFrameFormatIndex(std::int32_t index)
{
    if (protocol && index >= 0 && static_cast<std::size_t>(index) < protocol->getFrameFormats().size())
        frameFormatIndex = index;
}

bool FieldbusInterfaceModbusRs485::setFrameFormat(const std::string& entry)
{
    if (!protocol)
        return false;
    const auto& formats = protocol->getFrameFormats();
    const std::string wanted = commonbase::trim(entry);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        if (formats[i] == wanted) {
            frameFormatIndex = static_cast<std::int32_t>(i);
            return true;
        }
    }
    return false;
}

std::string FieldbusInterfaceModbusRs485::getFrameFormat() const
{
    if (!protocol)
        return {};
    const auto& formats = protocol->getFrameFormats();
    if (frameFormatIndex < 0 || static_cast<std::size_t>(frameFormatIndex) >= formats.size())
        return protocol->getDefaultFrameFormat();
    return formats[static_cast<std::size_t>(frameFormatIndex)];
}

void FieldbusInterfaceModbusRs485::readSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "readSettings");
    FieldbusInterface::readSettings();
    std::string dataBits, parity, stopBits;
    const bool haveData = readSetting(keyDatabits, dataBits);
    const bool haveParity = readSetting(keyParity, parity);
    const bool haveStop = readSetting(keyStopbits, stopBits);
    if (!protocol || protocol->getFrameFormats().empty()) {
        commonbase::DbgInfo(3, __FILE__, "Invalid cast");
        return;
    }
    if (!haveData && !haveParity && !haveStop)
        return;
    const auto& formats = protocol->getFrameFormats();
    for (std::size_t i = 0; i < formats.size(); ++i) {
        std::string p, d, s;
        if (!split(formats[i], p, d, s))
            continue;
        if ((!haveParity || commonbase::trim(parity) == p) && (!haveData || commonbase::trim(dataBits) == d) &&
            (!haveStop || commonbase::trim(stopBits) == s)) {
            frameFormatIndex = static_cast<std::int32_t>(i);
            return;
        }
    }
    commonbase::DbgInfo(2, __FILE__, cat("stored character format ", parity, ",", dataBits, ",", stopBits,
                                         " not offered; keeping ", getFrameFormat()));
}

void FieldbusInterfaceModbusRs485::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    std::string parity, dataBits, stopBits;
    split(getFrameFormat(), parity, dataBits, stopBits);
    writeBaseSettings();
    writeSetting("Baudrate", getBaudrateText());
    writeSetting(keyParity, parity);
    writeSetting(keyDatabits, dataBits);
    writeSetting(keyStopbits, stopBits);
    saveSettings();
}

void FieldbusInterfaceModbusRs485::handOverParameters()
{
    commonbase::Dbg dbg(0, __FILE__, cat("handOverParameters(", getFrameFormat(), ")"));
    auto hardware = getChosenHardwareInterface();
    if (!hardware)
        return;
    std::string parity, dataBits, stopBits;
    if (!split(getFrameFormat(), parity, dataBits, stopBits)) {
        commonbase::DbgInfo(3, __FILE__, cat("bad character format '", getFrameFormat(), "'"));
        return;
    }
    GenericParameters parameters = hardware->getParameters();
    parameters.setText(0, parity);
    parameters.setText(1, dataBits);
    parameters.setText(2, stopBits);
    hardware->setParameters(parameters);
}

} // namespace Kavrel
