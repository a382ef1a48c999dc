#include "core/SerialFrameFormat.h"

#include <utility>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

SerialFrameFormat::SerialFrameFormat(std::shared_ptr<FieldbusProtocol> bus, std::string prefix)
    : protocol(std::move(bus)), keyPrefix(std::move(prefix))
{
    if (protocol)
        setFormat(protocol->getDefaultFrameFormat());
}

void SerialFrameFormat::setIndex(std::int32_t newIndex)
{
    if (protocol && newIndex >= 0 && static_cast<std::size_t>(newIndex) < protocol->getFrameFormats().size())
        index = newIndex;
}

bool SerialFrameFormat::setFormat(const std::string& entry)
{
    if (!protocol)
        return false;
    const auto& formats = protocol->getFrameFormats();
    const std::string wanted = commonbase::trim(entry);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        if (formats[i] == wanted) {
            index = static_cast<std::int32_t>(i);
            return true;
        }
    }
    return false;
}

std::string SerialFrameFormat::getFormat() const
{
    if (!protocol)
        return {};
    const auto& formats = protocol->getFrameFormats();
    if (index < 0 || static_cast<std::size_t>(index) >= formats.size())
        return protocol->getDefaultFrameFormat();
    return formats[static_cast<std::size_t>(index)];
}

void SerialFrameFormat::read(const Reader& readSetting)
{
    std::string dataBits, parity, stopBits;
    const bool haveData = readSetting(keyPrefix + "_Databits", dataBits);
    const bool haveParity = readSetting(keyPrefix + "_Parity", parity);
    const bool haveStop = readSetting(keyPrefix + "_Stopbits", stopBits);
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
            index = static_cast<std::int32_t>(i);
            return;
        }
    }
    commonbase::DbgInfo(2, __FILE__, cat("stored character format ", parity, ",", dataBits, ",", stopBits,
                                         " not offered; keeping ", getFormat()));
}

void SerialFrameFormat::write(const Writer& writeSetting) const
{
    std::string parity, dataBits, stopBits;
    split(getFormat(), parity, dataBits, stopBits);
    writeSetting(keyPrefix + "_Parity", parity);
    writeSetting(keyPrefix + "_Databits", dataBits);
    writeSetting(keyPrefix + "_Stopbits", stopBits);
}

void SerialFrameFormat::handOver(HardwareInterface& port) const
{
    std::string parity, dataBits, stopBits;
    if (!split(getFormat(), parity, dataBits, stopBits)) {
        commonbase::DbgInfo(3, __FILE__, cat("bad character format '", getFormat(), "'"));
        return;
    }
    GenericParameters parameters = port.getParameters();
    parameters.setText(0, parity);
    parameters.setText(1, dataBits);
    parameters.setText(2, stopBits);
    port.setParameters(parameters);
}

bool SerialFrameFormat::split(const std::string& entry, std::string& parity, std::string& dataBits,
                              std::string& stopBits)
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

} // namespace Kavrel
