#pragma once
#include <memory>
#include <string>
#include "protocols/FieldbusProtocolModbusBase.h"

namespace Kavrel {

// Modbus TCP through the Ethernet adapter: requests carry the MBAP header
// (transaction 0, protocol 0, length), which the reply's first six bytes
// mirror and which is dropped before the reply is read.
class FieldbusProtocolModbusTcp : public FieldbusProtocolModbusBase {
public:
    static Constants modbusTcpConstants();

    explicit FieldbusProtocolModbusTcp(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolModbusTcp() override;

    std::string createHeader(const std::string& requestTemplate, std::uint32_t unit, std::uint32_t a,
                             std::uint32_t l, std::uint32_t s, std::uint32_t p) override;
    std::string extractReply(const GenericParameters& response) override;

protected:
    void fillRequest(const std::string& text, GenericParameters& request) override;
};

} // namespace Kavrel
