#pragma once
#include <memory>
#include "protocols/FieldbusProtocolModbusBase.h"

namespace Kavrel {

// Modbus RTU on RS485 through the Modbus library adapter: the request travels
// as hex text (unit + PDU); the library frames it and adds the checksum, and
// answers with hex text of unit + PDU.
class FieldbusProtocolModbusRtu : public FieldbusProtocolModbusBase {
public:
    static Constants modbusRtuConstants();

    explicit FieldbusProtocolModbusRtu(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolModbusRtu() override;

    // Reopens the line at the new rate.
    std::int32_t setBaudrate(std::uint32_t baud) override;
};

} // namespace Kavrel
