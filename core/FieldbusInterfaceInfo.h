#pragma once
#include <cstdint>
#include <string>

namespace Kavrel {

class HardwareInterface;

// What the host is shown of one selectable hardware interface.
class FieldbusInterfaceInfo {
public:
    FieldbusInterfaceInfo() = default;
    FieldbusInterfaceInfo(std::string name, std::string nameToOpen, std::uint32_t uniqueId);
    explicit FieldbusInterfaceInfo(const HardwareInterface& hardware);

    const std::string& getName() const { return name; }
    const std::string& getNameToOpen() const { return nameToOpen; }
    std::uint32_t getUniqueId() const { return uniqueId; }

private:
    std::string name;
    std::string nameToOpen;
    std::uint32_t uniqueId = 0;
};

} // namespace Kavrel
