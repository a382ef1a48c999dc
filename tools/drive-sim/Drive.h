#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include "DriveTable.h"

namespace drivesim {

// Modbus exception codes the drives answer with.
enum : std::uint8_t {
    excIllegalFunction = 0x01,
    excIllegalAddress = 0x02,
    excIllegalValue = 0x03,
    excDeviceFailure = 0x04,
    excGatewayTarget = 0x0B,
};

// One emulated drive: its own copy of the table's parameters, its
// diagnostic register and its upload session.
class Drive {
public:
    Drive(std::uint32_t id, const DriveTable& table);

    std::uint32_t id() const { return driveId; }

    // Register access as Modbus sees it: (index * 128 + subindex) * 2 holds
    // the high word, the next register the low word. 0 or an exception code.
    std::uint8_t readRegisters(std::uint16_t first, std::uint16_t count, std::vector<std::uint8_t>& data);
    std::uint8_t writeRegisters(std::uint16_t first, const std::vector<std::uint16_t>& words);

    // Whole-parameter access as the Vorlane telegrams see it.
    std::uint8_t readParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t& value) const;
    std::uint8_t writeParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t value);
    // Sets a value regardless of access rights (the control input).
    bool forceParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t value);

    std::uint16_t diagnostic() const { return diag; }
    void setDiagnostic(std::uint16_t v) { diag = v; }

    const std::map<std::uint8_t, std::string>& objects() const { return idObjects; }

    // Upload sessions: open, fetch block n (from 1), close.
    static constexpr std::uint16_t uploadSession = 0x0100;
    void openUpload() { uploading = true; }
    // False when no upload is open, the session is wrong or the block does not exist.
    bool uploadBlock(std::uint16_t session, std::uint16_t packet, const std::vector<std::uint8_t>*& block, bool& last) const;
    void closeUpload() { uploading = false; }

    // Parameters the --exception-on switch makes fail.
    std::set<std::uint32_t> failing;
    bool silenced = false;

private:
    struct Cell {
        std::uint32_t value;
        std::optional<std::uint32_t> vorlane;
        bool writable;
    };
    // Indices above 128 are reached only after 22.10 holds subindex * 65536 + index.
    bool reachable(std::uint16_t index, std::uint16_t subindex) const;
    const Cell* find(std::uint16_t index, std::uint16_t subindex) const;

    std::uint32_t driveId;
    std::map<std::uint32_t, Cell> cells;
    std::map<std::uint8_t, std::string> idObjects;
    std::vector<std::vector<std::uint8_t>> blocks;
    std::uint16_t diag;
    bool uploading = false;
};

} // namespace drivesim
