#pragma once
#include <array>
#include <cstdint>

namespace Kavrel {

// Bit rates as SJA1000 bus-timing register pairs (BTR0 * 256 + BTR1) for a
// 16 MHz controller clock. One process-wide instance.
class PhilipsBaudrateCodes {
public:
    static PhilipsBaudrateCodes& getInstance();

    // The code of a rate in kbit/s; 0 when the rate is not in the table.
    std::uint16_t getBaudrateCode(std::uint32_t kbits) const;
    // The rate in kbit/s of a code; 0 for a code not in the table.
    std::uint32_t getBaudrate(std::uint16_t code) const;

private:
    PhilipsBaudrateCodes() = default;

    static constexpr std::array<std::uint32_t, 9> rates = {5, 10, 20, 50, 100, 125, 250, 500, 1000};
    static constexpr std::array<std::uint16_t, 9> codes = {0x7F7F, 0x672F, 0x532F, 0x472F, 0x432F,
                                                           0x031C, 0x011C, 0x001C, 0x0014};
};

} // namespace Kavrel
