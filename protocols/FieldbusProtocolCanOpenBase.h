#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

// Drive parameters as expedited CANopen SDO transfers (at most four data
// bytes) through a CAN adapter. A request carries the CAN identifier as
// number 0 and the eight frame bytes; the answer holds the eight data bytes
// of the frame that came back (adapters do not check its identifier, so the
// reply's command and object are checked against the request).
class FieldbusProtocolCanOpenBase : public FieldbusProtocol {
public:
    using Frame = std::array<std::uint8_t, 8>;

    // A failed exchange (no reply at all); its text stays empty.
    static constexpr std::uint32_t errorNoReply = 0x1101;
    // Abort code of a reply that says abort but is too short to carry one.
    static constexpr std::uint32_t errorUndecodableAbort = 0xFFFFFFFFu;
    // Refused before sending: expedited transfers address subindices 0..255 only.
    static constexpr std::uint32_t abortNoSubindex = 0x06090011;
    static constexpr std::uint32_t sdoRequestBase = 0x600;
    static constexpr const char* errorSection = "CanOpen";

    FieldbusProtocolCanOpenBase(const std::string& protocolName, std::shared_ptr<HardwareInterface> hardwareInterface);
    ~FieldbusProtocolCanOpenBase() override;

    std::int32_t readParameter(std::uint32_t node, std::uint32_t size, std::uint16_t index, std::uint16_t subindex,
                               std::uint32_t& value) override;
    std::int32_t writeParameter(std::uint32_t node, std::uint32_t size, std::uint16_t index, std::uint16_t subindex,
                                std::uint32_t value) override;
    std::uint32_t getMaxBlockSize() override { return 4; }
    std::int32_t ping(std::uint32_t node, std::uint32_t baud) override;

    // Sets the last error from a reply: none, abort code with its text, or 0.
    virtual void evaluateReply(const GenericParameters& response);

    // Drive parameter index to object index: parameters below 0x1000 and
    // 8000..8099 move up by 0x3000; communication objects stay.
    static std::uint16_t mapIndex(std::uint16_t index);
    static Frame uploadRequest(std::uint16_t object, std::uint8_t subindex);
    // dataBytes 1..4; the value's low bytes, least significant first.
    static Frame downloadRequest(std::uint16_t object, std::uint8_t subindex, std::uint32_t value,
                                 std::uint32_t dataBytes);
    // Number of data bytes (1..4) an expedited reply carries.
    static std::uint32_t replyDataBytes(const std::vector<std::uint8_t>& reply);
    static std::uint32_t replyValue(const std::vector<std::uint8_t>& reply);

protected:
    // Identification check shared by both families: logs both numbers when
    // the drive is not one of this protocol's.
    bool checkIdentity(bool accepted, std::uint32_t vendorId, std::uint32_t productCode) const;

private:
    // One SDO exchange with the mapped object; reply holds the answer bytes.
    std::int32_t sdoExchange(std::uint32_t node, const Frame& frame, GenericParameters& response);
    // Whether a reply answers this request (aborts are left to evaluateReply).
    static bool answers(const Frame& request, const GenericParameters& response);
    // The upload half of read and write; the mapped object already checked.
    std::int32_t upload(std::uint32_t node, std::uint16_t object, std::uint8_t subindex, GenericParameters& response);
    bool refuseSubindex(std::uint16_t subindex);
};

} // namespace Kavrel
