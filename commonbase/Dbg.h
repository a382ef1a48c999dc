#pragma once
#include <cstdint>
#include <string>
#include "commonbase/WString.h"

namespace commonbase {

// Traces an operation: "<text> entered" now and, at level 0, "<text> exit" when it goes.
class Dbg {
public:
    Dbg(std::uint16_t level, const char* sourcePath, const WString& functionText);
    Dbg(std::uint16_t level, const char* sourcePath, const std::string& functionText);
    Dbg(std::uint16_t level, const char* sourcePath, const char* functionText);
    virtual ~Dbg();
    Dbg(const Dbg&) = delete;
    Dbg& operator=(const Dbg&) = delete;

private:
    template <typename Text>
    void begin(const char* sourcePath, const Text& text);
    WString functionText;
    std::uint16_t level;
    WString componentName;
    bool active = false; // a sink takes the lines: the exit line is composed too
};

} // namespace commonbase
