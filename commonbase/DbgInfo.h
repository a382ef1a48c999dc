#pragma once
#include <cstdint>
#include <string>
#include "commonbase/WString.h"

namespace commonbase {

// Writes one line at its level; the destructor writes nothing.
class DbgInfo {
public:
    DbgInfo(std::uint16_t level, const char* sourcePath, const WString& text);
    DbgInfo(std::uint16_t level, const char* sourcePath, const std::string& text);
    DbgInfo(std::uint16_t level, const char* sourcePath, const char* text);
    virtual ~DbgInfo() = default;

private:
    template <typename Text>
    void emit(const char* sourcePath, const Text& text);
    WString functionText;
    std::uint16_t level;
    WString componentName;
};

} // namespace commonbase
