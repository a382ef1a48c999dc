#pragma once
#include <string>
#include "automation/IDebugManager.h"

namespace Kavrel {

// The diagnostics log for the host; log files go below the manager's data path.
class CDebugManager : public IDebugManager {
public:
    HRESULT write(std::int16_t debugLevel, const std::string& componentName, const std::string& debugText) override;
    HRESULT openFile(std::int16_t debugLevel, const std::string& fileName) override;
};

} // namespace Kavrel
