#include "ModbusResponder.h"

namespace drivesim {

namespace {

std::uint16_t word(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

void putWord(std::vector<std::uint8_t>& b, std::uint16_t w)
{
    b.push_back(static_cast<std::uint8_t>(w >> 8));
    b.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

constexpr std::uint8_t statusAccepted = 0xFE;
constexpr std::uint8_t statusRefused = 0x01;

} // namespace

Drive* ModbusResponder::drive(std::uint8_t unit) const
{
    auto it = drives.find(unit);
    return it == drives.end() ? nullptr : it->second.get();
}

std::vector<std::uint8_t> ModbusResponder::exception(std::uint8_t unit, std::uint8_t function, std::uint8_t code)
{
    return {unit, static_cast<std::uint8_t>(function | 0x80), code};
}

std::vector<std::uint8_t> ModbusResponder::fail(Drive& d, std::uint8_t function, std::uint8_t code)
{
    // The drive keeps the reason, so that a host can ask for it with 0x08/0002.
    d.setDiagnostic(code);
    return exception(static_cast<std::uint8_t>(d.id()), function, code);
}

std::vector<std::uint8_t> ModbusResponder::answer(Drive& d, const std::vector<std::uint8_t>& rq)
{
    if (rq.size() < 2)
        return fail(d, 0, excIllegalFunction);
    // Download blocks span many parameter slots: they never reach the table.
    if (auto reply = flashResponder.answer(d, rq))
        return *reply;
    switch (rq[1]) {
    case 0x03: return readHolding(d, rq);
    case 0x10: return writeMultiple(d, rq);
    case 0x08: return diagnostics(d, rq);
    case 0x2B: return identification(d, rq);
    case 0x5A: return upload(d, rq);
    default: return fail(d, rq[1], excIllegalFunction);
    }
}

std::vector<std::uint8_t> ModbusResponder::readHolding(Drive& d, const std::vector<std::uint8_t>& rq)
{
    if (rq.size() != 6)
        return fail(d, 0x03, excIllegalValue);
    std::uint16_t first = word(rq, 2), count = word(rq, 4);
    if (count < 1 || count > 125)
        return fail(d, 0x03, excIllegalValue);
    std::vector<std::uint8_t> data;
    if (std::uint8_t e = d.readRegisters(first, count, data))
        return fail(d, 0x03, e);
    std::vector<std::uint8_t> reply{rq[0], 0x03, static_cast<std::uint8_t>(data.size())};
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
}

std::vector<std::uint8_t> ModbusResponder::writeMultiple(Drive& d, const std::vector<std::uint8_t>& rq)
{
    if (rq.size() < 7)
        return fail(d, 0x10, excIllegalValue);
    std::uint16_t first = word(rq, 2), count = word(rq, 4);
    std::uint8_t bytes = rq[6];
    if (count < 1 || count > 123 || bytes != count * 2 || rq.size() != 7u + bytes)
        return fail(d, 0x10, excIllegalValue);
    std::vector<std::uint16_t> words;
    for (std::size_t i = 0; i < count; ++i)
        words.push_back(word(rq, 7 + 2 * i));
    if (std::uint8_t e = d.writeRegisters(first, words))
        return fail(d, 0x10, e);
    std::vector<std::uint8_t> reply{rq[0], 0x10};
    putWord(reply, first);
    putWord(reply, count);
    return reply;
}

std::vector<std::uint8_t> ModbusResponder::diagnostics(Drive& d, const std::vector<std::uint8_t>& rq)
{
    if (rq.size() != 6)
        return fail(d, 0x08, excIllegalValue);
    std::uint16_t sub = word(rq, 2);
    std::vector<std::uint8_t> reply{rq[0], 0x08, rq[2], rq[3]};
    switch (sub) {
    case 0x0000: // return query data
        reply.push_back(rq[4]);
        reply.push_back(rq[5]);
        return reply;
    case 0x0002: // return diagnostic register
        putWord(reply, d.diagnostic());
        return reply;
    case 0x000A: // clear counters and diagnostic register
        d.setDiagnostic(0);
        reply.push_back(rq[4]);
        reply.push_back(rq[5]);
        return reply;
    default:
        return fail(d, 0x08, excIllegalFunction);
    }
}

std::vector<std::uint8_t> ModbusResponder::identification(Drive& d, const std::vector<std::uint8_t>& rq)
{
    if (rq.size() != 5)
        return fail(d, 0x2B, excIllegalValue);
    if (rq[2] != 0x0E)
        return fail(d, 0x2B, excIllegalFunction);
    std::uint8_t code = rq[3], first = rq[4];
    if (code < 1 || code > 4)
        return fail(d, 0x2B, excIllegalValue);
    const auto& objects = d.objects();
    std::vector<std::uint8_t> reply{rq[0], 0x2B, 0x0E, code, 0x83, 0x00, 0x00, 0x00};
    if (code == 4) {
        auto it = objects.find(first);
        if (it == objects.end())
            return fail(d, 0x2B, excIllegalAddress);
        reply.push_back(first);
        reply.push_back(static_cast<std::uint8_t>(it->second.size()));
        reply.insert(reply.end(), it->second.begin(), it->second.end());
        reply[7] = 1;
        return reply;
    }
    std::uint8_t lastId = code == 1 ? 0x02 : code == 2 ? 0x7F : 0xFF;
    // A stream that starts at an object the category does not hold restarts at 0.
    if (first > lastId || !objects.count(first))
        first = 0;
    std::uint8_t n = 0;
    for (auto it = objects.lower_bound(first); it != objects.end() && it->first <= lastId; ++it) {
        // Keep the reply within one frame; the rest follows on request.
        if (reply.size() + 2 + it->second.size() > 253) {
            reply[5] = 0xFF;
            reply[6] = it->first;
            break;
        }
        reply.push_back(it->first);
        reply.push_back(static_cast<std::uint8_t>(it->second.size()));
        reply.insert(reply.end(), it->second.begin(), it->second.end());
        ++n;
    }
    reply[7] = n;
    return reply;
}

std::vector<std::uint8_t> ModbusResponder::upload(Drive& d, const std::vector<std::uint8_t>& rq)
{
    // 5A 00 00 <sub-code> <arguments>; the reply puts its status where the sub-code was.
    if (rq.size() < 5 || rq[2] != 0 || rq[3] != 0)
        return fail(d, 0x5A, excIllegalValue);
    std::vector<std::uint8_t> reply{rq[0], 0x5A, 0x00, 0x00};
    switch (rq[4]) {
    case 0x33:
        if (rq.size() != 13)
            return fail(d, 0x5A, excIllegalValue);
        d.openUpload();
        reply.push_back(statusAccepted);
        putWord(reply, Drive::uploadSession);
        return reply;
    case 0x34: {
        if (rq.size() != 9)
            return fail(d, 0x5A, excIllegalValue);
        const std::vector<std::uint8_t>* block = nullptr;
        bool last = false;
        if (!d.uploadBlock(word(rq, 5), word(rq, 7), block, last)) {
            reply.push_back(statusRefused);
            return reply;
        }
        reply.push_back(statusAccepted);
        putWord(reply, last ? 1 : 0);
        putWord(reply, static_cast<std::uint16_t>(block->size()));
        reply.insert(reply.end(), block->begin(), block->end());
        return reply;
    }
    case 0x35:
        if (rq.size() != 9)
            return fail(d, 0x5A, excIllegalValue);
        d.closeUpload();
        reply.push_back(statusAccepted);
        return reply;
    default:
        return fail(d, 0x5A, excIllegalFunction);
    }
}

} // namespace drivesim
