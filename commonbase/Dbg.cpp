#include "commonbase/Dbg.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

bool traceWanted(std::uint16_t level)
{
    return DebugManager::instance().wants(level);
}

// Texts are converted only when a sink takes the lines.
template <typename Text>
void Dbg::begin(const char* sourcePath, const Text& text)
{
    if (!DebugManager::instance().wants(level))
        return;
    active = true;
    functionText = WString(text);
    componentName = commonbase::componentName(sourcePath ? sourcePath : "");
    DebugManager::instance().write(level, componentName, functionText + WString(" entered"));
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const WString& text) : level(level_)
{
    begin(sourcePath, text);
}

Dbg::Dbg(std::uint16_t level_, const char* sourcePath, const std::string& text) : level(level_)
{
    begin(sourcePath, text);
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
