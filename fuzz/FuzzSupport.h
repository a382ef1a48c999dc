// Shared pieces of the fuzz targets: a hardware interface that plays back the
// replies a target cuts from its input, and a scratch file for parsers that
// read from a path.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include "hardware/HardwareInterface.h"

namespace kavrelfuzz {

class ScriptedInterface : public Kavrel::HardwareInterface {
public:
    std::deque<std::string> replies;

    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return 1; }
    std::int32_t closeInterface() override { return 1; }
    // Each request takes the next reply; an empty reply stands for a time-out.
    std::int32_t sendMessage(const Kavrel::GenericParameters& request, Kavrel::GenericParameters& response) override;
};

// Writes bytes to this process's scratch file (in memory where possible) and
// returns its path; name tells targets' files apart ("settings.xml").
std::string scratchFile(const std::string& name, const std::uint8_t* data, std::size_t size);

} // namespace kavrelfuzz
