#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

void DbgInfo::emit(const char* sourcePath, WString text)
{
    functionText = std::move(text);
    componentName = commonbase::componentName(sourcePath ? sourcePath : "");
    DebugManager::instance().write(level, componentName, functionText);
}

// Texts are converted only when a sink takes the line.
DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const WString& text) : level(level_)
{
    if (traceWanted(level))
        emit(sourcePath, text);
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const std::string& text) : level(level_)
{
    if (traceWanted(level))
        emit(sourcePath, WString(text));
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const char* text) : level(level_)
{
    if (traceWanted(level))
        emit(sourcePath, WString(std::string(text ? text : "")));
}

} // namespace commonbase
