#include "core/FieldbusInterfaceInfo.h"

#include <utility>

#include "hardware/HardwareInterface.h"

namespace Kavrel {

FieldbusInterfaceInfo::FieldbusInterfaceInfo(std::string name_, std::string nameToOpen_, std::uint32_t uniqueId_)
    : name(std::move(name_)), nameToOpen(std::move(nameToOpen_)), uniqueId(uniqueId_)
{
}

FieldbusInterfaceInfo::FieldbusInterfaceInfo(const HardwareInterface& hardware)
    : name(hardware.getName()), nameToOpen(hardware.getNameToOpen()), uniqueId(hardware.getNumber())
{
}

} // namespace Kavrel
