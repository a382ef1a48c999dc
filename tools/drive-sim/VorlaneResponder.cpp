#include "VorlaneResponder.h"

#include <cstdio>

namespace drivesim {

namespace {

// Upper-case hexadecimal only, as the drives send and expect it.
bool hexField(const std::string& s, std::size_t at, std::size_t n, std::uint32_t& value)
{
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        char c = s[i];
        std::uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            d = static_cast<std::uint32_t>(c - 'A' + 10);
        else
            return false;
        value = value * 16 + d;
    }
    return true;
}

std::string hex(std::uint32_t v, int width)
{
    char b[16];
    std::snprintf(b, sizeof b, "%0*X", width, v);
    return b;
}

// Error replies: "!" and a two-digit reason (Modbus exception numbering).
std::string refusal(std::uint8_t code) { return "!" + hex(code, 2); }

} // namespace

VorlaneResponder::Outcome VorlaneResponder::handle(const std::string& line, bool wrongAddress)
{
    Outcome out;
    if (!line.empty() && line[0] == '#') {
        current = 0;
        if (line.size() != 3 || line[1] < '0' || line[1] > '9' || line[2] < '0' || line[2] > '9')
            return out;
        std::uint32_t address = static_cast<std::uint32_t>((line[1] - '0') * 10 + (line[2] - '0'));
        auto it = drives.find(address);
        if (it == drives.end())
            return out;
        current = address;
        out.drive = it->second.get();
        std::uint32_t echoed = wrongAddress ? (address % 99) + 1 : address;
        out.reply = "#" + std::string(echoed < 10 ? "0" : "") + std::to_string(echoed);
        return out;
    }
    auto it = drives.find(current);
    if (it == drives.end())
        return out; // nobody selected: nobody answers
    Drive& d = *it->second;
    out.drive = &d;
    std::uint32_t sub = 0, index = 0, value = 0;
    if (line.size() != 16 || !hexField(line, 2, 2, sub) || !hexField(line, 4, 4, index) ||
        !hexField(line, 8, 8, value)) {
        out.reply = refusal(excIllegalFunction);
        return out;
    }
    auto i16 = static_cast<std::uint16_t>(index), s16 = static_cast<std::uint16_t>(sub);
    if (line.compare(0, 2, "02") == 0) {
        if (value != 0) {
            out.reply = refusal(excIllegalValue);
            return out;
        }
        std::uint32_t v = 0;
        if (std::uint8_t e = d.readParameter(i16, s16, v))
            out.reply = refusal(e);
        else
            out.reply = line.substr(0, 8) + hex(v, 8);
    } else if (line.compare(0, 2, "09") == 0) {
        if (std::uint8_t e = d.writeParameter(i16, s16, value))
            out.reply = refusal(e);
        else
            out.reply = line;
    } else {
        out.reply = refusal(excIllegalFunction);
    }
    return out;
}

} // namespace drivesim
