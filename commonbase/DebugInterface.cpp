#include "commonbase/DebugInterface.h"

namespace commonbase {

std::string composeDebugLine(const WString& levelName, const WString& componentName, const WString& text,
                             const char* lineEnd)
{
    std::string line;
    if (!levelName.empty())
        line += levelName.toUtf8() + ": ";
    if (!componentName.empty())
        line += componentName.toUtf8() + ": ";
    line += text.toUtf8();
    line += lineEnd;
    return line;
}

} // namespace commonbase
