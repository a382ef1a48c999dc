#include "CanOpenDrive.h"

namespace drivesim {

namespace {

struct Entry {
    std::uint16_t index;
    std::uint8_t sub;
    std::uint8_t size;
    std::uint32_t value;
    std::uint32_t step; // added once per node id
    bool writable;
};

constexpr bool ro = false, rw = true;

// Four characters in one parameter, the first in the most significant byte.
constexpr std::uint32_t text4(const char (&s)[5])
{
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16) |
           (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

// Objects both families have: device type, user values, status word,
// node-guard interval, an object of the 8000 range.
const Entry common[] = {
    {0x1000, 0, 4, 0x00020192, 0, ro},
    {0x1018, 0, 1, 4, 0, ro},
    {0x3002, 0, 4, 0, 0, rw},
    {0x3002, 1, 2, 100, 0, rw},
    {0x3002, 2, 1, 7, 0, rw},
    {0x3002, 3, 4, 0, 0, rw},
    {0x3003, 0, 2, 0x002A, 0, ro},
    {0x3016, 6, 2, 0, 0, rw},
    {0x4F40, 1, 4, 0, 0, rw},
    {0x6041, 0, 2, 0x0237, 0, ro},
};

const Entry qta[] = {
    {0x1018, 1, 4, 0x0100002E, 0, ro}, // vendor id
    {0x1018, 2, 2, 0x0C1A, 0, ro},     // product code
    {0x1018, 3, 4, 0x00030007, 0, ro},
    {0x1018, 4, 4, 100000, 1, ro},
    {0x3001, 1, 4, 0x00030007, 0, ro},
    {0x3001, 2, 4, 0x00010012, 0, ro},
    {0x3001, 3, 4, text4("QTA-"), 0, ro},
    {0x3001, 4, 4, text4("2040"), 0, ro},
    {0x3001, 20, 4, 123456789, 1, ro}, // handed out in halves, see read()
    {0x3001, 23, 4, 12345600, 1, ro},
    {0x3005, 13, 4, 4711, 0, ro},
};

const Entry kvx[] = {
    {0x1018, 1, 4, 0x0800005A, 0, ro}, // vendor id
    {0x1018, 2, 4, 4711, 0, ro},       // product code
    {0x1018, 3, 4, 0x00020005, 0, ro},
    {0x1018, 4, 4, 200000, 1, ro},
    {0x3001, 1, 4, 20517, 0, ro},
    {0x3001, 2, 2, 3, 0, ro},
    {0x3001, 4, 2, 2024, 0, ro},
    {0x3001, 14, 4, text4("Halv"), 0, ro},
    {0x3001, 15, 4, text4("orn "), 0, ro},
    {0x3001, 16, 4, text4("GmbH"), 0, ro},
    {0x3001, 17, 4, 0, 0, ro},
    {0x3001, 18, 4, text4("KVX-"), 0, ro},
    {0x3001, 19, 4, text4("4400"), 0, ro},
    {0x3001, 20, 4, text4("-A01"), 0, ro},
    {0x3001, 23, 4, 22334400, 1, ro},
    {0x3005, 13, 4, 5120, 0, ro},
    {0x3004, 9, 4, 0, 0, rw},  // upload command
    {0x3004, 11, 4, 0, 0, ro}, // upload words available
    {0x3004, 12, 4, 0, 0, ro}, // upload data
    {0x3032, 1, 2, 0, 0, rw},  // upload end
};

constexpr std::uint32_t uploadStart = 0x00170032;

void abortReply(std::uint16_t index, std::uint8_t sub, std::uint32_t code, std::uint8_t reply[8])
{
    reply[0] = 0x80;
    reply[1] = static_cast<std::uint8_t>(index & 0xFF);
    reply[2] = static_cast<std::uint8_t>(index >> 8);
    reply[3] = sub;
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<std::uint8_t>(code >> (8 * i));
}

} // namespace

std::uint16_t canOpenObjectIndex(std::uint16_t index)
{
    return (index < 0x1000 || (index >= 0x1F40 && index <= 0x1FA3)) ? static_cast<std::uint16_t>(index + 0x3000)
                                                                     : index;
}

CanOpenDrive::CanOpenDrive(std::uint32_t id, CanOpenFamily f) : nodeId(id), family(f)
{
    auto add = [&](const Entry& e) {
        objects[key(e.index, e.sub)] = Object{e.size, e.value + e.step * id, e.writable};
        indices.insert(e.index);
    };
    for (const auto& e : common)
        add(e);
    if (family == CanOpenFamily::qta)
        for (const auto& e : qta)
            add(e);
    else
        for (const auto& e : kvx)
            add(e);
}

std::uint32_t CanOpenDrive::lookup(std::uint16_t index, std::uint8_t sub, Object*& object)
{
    auto it = objects.find(key(index, sub));
    if (it == objects.end())
        return indices.count(index) ? sdoAbortNoSubindex : sdoAbortNoObject;
    if (failing.count(key(index, sub)))
        return sdoAbortTransfer;
    object = &it->second;
    return 0;
}

std::uint32_t CanOpenDrive::read(std::uint16_t index, std::uint8_t sub, std::uint32_t& value, std::uint8_t& size)
{
    Object* o = nullptr;
    const bool serial = family == CanOpenFamily::qta && index == 0x3001 && sub == 20;
    const bool lowHalf = serial && serialLowNext;
    serialLowNext = serial && !serialLowNext;
    if (std::uint32_t abort = lookup(index, sub, o))
        return abort;
    size = o->size;
    value = o->value;
    if (serial)
        value = lowHalf ? (o->value & 0xFFFF) : (o->value >> 16);
    if (family == CanOpenFamily::kvx && index == 0x3004 && sub == 11)
        value = static_cast<std::uint32_t>(uploadLeft);
    if (family == CanOpenFamily::kvx && index == 0x3004 && sub == 12) {
        if (uploadLeft <= 0)
            return sdoAbortState;
        const std::uint32_t high = uploadNext < uploadWords ? uploadWord(uploadNext) : 0;
        const std::uint32_t low = uploadNext + 1 < uploadWords ? uploadWord(uploadNext + 1) : 0;
        value = (high << 16) | low;
        uploadNext += 2;
        uploadLeft -= 2;
    }
    return 0;
}

std::uint32_t CanOpenDrive::write(std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size)
{
    Object* o = nullptr;
    serialLowNext = false;
    if (std::uint32_t abort = lookup(index, sub, o))
        return abort;
    if (!o->writable)
        return sdoAbortReadOnly;
    if (size >= 0 && size != o->size)
        return sdoAbortLength;
    if (o->size < 4)
        value &= (1u << (8 * o->size)) - 1;
    if (family == CanOpenFamily::kvx && index == 0x3004 && sub == 9) {
        if (value != uploadStart)
            return sdoAbortRange;
        uploadLeft = uploadWords;
        uploadNext = 0;
    }
    if (family == CanOpenFamily::kvx && index == 0x3032 && sub == 1)
        uploadLeft = 0;
    o->value = value;
    return 0;
}

bool CanOpenDrive::answer(const std::uint8_t request[8], std::uint8_t reply[8])
{
    const std::uint16_t index = static_cast<std::uint16_t>(request[1] | (request[2] << 8));
    const std::uint8_t sub = request[3];
    const std::uint8_t command = request[0];
    for (int i = 0; i < 8; ++i)
        reply[i] = 0;
    std::uint32_t abort = 0;
    switch (command >> 5) {
    case 2: { // upload (read), expedited
        std::uint32_t value = 0;
        std::uint8_t size = 4;
        abort = read(index, sub, value, size);
        if (abort)
            break;
        reply[0] = static_cast<std::uint8_t>(0x43 | ((4 - size) << 2));
        reply[1] = request[1];
        reply[2] = request[2];
        reply[3] = sub;
        for (int i = 0; i < size; ++i)
            reply[4 + i] = static_cast<std::uint8_t>(value >> (8 * i));
        return true;
    }
    case 1: { // download (write); segmented ones are not offered
        if ((command & 0x02) == 0) {
            abort = sdoAbortCommand;
            break;
        }
        const int size = (command & 0x01) ? 4 - ((command >> 2) & 3) : -1;
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t{request[4 + i]} << (8 * i);
        abort = write(index, sub, value, size);
        if (abort)
            break;
        reply[0] = 0x60;
        reply[1] = request[1];
        reply[2] = request[2];
        reply[3] = sub;
        return true;
    }
    case 4: // the client aborts: nothing to answer
        return false;
    default:
        abort = sdoAbortCommand;
    }
    abortReply(index, sub, abort, reply);
    return true;
}

bool CanOpenDrive::force(std::uint16_t index, std::uint8_t sub, std::uint32_t value)
{
    auto it = objects.find(key(index, sub));
    if (it == objects.end())
        return false;
    it->second.value = value;
    return true;
}

} // namespace drivesim
