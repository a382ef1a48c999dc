#include "commonbase/Dbg.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

bool traceWanted(std::uint16_t level)
{
    return DebugManager::instance().wants(level);
}

void Dbg::begin(const char* sourcePath, WString text)
{
    active = true;
    functionText = std::move(text);
    componentName = commonbase::componentName(sourcePath ? sourcePath : "");
    DebugManager::instance().write(level, componentName, functionText + WString(" entered"));
}

// Texts are converted only when a sink takes the lines.
Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const WString& text) : level(level_)
{
    if (traceWanted(level))
        begin(sourcePath, text);
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const std::string& text) : level(level_)
{
    if (traceWanted(level))
        begin(sourcePath, WString(text));
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const char* text) : level(level_)
{
    if (traceWanted(level))
        begin(sourcePath, WString(std::string(text ? text : "")));
}

Dbg::~Dbg()
{
    if (active && level == LOG_DEBUG)
        DebugManager::instance().write(level, componentName, functionText + WString(" exit"));
}

} // namespace commonbase
