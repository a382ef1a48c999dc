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
    DbgInfo(std::uint16_t level, const char* sourcePath, Compose compose)
        : DbgInfo(level, sourcePath, traceWanted(level) ? std::string(compose()) : std::string())
    {
    }
    virtual ~DbgInfo() = default;

private:
    template <typename Text>
    void emit(const char* sourcePath, const Text& text);
    WString functionText;
    std::uint16_t level;
    WString componentName;
};

} // namespace commonbase
