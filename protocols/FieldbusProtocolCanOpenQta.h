#pragma once
#include "protocols/FieldbusProtocolCanOpenBase.h"

namespace Kavrel {

// CANopen drives of the QTA family: identified by vendor id 0x0100002E and a
// product code other than 0; no bulk upload.
class FieldbusProtocolCanOpenQta : public FieldbusProtocolCanOpenBase {
public:
    static constexpr std::uint32_t vendorId = 0x0100002E;

    explicit FieldbusProtocolCanOpenQta(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolCanOpenQta() override;

    std::int32_t readIdentification(std::uint32_t node, std::string& vendorName, std::string& productCode,
                                    std::string& version, std::string& motorType,
                                    std::string& serialNumber) override;
    std::int32_t initUpload(std::uint32_t node) override;
    std::int32_t getUpload(std::uint32_t node, std::uint32_t sessionId, std::uint32_t packetNumber,
                           std::string& data, std::uint32_t& finished) override;
    std::int32_t finishUpload(std::uint32_t node, std::uint32_t sessionId) override;
};

} // namespace Kavrel
