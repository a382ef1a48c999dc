#include "automation/InterfaceSettings.h"

#include <chrono>
#include <cstdint>

#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/SerialFrameFormat.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

namespace {

constexpr const char* source = "InterfaceSettings";

HRESULT refuse(const std::string& text) { return ErrorInfo::set(E_INVALIDARG, text, source); }

HRESULT badValue(const std::string& key, const std::string& value)
{
    return refuse(commonbase::cat("'", value, "' is not a valid value for '", key, "'"));
}

HRESULT notASetting(const FieldbusInterface& core, const std::string& key)
{
    return refuse(commonbase::cat("'", key, "' is not a setting of a ", core.getProtocolName(), " interface"));
}

HRESULT accepted() { return ErrorInfo::update(S_OK, source); }

} // namespace

HRESULT InterfaceSettings::set(CFieldbusInterface& twin, const std::string& key, const std::string& value)
{
    FieldbusInterface& core = *twin.getFieldbusInterface();
    auto* tcp = dynamic_cast<FieldbusInterfaceModbusTcp*>(&core);
    SerialFrameFormat* format = core.getSerialFrameFormat();
    if (key == "IpAddress" && tcp)
        return tcp->setIpAddress(value) ? accepted() : badValue(key, value);
    if (key == "EthernetPort" && tcp)
        return tcp->setEthernetPort(value) ? accepted() : badValue(key, value);
    if (key == "Format" && format)
        return format->setFormat(value) ? accepted() : badValue(key, value);
    if (key == "Port") {
        const std::int32_t index = core.findInterfaceByNameToOpen(value);
        if (index < 0)
            return refuse(commonbase::cat("no hardware interface is opened as '", value, "'"));
        core.setInterfaceIndex(index);
        return accepted();
    }
    if (key == "Baudrate")
        return core.setBaudrateText(value) ? accepted() : badValue(key, value);
    if (key == "ScanRange") {
        // Stored as well: the range a later scan starts from.
        if (core.setScanRange(value) != 0) {
            auto protocol = core.getFieldbusProtocol();
            return protocol ? refuse(protocol->rangeRefusalText(value)) : badValue(key, value);
        }
        core.storeScanRange();
        return accepted();
    }

    auto number = commonbase::parseDecimal(commonbase::trim(value));
    if (!number)
        return key == "DeviceAddress" || key == "DontShow" || key == "NodeGuardEnabled" ||
                       key == "NodeGuardInterval" || key == "NodeGuardOnConnect" || (key == "ReplyTimeout" && tcp)
                   ? badValue(key, value)
                   : notASetting(core, key);
    if (key == "DeviceAddress") {
        auto protocol = core.getFieldbusProtocol();
        if (!protocol || *number < protocol->getScanMinimum() || *number > protocol->getScanMaximum())
            return badValue(key, value);
        core.setDeviceAddress(*number);
        return accepted();
    }
    if (key == "DontShow") {
        core.setDontShowDialog(*number);
        return accepted();
    }
    if (key == "NodeGuardOnConnect") {
        core.setGuardOnConnect(*number != 0);
        return accepted();
    }
    if (key == "NodeGuardEnabled") {
        core.setNodeGuardEnabled(*number);
        return accepted();
    }
    if (key == "ReplyTimeout" && tcp) {
        auto* ethernet = dynamic_cast<HardwareInterfaceEthernet*>(core.getChosenHardwareInterface().get());
        if (!ethernet || *number == 0)
            return badValue(key, value);
        ethernet->setReplyTimeout(std::chrono::milliseconds(*number));
        return accepted();
    }
    if (key == "NodeGuardInterval") {
        if (*number == 0 || *number > 0x7FFFFFFFu)
            return badValue(key, value);
        core.setNodeGuardInterval(static_cast<std::int32_t>(*number));
        return accepted();
    }
    return notASetting(core, key);
}

HRESULT InterfaceSettings::get(CFieldbusInterface& twin, const std::string& key, std::string& value)
{
    if (key == "communicationParameters")
        return twin.get_communicationParameters(value);
    if (key == "scanRange")
        return twin.get_scanRange(value);
    if (key == "versionstring")
        return twin.get_versionstring(value);
    FieldbusInterface& core = *twin.getFieldbusInterface();
    auto* tcp = dynamic_cast<FieldbusInterfaceModbusTcp*>(&core);
    SerialFrameFormat* format = core.getSerialFrameFormat();
    if (key == "IpAddress" && tcp)
        value = tcp->getIpAddress();
    else if (key == "EthernetPort" && tcp)
        value = tcp->getEthernetPort();
    else if (key == "Format" && format)
        value = format->getFormat();
    else if (key == "Baudrate")
        value = core.getBaudrateText();
    else if (key == "Baudrates" || key == "ScanBounds" || (key == "Formats" && format)) {
        auto protocol = core.getFieldbusProtocol();
        if (!protocol)
            return notASetting(core, key);
        value.clear();
        if (key == "ScanBounds")
            value = commonbase::cat(protocol->getScanMinimum(), "-", protocol->getScanMaximum());
        else if (key == "Baudrates")
            for (const auto& rate : protocol->getBaudrates())
                value += (value.empty() ? "" : ",") + rate;
        else // a format holds commas itself
            for (const auto& format : protocol->getFrameFormats())
                value += (value.empty() ? "" : " ") + format;
    } else if (key == "Port") {
        auto hardware = core.getChosenHardwareInterface();
        value = hardware ? hardware->getNameToOpen() : "";
    } else
        return notASetting(core, key);
    return accepted();
}

} // namespace Kavrel
