#pragma once
#include <cstdint>
#include <string>
#include "commonbase/Dbg.h"
#include "commonbase/WString.h"

namespace commonbase {

// Writes one line at its level; the destructor writes nothing.
class DbgInfo {
public:
    DbgInfo(std::uint16_t level, const char* sourcePath, const WString& text);
    DbgInfo(std::uint16_t level, const char* sourcePath, const std::string& text);
    DbgInfo(std::uint16_t level, const char* sourcePath, const char* text);
    template <class Compose, std::enable_if_t<isComposer<Compose>, int> = 0>
    DbgInfo(std::uint16_t level_, const char* sourcePath, Compose compose) : level(level_)
    {
        if (traceWanted(level))
            emit(sourcePath, WString(std::string(compose())));
    }
    virtual ~DbgInfo() = default;

private:
    // Writes the line; only called when a sink takes lines of this level.
    void emit(const char* sourcePath, WString text);
    WString functionText;
    std::uint16_t level;
    WString componentName;
};

} // namespace commonbase
