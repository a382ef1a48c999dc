#include "commonbase/Dbg.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const WString& text) : level(level_)
{
    if (!DebugManager::instance().wants(level))
        return;
    active = true;
    functionText = text;
    componentName = commonbase::componentName(sourcePath ? sourcePath : "");
    DebugManager::instance().write(level, componentName, functionText + WString(" entered"));
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const std::string& text) : level(level_)
{
    if (DebugManager::instance().wants(level_)) {
        active = true;
        functionText = WString(text);
        componentName = commonbase::componentName(sourcePath ? sourcePath : "");
        DebugManager::instance().write(level, componentName, functionText + WString(" entered"));
    }
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const char* text)
    : Dbg(level_, sourcePath, std::string(text ? text : ""))
{
}

Dbg::~Dbg()
{
    if (active && level == LOG_DEBUG)
        DebugManager::instance().write(level, componentName, functionText + WString(" exit"));
}

} // namespace commonbase
