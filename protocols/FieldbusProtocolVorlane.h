#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

// The drive maker's ASCII protocol on RS485: a drive is selected by an
// addressing telegram ("#NN\r"); parameter telegrams carry no address.
//
// The line only knows the drive addressed last, so this protocol remembers
// the address it sent last and re-addresses before a parameter telegram for
// another drive, holding lockOperation() across both. A failed exchange
// forgets the address. Any reply ended by CR acknowledges the addressing.
//
// A failed exchange carries the serial interface's code and text unchanged;
// the codes below are only for what the interface cannot judge: a read reply
// without a value, an address the telegram cannot carry, no interface.
class FieldbusProtocolVorlane : public FieldbusProtocol {
public:
    // Own error codes (outside the Modbus 0x6xx block).
    static constexpr std::uint32_t errorReplyTooShort = 0x1401;
    static constexpr std::uint32_t errorReplyNotHex = 0x1402;
    static constexpr std::uint32_t errorAddressRange = 0x1404;
    static constexpr std::uint32_t errorNoInterface = 0x1405;

    explicit FieldbusProtocolVorlane(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolVorlane() override;

    std::int32_t readIdentification(std::uint32_t address, std::string& vendorName, std::string& productCode,
                                    std::string& version, std::string& motorType,
                                    std::string& serialNumber) override;
    std::int32_t readParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                               std::uint16_t subindex, std::uint32_t& value) override;
    std::int32_t writeParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                                std::uint16_t subindex, std::uint32_t value) override;
    std::int32_t initUpload(std::uint32_t address) override;
    std::int32_t getUpload(std::uint32_t address, std::uint32_t sessionId, std::uint32_t packetNumber,
                           std::string& data, std::uint32_t& finished) override;
    std::int32_t finishUpload(std::uint32_t address, std::uint32_t sessionId) override;
    std::uint32_t getMaxBlockSize() override { return 0; }
    std::int32_t ping(std::uint32_t address, std::uint32_t baud) override;

    // Sends the addressing telegram; 1 when a reply ended by CR came back.
    std::int32_t adressDevice(std::uint32_t address);

    // Telegram texts (without transport), for logging and tests.
    static std::string addressTelegram(std::uint32_t address);
    static std::string readTelegram(std::uint16_t index, std::uint16_t subindex);
    static std::string writeTelegram(std::uint16_t index, std::uint16_t subindex, std::uint32_t value);

    // The address the line is known to be set to, if any.
    std::optional<std::uint32_t> getAddressedDevice();

private:
    // One request/reply; the reply text without the end character in reply.
    std::int32_t exchange(const std::string& telegram, std::string& reply);
    // Re-addresses when the line is set to another drive (or unknown).
    std::int32_t ensureAddressed(std::uint32_t address);

    std::optional<std::uint32_t> addressed;
};

} // namespace Kavrel
