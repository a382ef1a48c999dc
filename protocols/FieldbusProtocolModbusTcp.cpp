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
    // Transaction id and protocol id are always 0; then the byte count of unit + PDU.
    return "00000000" + commonbase::toHex(body.size() / 2, 4, true) + body;
}

std::string FieldbusProtocolModbusTcp::extractReply(const GenericParameters& response)
{
    if (response.bytes.size() <= headerBytes)
        return {};
    return binToAscii(std::vector<std::uint8_t>(response.bytes.begin() + headerBytes, response.bytes.end()));
}

void FieldbusProtocolModbusTcp::fillRequest(const std::string& text, GenericParameters& request)
{
    asciiToBin(request.bytes, text);
}

} // namespace Kavrel
