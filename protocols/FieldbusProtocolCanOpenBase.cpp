#include "protocols/FieldbusProtocolCanOpenBase.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

using commonbase::cat;

namespace {

constexpr std::uint8_t commandUpload = 0x40;
constexpr std::uint8_t commandDownload = 0x23;
constexpr std::uint8_t abortBit = 0x80;
constexpr std::uint16_t objectOffset = 0x3000;
constexpr std::uint16_t pingIndex = 1;
constexpr std::uint16_t pingSubindex = 1;

std::uint32_t littleEndian(const std::vector<std::uint8_t>& bytes, std::size_t first, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count && first + i < bytes.size(); ++i)
        value |= static_cast<std::uint32_t>(bytes[first + i]) << (8 * i);
    return value;
}

} // namespace

FieldbusProtocolCanOpenBase::FieldbusProtocolCanOpenBase(const std::string& name,
                                                         std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocol(name, constantsFor(name), std::move(hardwareInterface))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

FieldbusProtocolCanOpenBase::~FieldbusProtocolCanOpenBase() = default;

std::uint16_t FieldbusProtocolCanOpenBase::mapIndex(std::uint16_t index)
{
    if (index < 0x1000 || (index >= 0x1F40 && index <= 0x1FA3))
        return static_cast<std::uint16_t>(index + objectOffset);
    return index;
}

FieldbusProtocolCanOpenBase::Frame FieldbusProtocolCanOpenBase::uploadRequest(std::uint16_t object,
                                                                               std::uint8_t subindex)
{
    return {commandUpload, static_cast<std::uint8_t>(object & 0xFF), static_cast<std::uint8_t>(object >> 8),
            subindex, 0, 0, 0, 0};
}

FieldbusProtocolCanOpenBase::Frame FieldbusProtocolCanOpenBase::downloadRequest(std::uint16_t object,
                                                                                 std::uint8_t subindex,
                                                                                 std::uint32_t value,
                                                                                 std::uint32_t dataBytes)
{
    if (dataBytes < 1 || dataBytes > 4)
        dataBytes = 4;
    Frame frame{static_cast<std::uint8_t>(commandDownload | ((4 - dataBytes) * 4)),
                static_cast<std::uint8_t>(object & 0xFF),
                static_cast<std::uint8_t>(object >> 8),
                subindex,
                0, 0, 0, 0};
    for (std::uint32_t i = 0; i < dataBytes; ++i)
        frame[4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return frame;
}

std::uint32_t FieldbusProtocolCanOpenBase::replyDataBytes(const std::vector<std::uint8_t>& reply)
{
    if (reply.empty())
        return 4;
    return 4 - ((reply[0] >> 2) & 3u);
}

std::uint32_t FieldbusProtocolCanOpenBase::replyValue(const std::vector<std::uint8_t>& reply)
{
    return littleEndian(reply, 4, replyDataBytes(reply));
}

bool FieldbusProtocolCanOpenBase::refuseSubindex(std::uint16_t subindex)
{
    if (subindex <= 0xFF)
        return false;
    setLastError(abortNoSubindex);
    getErrorMessage(errorSection);
    commonbase::DbgInfo(2, __FILE__, cat("subindex ", subindex, " does not fit an SDO request; nothing sent"));
    return true;
}

std::int32_t FieldbusProtocolCanOpenBase::sdoExchange(std::uint32_t node, const Frame& frame,
                                                      GenericParameters& response)
{
    GenericParameters request;
    request.setNumber(0, static_cast<std::int32_t>(sdoRequestBase + node));
    request.bytes.assign(frame.begin(), frame.end());
    response.bytes.clear();
    const std::int32_t result = sendProtocol(request, response);
    if (result == 1 && !answers(frame, response)) {
        commonbase::DbgInfo(3, __FILE__,
                            cat("node ", node, ": a reply that does not answer ", HardwareInterface::vecToDebug(request.bytes),
                                " was dropped: ", HardwareInterface::vecToDebug(response.bytes)));
        response.bytes.clear();
        return 0;
    }
    if (result != 1) {
        response.bytes.clear();
        auto hw = getHardwareInterface();
        commonbase::DbgInfo(3, __FILE__,
                            cat("Error ", commonbase::toHex(getLastErrorCode(), 4), " ",
                                hw ? hw->getLastErrorText() : std::string("no hardware interface"), " (node ",
                                node, ", ", HardwareInterface::vecToDebug(request.bytes), ")"));
    }
    return result;
}

bool FieldbusProtocolCanOpenBase::answers(const Frame& request, const GenericParameters& response)
{
    const auto& bytes = response.bytes;
    if (!bytes.empty() && (bytes[0] & abortBit) != 0)
        return true; // an abort is judged by evaluateReply
    // Adapters do not check the identifier, so a late reply to an earlier
    // request or a cut frame could pass a wrong value as the right one: the
    // reply must be whole, the command's own response, for the same object.
    const auto carried = static_cast<std::size_t>(response.getNumber(1, static_cast<std::int32_t>(bytes.size())));
    const std::uint8_t expected = request[0] == commandUpload ? 0x40 : 0x60;
    return bytes.size() >= 8 && carried >= 8 && (bytes[0] & 0xE0) == expected && bytes[1] == request[1] &&
           bytes[2] == request[2] && bytes[3] == request[3];
}

void FieldbusProtocolCanOpenBase::evaluateReply(const GenericParameters& response)
{
    const auto& bytes = response.bytes;
    if (bytes.empty()) {
        setLastError(errorNoReply);
        return;
    }
    if ((bytes[0] & abortBit) != 0) {
        // Adapters pad the data to 8 bytes and say how many the frame had.
        const auto carried = static_cast<std::size_t>(response.getNumber(1, static_cast<std::int32_t>(bytes.size())));
        setLastError(bytes.size() >= 8 && carried >= 8 ? littleEndian(bytes, 4, 4) : errorUndecodableAbort);
        getErrorMessage(errorSection);
        return;
    }
    setLastError(0);
}

std::int32_t FieldbusProtocolCanOpenBase::upload(std::uint32_t node, std::uint16_t object, std::uint8_t subindex,
                                                 GenericParameters& response)
{
    const std::int32_t exchanged = sdoExchange(node, uploadRequest(object, subindex), response);
    evaluateReply(response);
    return exchanged == 1 && getLastErrorCode() == 0 ? 1 : 0;
}

std::int32_t FieldbusProtocolCanOpenBase::readParameter(std::uint32_t node, std::uint32_t size, std::uint16_t index,
                                                        std::uint16_t subindex, std::uint32_t& value)
{
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return cat("readParameter('ADR:", node, ",SIZE:", size, ",IDX:", index, ",SIDX:", subindex, "')");
    });
    value = 0;
    if (refuseSubindex(subindex))
        return 0;
    GenericParameters response;
    if (upload(node, mapIndex(index), static_cast<std::uint8_t>(subindex), response) != 1)
        return 0;
    value = replyValue(response.bytes);
    return 1;
}

