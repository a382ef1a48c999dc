#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

// Texts are converted only when a sink takes the line.
template <typename Text>
void DbgInfo::emit(const char* sourcePath, const Text& text)
{
    if (!DebugManager::instance().wants(level))
        return;
    functionText = WString(text);
    componentName = commonbase::componentName(sourcePath ? sourcePath : "");
    DebugManager::instance().write(level, componentName, functionText);
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const WString& text) : level(level_)
{
    emit(sourcePath, text);
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const std::string& text) : level(level_)
{
    emit(sourcePath, text);
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const char* text)
    : DbgInfo(level_, sourcePath, std::string(text ? text : ""))
{
}

} // namespace commonbase
