#include "commonbase/ModuleVersion.h"
#include <string>

namespace commonbase {

ModuleVersion::ModuleVersion(WString modulePath_, WString separator_)
    : modulePath(std::move(modulePath_)), separator(std::move(separator_))
{
}

ModuleVersion::ModuleVersion(WString modulePath_, WString separator_, std::uint16_t major, std::uint16_t minor,
                             std::uint16_t patch, std::uint16_t tweak, bool debug)
    : modulePath(std::move(modulePath_)), separator(std::move(separator_)), debugBuild(debug)
{
    fileVersionHigh = productVersionHigh = (static_cast<std::uint32_t>(major) << 16) | minor;
    fileVersionLow = productVersionLow = (static_cast<std::uint32_t>(patch) << 16) | tweak;
}

WString ModuleVersion::toString() const
{
    std::string sep = separator.toUtf8();
    std::string text = std::to_string(productVersionHigh >> 16) + sep + std::to_string(productVersionHigh & 0xFFFF) +
                       sep + std::to_string(productVersionLow >> 16) + sep + std::to_string(productVersionLow & 0xFFFF);
    if (debugBuild)
        text += " (Debug)";
    return WString(text);
}

const WString& ModuleVersion::buildSuffix()
{
    static const WString suffix(" Build: 6570");
    return suffix;
}

} // namespace commonbase