std::int32_t FieldbusProtocolCanOpenBase::writeParameter(std::uint32_t node, std::uint32_t size, std::uint16_t index,
                                                         std::uint16_t subindex, std::uint32_t value)
{
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return cat("writeParameter('ADR:", node, ",SIZE:", size, ",IDX:", index, ",SIDX:", subindex, ",VAL:", value,
                   "')");
    });
    if (refuseSubindex(subindex))
        return 0;
    // The drive's own reply says how wide the object is; the read and the
    // download go out back to back.
    auto lock = lockOperation();
    const std::uint16_t object = mapIndex(index);
    GenericParameters readReply;
    if (upload(node, object, static_cast<std::uint8_t>(subindex), readReply) != 1)
        return 0;
    const std::uint32_t dataBytes = replyDataBytes(readReply.bytes);
    GenericParameters response;
    const std::int32_t exchanged = sdoExchange(
        node, downloadRequest(object, static_cast<std::uint8_t>(subindex), value, dataBytes), response);
    evaluateReply(response);
    return exchanged == 1 && getLastErrorCode() == 0 ? 1 : 0;
}

std::int32_t FieldbusProtocolCanOpenBase::ping(std::uint32_t node, std::uint32_t baud)
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("ping(", node, ",", baud, ")"); });
    auto hw = getHardwareInterface();
    if (!hw) {
        setLastError(errorNoReply);
        return 0;
    }
    auto lock = lockOperation();
    hw->setBaudrate(baud);
    if (hw->openInterface() != 1)
        return 0;
    std::uint32_t value = 0;
    const std::int32_t result = readParameter(node, 4, pingIndex, pingSubindex, value);
    hw->closeInterface();
    return result;
}

bool FieldbusProtocolCanOpenBase::checkIdentity(bool accepted, std::uint32_t vendorId,
                                                std::uint32_t productCode) const
{
    if (!accepted)
        commonbase::DbgInfo(2, __FILE__,
                            cat("Unknown vendor id or product code: Vendor ID: ", commonbase::toHex(vendorId, 8, true),
                                " Product Code: ", commonbase::toHex(productCode, 8, true)));
    return accepted;
}

} // namespace Kavrel
