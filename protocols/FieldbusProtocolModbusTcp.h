#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "protocols/FieldbusProtocolModbusBase.h"

namespace Kavrel {

// Modbus TCP through the Ethernet adapter: requests carry the MBAP header
// with transaction id 0, protocol id 0 and the count of the bytes that
// follow. Transaction id 0 suffices because a connection carries one request
// at a time and the adapter drops a stale answer before sending. A reply's
// first six bytes are dropped unread; what follows is checked like any
// Modbus reply (unit, function, size), so a cut, overlong or foreign
// answer fails instead of giving a value.
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
