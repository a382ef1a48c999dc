#include "flashtools/FlashDataHeader.h"

#include "commonbase/StringUtil.h"

namespace Kavrel {

namespace {

// Leading hex digits after blanks; empty, unreadable or too long gives 0.
std::uint32_t hexValue(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t");
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i != std::string::npos && i < text.size(); ++i, ++digits) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) break;
        value = value * 16 + static_cast<std::uint64_t>(d);
        if (value > 0xFFFFFFFFu) return 0;
    }
    return digits == 0 ? 0 : static_cast<std::uint32_t>(value);
}

} // namespace

std::string FlashDataHeader::versionText(std::uint32_t value)
{
    return value == unknownVersion ? "unknown" : commonbase::toHex(value, 6);
}

std::string FlashDataHeader::debugText() const
{
    return "Date = " + date + "\nVers = " + versionText() + "\nProg = " + programVersionText();
}

void FlashDataHeader::handleLine(const std::string& line)
{
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq <= 2)
        return;
    std::string key = line.substr(0, eq);
    if (auto cut = key.find_first_of(" \t\r\n"); cut != std::string::npos)
        key.resize(cut);
    const std::string value = line.substr(eq + 1);
    if (key == "#FILE") file = value;
    else if (key == "#KOMP") components.insert(hexValue(value));
    else if (key == "#PROG") programVersion = hexValue(value);
    else if (key == "#VERS") version = hexValue(value);
    else if (key == "#DATE") date = value;
    else if (key == "#DESC") description = value;
    else if (key == "#FAPI") apiName = value;
}

} // namespace Kavrel
