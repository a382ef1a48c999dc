#pragma once
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace commonbase {

// Concatenates anything a stream can print; used to compose log texts.
template <class... Args>
std::string cat(const Args&... args)
{
    std::ostringstream s;
    (s << ... << args);
    return s.str();
}

// Hexadecimal digits of value, padded with '0' to at least width digits.
std::string toHex(std::uint64_t value, int width, bool upper = false);
// Removes blanks, tabs, carriage returns and line feeds at both ends.
std::string trim(std::string_view text);
// Reads a leading decimal number ("125k" -> 125, "AUTO" -> 0); 0 when none.
std::uint32_t leadingDecimal(std::string_view text);
// Strict parsers: the whole text must be a number that fits, else nothing.
std::optional<std::uint32_t> parseDecimal(std::string_view text);
std::optional<std::uint64_t> parseHex(std::string_view text);
// Cuts a source path after its last '/' (or '\') and drops the extension.
std::string componentName(std::string_view sourcePath);

} // namespace commonbase
