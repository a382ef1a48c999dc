#include "protocols/FieldbusProtocolModbusTcp.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

namespace {
constexpr std::size_t headerBytes = 6;
}

FieldbusProtocol::Constants FieldbusProtocolModbusTcp::modbusTcpConstants()
{
    return constantsFor("ModbusTCP");
}

FieldbusProtocolModbusTcp::FieldbusProtocolModbusTcp(std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocolModbusBase("ModbusTCP", modbusTcpConstants(), std::move(hardwareInterface))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

FieldbusProtocolModbusTcp::~FieldbusProtocolModbusTcp() = default;

std::string FieldbusProtocolModbusTcp::createHeader(const std::string& requestTemplate, std::uint32_t unit,
                                                    std::uint32_t a, std::uint32_t l, std::uint32_t s,
                                                    std::uint32_t p)
{
    const std::string body = FieldbusProtocolModbusBase::createHeader(requestTemplate, unit, a, l, s, p);
    // Transaction id 0 and protocol id 0; then the byte count of unit + PDU.
    std::string text;
    text.reserve(12 + body.size());
    text += "00000000";
    text += commonbase::toHex(body.size() / 2, 4, true);
    text += body;
    return text;
}

std::string FieldbusProtocolModbusTcp::extractReply(const GenericParameters& response)
{
    if (response.bytes.size() <= headerBytes)
        return {};
    // Upper case, as the RTU library answers: callers get the same digits either way.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text(2 * (response.bytes.size() - headerBytes), '0');
    std::size_t i = 0;
    for (auto b = response.bytes.begin() + headerBytes; b != response.bytes.end(); ++b) {
        text[i++] = digits[*b >> 4];
        text[i++] = digits[*b & 0x0F];
    }
    return text;
}

void FieldbusProtocolModbusTcp::fillRequest(const std::string& text, GenericParameters& request)
{
    asciiToBin(request.bytes, text);
    // Register values are appended after the header was made (Write Multiple
    // Registers), so the length field is set from the bytes that really follow.
    if (request.bytes.size() >= headerBytes) {
        const std::size_t following = request.bytes.size() - headerBytes;
        request.bytes[4] = static_cast<std::uint8_t>(following >> 8);
        request.bytes[5] = static_cast<std::uint8_t>(following & 0xFFu);
    }
}

} // namespace Kavrel
