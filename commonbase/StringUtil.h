#pragma once
#include <charconv>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace commonbase {

namespace detail {

// Appends value as a stream would print it. Texts and integers, nearly every
// part of a log line, skip the stream: parameter accesses compose several lines.
template <class T>
void appendPrinted(std::string& out, const T& value)
{
    using V = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<V, char> || std::is_same_v<V, signed char> || std::is_same_v<V, unsigned char>) {
        out.push_back(static_cast<char>(value));
    } else if constexpr (std::is_same_v<V, bool>) {
        out.push_back(value ? '1' : '0');
    } else if constexpr (std::is_integral_v<V>) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out.append(digits, end);
    } else if constexpr (std::is_array_v<V>) {
        out.append(std::string_view(value)); // a literal
    } else if constexpr (std::is_same_v<V, const char*> || std::is_same_v<V, char*>) {
        if (value != nullptr) // a stream prints nothing for a null text
            out.append(value);
    } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
        out.append(std::string_view(value));
    } else {
        std::ostringstream s;
        s << value;
        out.append(s.str());
    }
}

} // namespace detail

// Concatenates anything a stream can print; used to compose log texts.
template <class... Args>
std::string cat(const Args&... args)
{
    std::string out;
    out.reserve(64);
    (detail::appendPrinted(out, args), ...);
    return out;
}

// Hexadecimal digits of value, padded with '0' to at least width digits.
std::string toHex(std::uint64_t value, int width, bool upper = false);
// Decimal digits of value, padded with '0' to at least width digits.
std::string toDecimal(std::uint64_t value, std::size_t width);
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
