#include "hardware/HardwareInterface.h"
#include "commonbase/Dbg.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

HardwareInterface::HardwareInterface() : mutex(std::make_shared<std::recursive_mutex>()) {}

HardwareInterface::~HardwareInterface() = default;

HardwareInterface::LastError::LastError(const LastError& other)
{
    std::lock_guard<std::mutex> guard(other.lock);
    code = other.code;
    text = other.text;
}

HardwareInterface::LastError& HardwareInterface::LastError::operator=(const LastError& other)
{
    if (this == &other) return *this;
    std::uint32_t otherCode;
    std::string otherText;
    {
        std::lock_guard<std::mutex> guard(other.lock);
        otherCode = other.code;
        otherText = other.text;
    }
    std::lock_guard<std::mutex> guard(lock);
    code = otherCode;
    text = std::move(otherText);
    return *this;
}

void HardwareInterface::setError(std::uint32_t code, std::string text)
{
    std::lock_guard<std::mutex> guard(lastError.lock);
    lastError.code = code;
    lastError.text = std::move(text);
}

std::uint32_t HardwareInterface::getLastErrorCode() const
{
    std::lock_guard<std::mutex> guard(lastError.lock);
    return lastError.code;
}

std::string HardwareInterface::getLastErrorText() const
{
    std::lock_guard<std::mutex> guard(lastError.lock);
    return lastError.text;
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
