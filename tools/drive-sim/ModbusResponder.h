#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>
#include "Drive.h"
#include "FlashResponder.h"

namespace drivesim {

// The drive side of Modbus: one request (unit + PDU) in, one reply
// (unit + PDU) out. Framing (MBAP, CRC) belongs to the ports.
class ModbusResponder {
public:
    explicit ModbusResponder(std::map<std::uint32_t, std::unique_ptr<Drive>>& drives) : drives(drives) {}

    // Empty when the unit is not one of ours.
    Drive* drive(std::uint8_t unit) const;
    std::vector<std::uint8_t> answer(Drive& drive, const std::vector<std::uint8_t>& request);
    static std::vector<std::uint8_t> exception(std::uint8_t unit, std::uint8_t function, std::uint8_t code);
    // The firmware download's side; it sees every request first.
    FlashResponder& flash() { return flashResponder; }

private:
    std::vector<std::uint8_t> readHolding(Drive& d, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> writeMultiple(Drive& d, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> diagnostics(Drive& d, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> identification(Drive& d, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> upload(Drive& d, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> fail(Drive& d, std::uint8_t function, std::uint8_t code);

    std::map<std::uint32_t, std::unique_ptr<Drive>>& drives;
    FlashResponder flashResponder;
};

} // namespace drivesim
