#include "commonbase/StringUtil.h"
#include <limits>

namespace commonbase {

std::string toDecimal(std::uint64_t value, std::size_t width)
{
    std::string text = std::to_string(value);
    if (text.size() < width)
        text.insert(0, width - text.size(), '0');
    return text;
}

std::string toHex(std::uint64_t value, int width, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (static_cast<int>(out.size()) < width)
        out.insert(out.begin(), '0');
    return out;
}

std::string trim(std::string_view text)
{
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

std::uint32_t leadingDecimal(std::string_view text)
{
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max())
            return 0;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> parseDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint64_t> parseHex(std::string_view text)
{
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 16)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    return value;
}

std::string componentName(std::string_view sourcePath)
{
    auto slash = sourcePath.find_last_of("/\\");
    if (slash != std::string_view::npos)
        sourcePath.remove_prefix(slash + 1);
    auto dot = sourcePath.rfind('.');
    if (dot != std::string_view::npos && dot > 0)
        sourcePath = sourcePath.substr(0, dot);
    return std::string(sourcePath);
}

} // namespace commonbase
