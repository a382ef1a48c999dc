#include "core/FieldbusInterfaceSerialPort.h"

#include <type_traits>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "protocols/FieldbusProtocol.h"
#if __has_include("hardware/HardwareInterfaceSerialPort.h")
#include "hardware/HardwareInterfaceSerialPort.h"
#define KAVREL_HAVE_SERIAL_PORT 1
#endif

namespace Kavrel {

namespace {
const std::string keyDatabits = "VorlaneRS485_Databits";
const std::string keyParity = "VorlaneRS485_Parity";
const std::string keyStopbits = "VorlaneRS485_Stopbits";
// The serial ports of this machine, listed by a closed port object.
template <class Port>
std::int32_t listPorts(HardwareInterfaceList& list)
{
    if constexpr (std::is_default_constructible_v<Port>) {
        Port enumerating;
        return enumerating.getAvailableInterfaces(list);
    } else {
        return -1;
    }
}
} // namespace

FieldbusInterfaceSerialPort::FieldbusInterfaceSerialPort(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("FieldbusInterfaceSerialPort('", protocolName, "')"));
    if (protocol) {
        const auto& formats = protocol->getFrameFormats();
        for (std::size_t i = 0; i < formats.size(); ++i)
            if (formats[i] == protocol->getDefaultFrameFormat())
                frameFormatIndex = static_cast<std::int32_t>(i);
    }
#ifdef KAVREL_HAVE_SERIAL_PORT
    HardwareInterfaceList ports;
    if (listPorts<HardwareInterfaceSerialPort>(ports) < 0)
        commonbase::DbgInfo(2, __FILE__, "no serial ports could be listed");
    addHardwareInterfaces(std::move(ports));
#endif
    makeParameterDialog();
    FieldbusInterfaceSerialPort::readSettings();
}

FieldbusInterfaceSerialPort::~FieldbusInterfaceSerialPort() = default;

bool FieldbusInterfaceSerialPort::splitFrameFormat(const std::string& entry, std::string& parity,
                                                   std::string& dataBits, std::string& stopBits)
{
    const auto first = entry.find(',');
    if (first == std::string::npos)
        return false;
    const auto second = entry.find(',', first + 1);
    if (second == std::string::npos || entry.find(',', second + 1) != std::string::npos)
        return false;
    parity = commonbase::trim(entry.substr(0, first));
    dataBits = commonbase::trim(entry.substr(first + 1, second - first - 1));
    stopBits = commonbase::trim(entry.substr(second + 1));
    return !parity.empty() && commonbase::parseDecimal(dataBits) && commonbase::parseDecimal(stopBits);
}

void FieldbusInterfaceSerialPort::setFrameFormatIndex(std::int32_t index)
{
    if (protocol && index >= 0 && static_cast<std::size_t>(index) < protocol->getFrameFormats().size())
        frameFormatIndex = index;
}

std::string FieldbusInterfaceSerialPort::getFrameFormat() const
{
    if (!protocol)
        return {};
    const auto& formats = protocol->getFrameFormats();
    if (frameFormatIndex < 0 || static_cast<std::size_t>(frameFormatIndex) >= formats.size())
        return protocol->getDefaultFrameFormat();
    return formats[static_cast<std::size_t>(frameFormatIndex)];
}

void FieldbusInterfaceSerialPort::readSettings()
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
        if (!splitFrameFormat(formats[i], p, d, s))
            continue;
        if ((!haveParity || commonbase::trim(parity) == p) && (!haveData || commonbase::trim(dataBits) == d) &&
            (!haveStop || commonbase::trim(stopBits) == s)) {
            frameFormatIndex = static_cast<std::int32_t>(i);
            return;
        }
    }
    commonbase::DbgInfo(2, __FILE__,
                        commonbase::cat("stored character format ", parity, ",", dataBits, ",", stopBits,
                                        " not offered; keeping ", getFrameFormat()));
}

void FieldbusInterfaceSerialPort::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    FieldbusInterface::writeSettings();
    std::string parity, dataBits, stopBits;
    splitFrameFormat(getFrameFormat(), parity, dataBits, stopBits);
    writeSetting("Baudrate", getBaudrateText());
    writeSetting(keyParity, parity);
    writeSetting(keyDatabits, dataBits);
    writeSetting(keyStopbits, stopBits);
    saveSettings();
}

void FieldbusInterfaceSerialPort::handOverParameters()
{
    commonbase::Dbg dbg(0, __FILE__, "handOverParameters");
    auto hw = getChosenHardwareInterface();
    if (!hw)
        return;
    std::string parity, dataBits, stopBits;
    if (!splitFrameFormat(getFrameFormat(), parity, dataBits, stopBits)) {
        commonbase::DbgInfo(3, __FILE__, commonbase::cat("bad character format '", getFrameFormat(), "'"));
        return;
    }
    GenericParameters parameters = hw->getParameters();
    parameters.setText(0, parity);
    parameters.setText(1, dataBits);
    parameters.setText(2, stopBits);
    hw->setParameters(parameters);
}

} // namespace Kavrel
