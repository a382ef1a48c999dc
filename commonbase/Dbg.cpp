#include "commonbase/Dbg.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const WString& text)
    : functionText(text), level(level_), componentName(commonbase::componentName(sourcePath ? sourcePath : ""))
{
    DebugManager::instance().write(level, componentName, functionText + WString(" entered"));
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const std::string& text) : Dbg(level_, sourcePath, WString(text)) {}
Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const char* text) : Dbg(level_, sourcePath, WString(text)) {}

Dbg::~Dbg()
{
    if (level == LOG_DEBUG)
        DebugManager::instance().write(level, componentName, functionText + WString(" exit"));
}

} // namespace commonbase
