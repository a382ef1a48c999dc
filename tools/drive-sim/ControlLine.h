#pragma once
// What the simulators' control lines share: the drives a line names ("all" or
// one id) and the arguments of "set ID INDEX.SUB VALUE".
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DriveTable.h"

namespace drivesim {

template <class D>
std::vector<D*> controlTargets(std::map<std::uint32_t, std::unique_ptr<D>>& drives, const std::string& who)
{
    std::vector<D*> targets;
    std::uint64_t id = 0;
    if (who == "all") {
        for (auto& [k, d] : drives)
            targets.push_back(d.get());
    } else if (parseNumber(who, id) && drives.count(static_cast<std::uint32_t>(id))) {
        targets.push_back(drives[static_cast<std::uint32_t>(id)].get());
    }
    return targets;
}

struct SetArguments {
    std::string parameter; // as written, for messages
    std::uint64_t index = 0, subindex = 0, value = 0;
};

// Reads "INDEX.SUB VALUE"; false when malformed or beyond 16-bit index,
// maxSubindex and 32-bit value.
inline bool readSetArguments(std::istream& in, std::uint64_t maxSubindex, SetArguments& out)
{
    std::string valueText;
    in >> out.parameter >> valueText;
    const auto dot = out.parameter.find('.');
    return dot != std::string::npos && parseNumber(out.parameter.substr(0, dot), out.index) &&
           parseNumber(out.parameter.substr(dot + 1), out.subindex) && out.index <= 0xFFFF &&
           out.subindex <= maxSubindex && parseNumber(valueText, out.value) && out.value <= 0xFFFFFFFF;
}

} // namespace drivesim
