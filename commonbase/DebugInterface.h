#pragma once
#include <cstdint>
#include "commonbase/WString.h"

namespace commonbase {

// A sink of the log manager; receives a line when its level is at least the threshold.
class DebugInterface {
public:
    virtual ~DebugInterface() = default;
    virtual bool write(WString levelName, WString componentName, WString text) = 0;
    // False while the sink would drop every line anyway (a debugger output nobody watches).
    virtual bool isListening() const { return true; }
    std::uint16_t getLevel() const { return level; }
    void setLevel(std::uint16_t newLevel) { level = newLevel; }

protected:
    std::uint16_t level = 0;
};

// Composes "LEVEL: component: text" + lineEnd, skipping empty parts.
std::string composeDebugLine(const WString& levelName, const WString& componentName,
                             const WString& text, const char* lineEnd);

} // namespace commonbase
