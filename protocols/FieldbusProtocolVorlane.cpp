#include "protocols/FieldbusProtocolVorlane.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

namespace {

constexpr char endCharacter = '\r';
// A read reply carries the value at characters 8..15.
constexpr std::size_t valueOffset = 8;
constexpr std::size_t valueDigits = 8;

std::string hexUpper(std::uint64_t value, int width)
{
    return commonbase::toHex(value, width, true);
}

std::string decimalPadded(std::uint32_t value, std::size_t width)
{
    std::string text = std::to_string(value);
    if (text.size() < width)
        text.insert(0, width - text.size(), '0');
    return text;
}

// Four characters of a 32-bit value, most significant byte first.
std::string fourCharacters(std::uint32_t value)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text.push_back(static_cast<char>((value >> shift) & 0xFF));
    return text;
}

} // namespace

FieldbusProtocolVorlane::FieldbusProtocolVorlane(std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocol("VorlaneRS485", constantsFor("VorlaneRS485"), std::move(hardwareInterface))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

FieldbusProtocolVorlane::~FieldbusProtocolVorlane() = default;

std::string FieldbusProtocolVorlane::addressTelegram(std::uint32_t address)
{
    return "#" + decimalPadded(address, 2) + endCharacter;
}

std::string FieldbusProtocolVorlane::readTelegram(std::uint16_t index, std::uint16_t subindex)
{
    return "02" + hexUpper(subindex & 0xFFu, 2) + hexUpper(index, 4) + "00000000" + endCharacter;
}

std::string FieldbusProtocolVorlane::writeTelegram(std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    return "09" + hexUpper(subindex & 0xFFu, 2) + hexUpper(index, 4) + hexUpper(value, 8) + endCharacter;
}

std::optional<std::uint32_t> FieldbusProtocolVorlane::getAddressedDevice()
{
    auto lock = lockOperation();
    return addressed;
}

std::int32_t FieldbusProtocolVorlane::exchange(const std::string& telegram, std::string& reply)
{
    reply.clear();
    if (!getHardwareInterface()) {
        addressed.reset();
        setLastError(errorNoInterface, "Vorlane: no hardware interface");
        return 0;
    }
    GenericParameters request;
    GenericParameters response;
    request.setBytes(telegram);
    request.setText(3, std::string(1, endCharacter));
    std::int32_t result = sendProtocol(request, response);
    if (result != 1) {
        // The drive may have missed the addressing too; start over next time.
        addressed.reset();
        // The interface's code and text say why, as they are.
        auto hw = getHardwareInterface();
        setLastError(getLastErrorCode(), hw ? hw->getLastErrorText() : std::string());
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("Vorlane: ", telegram.substr(0, telegram.size() - 1), ": ",
                                                         getLastErrorString()));
        return result;
    }
    reply = response.bytesAsText();
    if (!reply.empty() && reply.back() == endCharacter)
        reply.pop_back();
    return 1;
}

std::int32_t FieldbusProtocolVorlane::adressDevice(std::uint32_t address)
{
    auto lock = lockOperation();
    const std::string telegram = addressTelegram(address);
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("adressDevice(", address, ") ", telegram.substr(0, 3)));
    addressed.reset();
    if (address > 99) {
        setLastError(errorAddressRange, commonbase::cat("Vorlane: address ", address, " has more than two digits"));
        return 0;
    }
    std::string reply;
    std::int32_t result = exchange(telegram, reply);
    if (result != 1)
        return result;
    setLastError(0);
    addressed = address;
    return 1;
}

std::int32_t FieldbusProtocolVorlane::ensureAddressed(std::uint32_t address)
{
    if (addressed && *addressed == address)
        return 1;
    return adressDevice(address);
}

