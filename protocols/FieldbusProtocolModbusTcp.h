#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "protocols/FieldbusProtocolModbusBase.h"

namespace Kavrel {

// Modbus TCP through the Ethernet adapter: requests carry the MBAP header
// (transaction id, protocol 0, length). The transaction id counts up with
// every request, as other Modbus TCP clients do, so an answer that comes too
// late for its request is never taken for the next one's. A reply must carry
// the request's transaction id, protocol id 0 and a length field that counts
// exactly the bytes after the header; the header is then dropped.
class FieldbusProtocolModbusTcp : public FieldbusProtocolModbusBase {
public:
    static Constants modbusTcpConstants();

    explicit FieldbusProtocolModbusTcp(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolModbusTcp() override;

    std::string createHeader(const std::string& requestTemplate, std::uint32_t unit, std::uint32_t a,
                             std::uint32_t l, std::uint32_t s, std::uint32_t p) override;
    std::string extractReply(const GenericParameters& response) override;

    // Whether reply is a whole Modbus TCP frame answering request; why says
    // what is wrong when not.
    static bool replyMatches(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& reply,
                             std::string& why);

protected:
    void fillRequest(const std::string& text, GenericParameters& request) override;
    bool checkFrame(const GenericParameters& request, const GenericParameters& response, std::string& why) override;

private:
    std::atomic<std::uint16_t> lastTransaction{0};
};

} // namespace Kavrel
