#pragma once
#include <cstdint>
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

// The diagnostics log as the host sees it.
class IDebugManager {
public:
    virtual ~IDebugManager() = default;
    virtual HRESULT write(std::int16_t debugLevel, const std::string& componentName, const std::string& debugText) = 0;
    virtual HRESULT openFile(std::int16_t debugLevel, const std::string& fileName) = 0;
};

} // namespace Kavrel