std::int32_t FieldbusProtocolVorlane::readParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                                                    std::uint16_t subindex, std::uint32_t& value)
{
    commonbase::Dbg dbg(0, __FILE__,
                        commonbase::cat("readParameter('ADR:", address, ",SIZE:", size, ",IDX:", index,
                                        ",SIDX:", subindex, "')"));
    auto lock = lockOperation();
    std::int32_t result = ensureAddressed(address);
    if (result != 1)
        return result;
    std::string reply;
    result = exchange(readTelegram(index, subindex), reply);
    if (result != 1)
        return result;
    if (reply.size() < valueOffset + valueDigits) {
        addressed.reset();
        setLastError(errorReplyTooShort, commonbase::cat("Vorlane: reply '", reply, "' shorter than 16 characters"));
        commonbase::DbgInfo(2, __FILE__, getLastErrorString());
        return 0;
    }
    const std::string digits = reply.substr(valueOffset, valueDigits);
    auto parsed = commonbase::parseHex(digits);
    bool allHex = true;
    for (char c : digits)
        allHex = allHex && std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!allHex || !parsed) {
        addressed.reset();
        setLastError(errorReplyNotHex, commonbase::cat("Vorlane: reply value '", digits, "' is not hexadecimal"));
        commonbase::DbgInfo(2, __FILE__, getLastErrorString());
        return 0;
    }
    value = static_cast<std::uint32_t>(*parsed);
    setLastError(0);
    return 1;
}

std::int32_t FieldbusProtocolVorlane::writeParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                                                     std::uint16_t subindex, std::uint32_t value)
{
    commonbase::Dbg dbg(0, __FILE__,
                        commonbase::cat("writeParameter('ADR:", address, ",SIZE:", size, ",IDX:", index,
                                        ",SIDX:", subindex, ",VAL:", value, "')"));
    auto lock = lockOperation();
    std::int32_t result = ensureAddressed(address);
    if (result != 1)
        return result;
    std::string reply;
    result = exchange(writeTelegram(index, subindex, value), reply);
    if (result == 1)
        setLastError(0);
    return result;
}

std::int32_t FieldbusProtocolVorlane::readIdentification(std::uint32_t address, std::string& vendorName,
                                                         std::string& productCode, std::string& version,
                                                         std::string& motorType, std::string& serialNumber)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("readIdentification(", address, ")"));
    auto lock = lockOperation();
    if (adressDevice(address) != 1)
        return 0;
    if (writeParameter(address, 2, 1, 10, 1) != 1)
        return 0;
    std::uint32_t value = 0;
    readParameter(address, 2, 1, 1, value);

    vendorName = "Vorlane";

    // A failed read contributes nothing rather than stale characters.
    std::string code;
    value = 0;
    if (readParameter(address, 2, 1, 3, value) == 1)
        code += fourCharacters(value);
    value = 0;
    if (readParameter(address, 2, 1, 4, value) == 1)
        code += fourCharacters(value);
    code.erase(std::remove(code.begin(), code.end(), '\0'), code.end());
    productCode = commonbase::trim(code);

    version.clear();
    value = 0;
    if (readParameter(address, 2, 1, 1, value) == 1)
        version = "PR" + std::to_string(value >> 16) + decimalPadded(value & 0xFFFFu, 2);
    value = 0;
    if (readParameter(address, 2, 1, 2, value) == 1)
        version += "V" + std::to_string(value >> 16) + decimalPadded(value & 0xFFFFu, 3);

    FieldbusProtocol::readIdentification(address, vendorName, productCode, version, motorType, serialNumber);
    return 1;
}

std::int32_t FieldbusProtocolVorlane::initUpload(std::uint32_t address)
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("initUpload(", address, ") not supported"));
    return 0;
}

std::int32_t FieldbusProtocolVorlane::getUpload(std::uint32_t address, std::uint32_t, std::uint32_t, std::string& data,
                                                std::uint32_t& finished)
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("getUpload(", address, ") not supported"));
    data.clear();
    finished = 0;
    return static_cast<std::int32_t>(0x80004005u);
}

std::int32_t FieldbusProtocolVorlane::finishUpload(std::uint32_t address, std::uint32_t)
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("finishUpload(", address, ") not supported"));
    return 0;
}

std::int32_t FieldbusProtocolVorlane::ping(std::uint32_t address, std::uint32_t baud)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("ping(", address, ",", baud, ")"));
    auto lock = lockOperation();
    auto hw = getHardwareInterface();
    if (!hw) {
        setLastError(errorNoInterface, "Vorlane: no hardware interface");
        return 0;
    }
    hw->setBaudrate(baud);
    if (openInterface(address) != 1)
        return 0;
    std::int32_t result = adressDevice(address) == 1 ? 1 : 0;
    closeInterface();
    // Whatever the drive kept, a reopened line starts unknown.
    addressed.reset();
    return result;
}

} // namespace Kavrel
