#pragma once
#include <cstdint>
#include "commonbase/WString.h"

namespace commonbase {

// Version text of a module. Here the four numbers are compiled in from the
// project version; a module with no version of its own reports 0.0.0.0.
class ModuleVersion {
public:
    ModuleVersion(WString modulePath, WString separator);
    // For modules whose version is known (our own library): major.minor.patch.tweak.
    ModuleVersion(WString modulePath, WString separator, std::uint16_t major, std::uint16_t minor,
                  std::uint16_t patch, std::uint16_t tweak, bool debugBuild);
    WString toString() const;
    static const WString& buildSuffix(); // " Build: 6570"

private:
    WString modulePath;
    WString separator;
    bool debugBuild = false;
    std::uint32_t fileVersionLow = 0, fileVersionHigh = 0;
    std::uint32_t productVersionLow = 0, productVersionHigh = 0;
};

} // namespace commonbase
