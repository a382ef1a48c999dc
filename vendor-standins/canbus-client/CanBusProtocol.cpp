#include "CanBusProtocol.h"

#include <cstdio>
#include <cstdlib>

namespace canbus {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(const std::string& text)
{
    std::size_t a = 0, b = text.size();
    while (a < b && isBlank(text[a]))
        ++a;
    while (b > a && isBlank(text[b - 1]))
        --b;
    return text.substr(a, b - a);
}

const char hexDigits[] = "0123456789ABCDEF";

} // namespace

void MessageReader::feed(const char* data, std::size_t n)
{
    if (pos > 0 && pos == buffer.size()) {
        buffer.clear();
        pos = 0;
    }
    buffer.append(data, n);
}

std::optional<std::vector<std::string>> MessageReader::next()
{
    if (overlong)
        return std::nullopt;
    const auto open = buffer.find('<', pos);
    if (open == std::string::npos) {
        buffer.clear();
        pos = 0;
        return std::nullopt;
    }
    const auto close = buffer.find('>', open);
    if (close == std::string::npos) {
        if (buffer.size() - open > maxMessage)
            overlong = true;
        // Keep only the unfinished message.
        buffer.erase(0, open);
        pos = 0;
        return std::nullopt;
    }
    if (close - open - 1 > maxMessage) {
        overlong = true;
        return std::nullopt;
    }
    std::vector<std::string> tokens;
    std::size_t i = open + 1;
    while (i < close) {
        while (i < close && isBlank(buffer[i]))
            ++i;
        std::size_t start = i;
        while (i < close && !isBlank(buffer[i]))
            ++i;
        if (i > start)
            tokens.emplace_back(buffer, start, i - start);
    }
    pos = close + 1;
    if (pos == buffer.size()) {
        buffer.clear();
        pos = 0;
    } else if (pos > 4096) {
        buffer.erase(0, pos);
        pos = 0;
    }
    return tokens;
}

bool parseHex(const std::string& text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    std::uint32_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    value = v;
    return true;
}

bool parseDecimal(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = v;
    return true;
}

namespace {

bool parseId(const std::string& text, Frame& frame)
{
    std::uint32_t id = 0;
    if (!parseHex(text, id) || id > 0x1FFFFFFF)
        return false;
    frame.id = id;
    frame.extended = text.size() > 3 || id > 0x7FF;
    return true;
}

} // namespace

bool parseSend(const std::vector<std::string>& tokens, Frame& frame)
{
    if (tokens.size() < 3 || tokens[0] != "send")
        return false;
    Frame f;
    std::uint32_t len = 0;
    if (!parseId(tokens[1], f) || !parseHex(tokens[2], len) || len > 8 || tokens.size() != 3 + len)
        return false;
    for (std::uint32_t i = 0; i < len; ++i) {
        std::uint32_t b = 0;
        if (!parseHex(tokens[3 + i], b) || b > 0xFF)
            return false;
        f.data[i] = static_cast<std::uint8_t>(b);
    }
    f.len = static_cast<std::uint8_t>(len);
    frame = f;
    return true;
}

bool parseFrameMessage(const std::vector<std::string>& tokens, Frame& frame)
{
    if (tokens.size() < 3 || tokens.size() > 4 || tokens[0] != "frame")
        return false;
    Frame f;
    if (!parseId(tokens[1], f))
        return false;
    const std::string& stamp = tokens[2];
    const auto dot = stamp.find('.');
    std::uint64_t sec = 0, usec = 0;
    if (dot == std::string::npos || !parseDecimal(stamp.substr(0, dot), sec) ||
        !parseDecimal(stamp.substr(dot + 1), usec) || usec > 999999)
        return false;
    f.timestampUs = sec * 1000000 + usec;
    const std::string data = tokens.size() == 4 ? tokens[3] : std::string();
    if (data.size() % 2 != 0 || data.size() > 16)
        return false;
    for (std::size_t i = 0; i < data.size() / 2; ++i) {
        std::uint32_t b = 0;
        if (!parseHex(data.substr(2 * i, 2), b))
            return false;
        f.data[i] = static_cast<std::uint8_t>(b);
    }
    f.len = static_cast<std::uint8_t>(data.size() / 2);
    frame = f;
    return true;
}

std::string formatSend(const Frame& frame)
{
    char id[16];
    std::snprintf(id, sizeof id, frame.extended ? "%08X" : "%X", static_cast<unsigned>(frame.id));
    std::string text = "< send ";
    text += id;
    text += ' ';
    text += hexDigits[frame.len & 0xF];
    for (unsigned i = 0; i < frame.len && i < 8; ++i) {
        text += ' ';
        if (frame.data[i] >= 0x10)
            text += hexDigits[frame.data[i] >> 4];
        text += hexDigits[frame.data[i] & 0xF];
    }
    text += " >";
    return text;
}

