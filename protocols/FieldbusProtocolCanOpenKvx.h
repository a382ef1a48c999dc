#pragma once
#include <atomic>
#include "protocols/FieldbusProtocolCanOpenBase.h"

namespace Kavrel {

// CANopen drives of the KVX family: identified by vendor id 0x0800005A and a
// product code above 1000; the drive offers a block of data for upload
// through parameters 4.9 (start), 4.11 (words available) and 4.12 (data).
class FieldbusProtocolCanOpenKvx : public FieldbusProtocolCanOpenBase {
public:
    static constexpr std::uint32_t vendorId = 0x0800005A;
    static constexpr std::uint32_t lowestProductCode = 1001;
    static constexpr std::uint32_t uploadStartValue = 0x00170032;

    explicit FieldbusProtocolCanOpenKvx(std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    ~FieldbusProtocolCanOpenKvx() override;

    std::int32_t readIdentification(std::uint32_t node, std::string& vendorName, std::string& productCode,
                                    std::string& version, std::string& motorType,
                                    std::string& serialNumber) override;
    std::int32_t initUpload(std::uint32_t node) override;
    std::int32_t getUpload(std::uint32_t node, std::uint32_t sessionId, std::uint32_t packetNumber,
                           std::string& data, std::uint32_t& finished) override;
    std::int32_t finishUpload(std::uint32_t node, std::uint32_t sessionId) override;

    std::int32_t getWordsAvailable() const { return wordsAvailable; }

private:
    // Signed: a drive that reports a negative count has nothing to give.
    std::atomic<std::int32_t> wordsAvailable{0};
};

} // namespace Kavrel
