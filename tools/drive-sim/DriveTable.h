#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drivesim {

// One parameter of the sample drive, addressed by index and subindex.
struct ParameterEntry {
    std::uint16_t index = 0;
    std::uint16_t subindex = 0;
    std::uint32_t value = 0;
    // Added once per drive id, so drives of one process differ (serial numbers).
    std::uint32_t step = 0;
    bool writable = true;
    // A different value seen through the Vorlane telegrams, where the same
    // parameter carries other content (product code characters instead of a date).
    std::optional<std::uint32_t> vorlaneValue;
    std::string name;
};

// The parameter table file: identification objects, parameters, the
// diagnostic register's start value and the blocks an upload hands out.
class DriveTable {
public:
    // Reads the file; on failure returns false with a readable reason in error.
    bool load(const std::string& file, std::string& error);

    static std::uint32_t key(std::uint16_t index, std::uint16_t subindex)
    {
        return (static_cast<std::uint32_t>(index) << 16) | subindex;
    }

    std::map<std::uint8_t, std::string> objects;
    std::map<std::uint32_t, ParameterEntry> parameters;
    std::uint16_t diagnostic = 0;
    std::vector<std::vector<std::uint8_t>> uploadBlocks;
};

// Parses 123, 0x7B or 0X7b; false on anything else or on overflow.
bool parseNumber(const std::string& text, std::uint64_t& value);

} // namespace drivesim
