#include "Drive.h"

namespace drivesim {

namespace {
constexpr std::uint16_t pokeIndex = 22;
constexpr std::uint16_t pokeSubindex = 10;
} // namespace

Drive::Drive(std::uint32_t id, const DriveTable& table)
    : driveId(id), idObjects(table.objects), blocks(table.uploadBlocks), diag(table.diagnostic)
{
    for (const auto& [k, p] : table.parameters)
        cells[k] = Cell{p.value + p.step * id, p.vorlaneValue, p.writable};
}

const Drive::Cell* Drive::find(std::uint16_t index, std::uint16_t subindex) const
{
    auto it = cells.find(DriveTable::key(index, subindex));
    return it == cells.end() ? nullptr : &it->second;
}

bool Drive::reachable(std::uint16_t index, std::uint16_t subindex) const
{
    if (index <= 128)
        return true;
    const Cell* poke = find(pokeIndex, pokeSubindex);
    return poke && poke->value == (static_cast<std::uint32_t>(subindex) << 16) + index;
}

std::uint8_t Drive::readRegisters(std::uint16_t first, std::uint16_t count, std::vector<std::uint8_t>& data)
{
    data.clear();
    for (std::uint32_t r = first; r < static_cast<std::uint32_t>(first) + count; ++r) {
        std::uint32_t slot = r / 2;
        auto index = static_cast<std::uint16_t>(slot / 128), sub = static_cast<std::uint16_t>(slot % 128);
        const Cell* c = find(index, sub);
        if (!c || !reachable(index, sub))
            return excIllegalAddress;
        if (failing.count(DriveTable::key(index, sub)))
            return excDeviceFailure;
        std::uint16_t word = (r % 2 == 0) ? static_cast<std::uint16_t>(c->value >> 16)
                                          : static_cast<std::uint16_t>(c->value & 0xFFFF);
        data.push_back(static_cast<std::uint8_t>(word >> 8));
        data.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    return 0;
}

std::uint8_t Drive::writeRegisters(std::uint16_t first, const std::vector<std::uint16_t>& words)
{
    // Check everything first so a refused write changes nothing.
    for (std::uint32_t i = 0; i < words.size(); ++i) {
        std::uint32_t slot = (first + i) / 2;
        auto index = static_cast<std::uint16_t>(slot / 128), sub = static_cast<std::uint16_t>(slot % 128);
        const Cell* c = find(index, sub);
        if (!c || !reachable(index, sub))
            return excIllegalAddress;
        if (failing.count(DriveTable::key(index, sub)))
            return excDeviceFailure;
        if (!c->writable)
            return excIllegalValue;
    }
    for (std::uint32_t i = 0; i < words.size(); ++i) {
        std::uint32_t r = first + i, slot = r / 2;
        Cell& c = cells[DriveTable::key(static_cast<std::uint16_t>(slot / 128), static_cast<std::uint16_t>(slot % 128))];
        if (r % 2 == 0)
            c.value = (c.value & 0x0000FFFFu) | (static_cast<std::uint32_t>(words[i]) << 16);
        else
            c.value = (c.value & 0xFFFF0000u) | words[i];
        c.vorlane.reset();
    }
    return 0;
}

std::uint8_t Drive::readParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t& value) const
{
    const Cell* c = find(index, subindex);
    if (!c)
        return excIllegalAddress;
    if (failing.count(DriveTable::key(index, subindex)))
        return excDeviceFailure;
    value = c->vorlane ? *c->vorlane : c->value;
    return 0;
}

std::uint8_t Drive::writeParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    auto it = cells.find(DriveTable::key(index, subindex));
    if (it == cells.end())
        return excIllegalAddress;
    if (failing.count(DriveTable::key(index, subindex)))
        return excDeviceFailure;
    if (!it->second.writable)
        return excIllegalValue;
    it->second.value = value;
    it->second.vorlane.reset();
    return 0;
}

bool Drive::forceParameter(std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    auto it = cells.find(DriveTable::key(index, subindex));
    if (it == cells.end())
        return false;
    it->second.value = value;
    it->second.vorlane.reset();
    return true;
}

bool Drive::uploadBlock(std::uint16_t session, std::uint16_t packet, const std::vector<std::uint8_t>*& block,
                        bool& last) const
{
    if (!uploading || session != uploadSession || packet == 0 || packet > blocks.size())
        return false;
    block = &blocks[packet - 1u];
    last = packet == blocks.size();
    return true;
}

} // namespace drivesim
