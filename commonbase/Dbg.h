#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include "commonbase/WString.h"

namespace commonbase {

// True when some sink takes lines of this level, so a caller may skip composing one.
bool traceWanted(std::uint16_t level);

// A text made only when it will be written: for lines on the hot path.
template <class Compose>
constexpr bool isComposer = std::is_invocable_r_v<std::string, Compose&>;

// Traces an operation: "<text> entered" now and, at level 0, "<text> exit" when it goes.
class Dbg {
public:
    Dbg(std::uint16_t level, const char* sourcePath, const WString& functionText);
    Dbg(std::uint16_t level, const char* sourcePath, const std::string& functionText);
    Dbg(std::uint16_t level, const char* sourcePath, const char* functionText);
    template <class Compose, std::enable_if_t<isComposer<Compose>, int> = 0>
    Dbg(std::uint16_t level_, const char* sourcePath, Compose compose) : level(level_)
    {
        if (traceWanted(level))
            begin(sourcePath, WString(std::string(compose())));
    }
    virtual ~Dbg();
    Dbg(const Dbg&) = delete;
    Dbg& operator=(const Dbg&) = delete;

private:
    // Writes the entry line; only called when a sink takes lines of this level.
    void begin(const char* sourcePath, WString text);
    WString functionText;
    std::uint16_t level;
    WString componentName;
    bool active = false; // a sink takes the lines: the exit line is composed too
};

} // namespace commonbase
