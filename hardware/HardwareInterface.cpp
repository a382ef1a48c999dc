#include "hardware/HardwareInterface.h"
#include "commonbase/Dbg.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

HardwareInterface::HardwareInterface() : mutex(std::make_shared<std::recursive_mutex>()) {}

HardwareInterface::~HardwareInterface() = default;

void HardwareInterface::setError(std::uint32_t code, std::string text)
{
    lastErrorCode = code;
    lastErrorText = std::move(text);
}

std::string HardwareInterface::vecToDebug(const std::vector<std::uint8_t>& bytes)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("vecToDebug (Size=", bytes.size(), ")"));
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes)
        text += commonbase::toHex(b, 2) + ",";
    return text;
}

std::string HardwareInterface::bytesToText(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (std::uint8_t b : bytes) {
        if (b == 0)
            break;
        text.push_back(static_cast<char>(b));
    }
    return text;
}

} // namespace Kavrel
