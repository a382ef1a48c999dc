#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/StringUtil.h"

namespace commonbase {

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const WString& text)
    : functionText(text), level(level_), componentName(commonbase::componentName(sourcePath ? sourcePath : ""))
{
    DebugManager::instance().write(level, componentName, functionText);
}

DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const std::string& text)
    : DbgInfo(level_, sourcePath, WString(text))
{
}
DbgInfo::DbgInfo(std::uint16_t level_, const char* sourcePath, const char* text) : DbgInfo(level_, sourcePath, WString(text)) {}

} // namespace commonbase