std::string formatFrame(const Frame& frame)
{
    char head[64];
    std::snprintf(head, sizeof head, frame.extended ? "< frame %08X %llu.%06llu " : "< frame %03X %llu.%06llu ",
                  static_cast<unsigned>(frame.id), static_cast<unsigned long long>(frame.timestampUs / 1000000),
                  static_cast<unsigned long long>(frame.timestampUs % 1000000));
    std::string text = head;
    for (unsigned i = 0; i < frame.len && i < 8; ++i) {
        text += hexDigits[frame.data[i] >> 4];
        text += hexDigits[frame.data[i] & 0xF];
    }
    text += " >";
    return text;
}

unsigned frameBits(const Frame& frame)
{
    // Stuffing covers start of frame to the CRC: 34 (54 extended) + 8n bits,
    // at worst one stuff bit after every four after the first.
    const unsigned n = frame.len > 8 ? 8 : frame.len;
    const unsigned fixed = frame.extended ? 67 : 47;
    const unsigned stuffed = (frame.extended ? 54 : 34) + 8 * n;
    return fixed + 8 * n + (stuffed - 1) / 4;
}

std::uint32_t bitrateFromBtr(std::uint8_t btr0, std::uint8_t btr1)
{
    const unsigned brp = (btr0 & 0x3Fu) + 1;
    const unsigned sjw = ((btr0 >> 6) & 0x3u) + 1;
    const unsigned tseg1 = (btr1 & 0x0Fu) + 1;
    const unsigned tseg2 = ((btr1 >> 4) & 0x7u) + 1;
    const unsigned quanta = 1 + tseg1 + tseg2;
    if (quanta < 8 || quanta > 25 || tseg2 < 2 || sjw > tseg2)
        return 0;
    // The prescaler counts in pairs of clock periods.
    const unsigned long long divisor = 2ull * brp * quanta;
    const unsigned long long rate = (16000000ull + divisor / 2) / divisor;
    return rate > 1000000 ? 0 : static_cast<std::uint32_t>(rate);
}

std::optional<Endpoint> Endpoint::parse(const std::string& raw, std::string* error)
{
    auto refuse = [&](const std::string& why) -> std::optional<Endpoint> {
        if (error)
            *error = "'" + raw + "': " + why;
        return std::nullopt;
    };
    Endpoint e;
    e.text = trim(raw);
    std::string rest = e.text;
    const auto at = rest.find('@');
    if (at != std::string::npos) {
        std::string rate = rest.substr(at + 1);
        rest = rest.substr(0, at);
        std::uint64_t scale = 1;
        if (!rate.empty() && (rate.back() == 'k' || rate.back() == 'K')) {
            scale = 1000;
            rate.pop_back();
        } else if (!rate.empty() && rate.back() == 'M') {
            scale = 1000000;
            rate.pop_back();
        }
        std::uint64_t value = 0;
        if (!parseDecimal(rate, value) || value * scale == 0 || value * scale > 1000000)
            return refuse("the rate after @ must be 1..1000000 bit/s (or 125k, 1M)");
        e.fixedRate = static_cast<std::uint32_t>(value * scale);
    }
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 == rest.size())
        return refuse("expected HOST:PORT/BUS");
    e.bus = rest.substr(slash + 1);
    for (char c : e.bus)
        if (isBlank(c) || c == '<' || c == '>' || c == '/')
            return refuse("bad bus name");
    const std::string hostPort = rest.substr(0, slash);
    const auto colon = hostPort.rfind(':');
    std::uint64_t port = 0;
    if (colon == std::string::npos || colon == 0 || !parseDecimal(hostPort.substr(colon + 1), port) || port == 0 ||
        port > 65535)
        return refuse("expected HOST:PORT/BUS with a port 1..65535");
    e.host = hostPort.substr(0, colon);
    e.port = static_cast<std::uint16_t>(port);
    return e;
}

std::vector<Endpoint> parseEndpointList(const std::string& list, std::vector<std::string>* errors)
{
    std::vector<Endpoint> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        const std::string piece = trim(list.substr(start, comma - start));
        start = comma + 1;
        if (piece.empty())
            continue;
        std::string error;
        if (auto e = Endpoint::parse(piece, &error))
            out.push_back(*e);
        else if (errors)
            errors->push_back(error);
    }
    return out;
}

std::vector<Endpoint> endpointsFromEnvironment()
{
    const char* list = std::getenv("KAVREL_CAN");
    return list ? parseEndpointList(list) : std::vector<Endpoint>();
}

} // namespace canbus
