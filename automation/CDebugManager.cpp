#include "automation/CDebugManager.h"

#include "automation/ErrorInfo.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"

namespace Kavrel {

namespace {
constexpr const char* component = "DebugManagerInterface";
constexpr const char* source = "IDebugManager";
} // namespace

HRESULT CDebugManager::write(std::int16_t debugLevel, const std::string& componentName, const std::string& debugText)
{
    const HRESULT hr = commonbase::DebugManager::instance().write(static_cast<std::uint16_t>(debugLevel),
                                                                  commonbase::WString(componentName),
                                                                  commonbase::WString(debugText));
    return ErrorInfo::update(hr, source);
}

HRESULT CDebugManager::openFile(std::int16_t debugLevel, const std::string& fileName)
{
    commonbase::DbgInfo(0, component, commonbase::cat("openFile(", debugLevel, ",", fileName, ")"));
    if (debugLevel < 0)
        return ErrorInfo::update(E_INVALIDARG, source);
    const std::string folder = CommunicationManager::getInstance().getDataPath();
    const HRESULT hr = commonbase::DebugManager::instance().openFile(
        commonbase::WString(folder), commonbase::WString(fileName), static_cast<std::uint16_t>(debugLevel));
    return ErrorInfo::update(hr, source);
}

} // namespace Kavrel
