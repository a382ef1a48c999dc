#pragma once
#include <cstdint>
#include <map>
#include <set>

namespace drivesim {

enum class CanOpenFamily { qta, kvx };

// SDO abort codes the drives answer with (CiA 301).
enum : std::uint32_t {
    sdoAbortCommand = 0x05040001,    // command specifier not valid (also: segmented transfers)
    sdoAbortReadOnly = 0x06010002,   // attempt to write a read-only object
    sdoAbortNoObject = 0x06020000,   // object does not exist
    sdoAbortLength = 0x06070010,     // data type / length does not match
    sdoAbortNoSubindex = 0x06090011, // subindex does not exist
    sdoAbortRange = 0x06090030,      // value range exceeded
    sdoAbortTransfer = 0x08000020,   // data cannot be transferred or stored
    sdoAbortState = 0x08000022,      // not in the present device state
};

// A drive parameter I.S as an object: indices below 0x1000 and 8000..8099
// move up by 0x3000, the communication profile stays where it is.
std::uint16_t canOpenObjectIndex(std::uint16_t parameterIndex);

// One CANopen drive of a family: its object dictionary and the expedited
// SDO server on it.
class CanOpenDrive {
public:
    CanOpenDrive(std::uint32_t id, CanOpenFamily family);

    std::uint32_t id() const { return nodeId; }
    // The 8-byte answer to an 8-byte request on 0x600 + id; false when the
    // request gets none (a client's abort).
    bool answer(const std::uint8_t request[8], std::uint8_t reply[8]);
    // Sets an object's value regardless of access rights (the control input).
    bool force(std::uint16_t index, std::uint8_t subindex, std::uint32_t value);

    std::uint32_t bitrate = 125000;
    bool silenced = false;
    // Objects (index << 8 | subindex) whose every access aborts.
    std::set<std::uint32_t> failing;

    // The upload a KVX drive hands out through 4.12, in 16-bit words.
    static constexpr int uploadWords = 31;
    static std::uint16_t uploadWord(int n) { return static_cast<std::uint16_t>(0x4B00 + n); }

private:
    struct Object {
        std::uint8_t size;
        std::uint32_t value;
        bool writable;
    };
    static std::uint32_t key(std::uint16_t index, std::uint8_t sub) { return (std::uint32_t{index} << 8) | sub; }
    // 0 or an abort code; the value of a read.
    std::uint32_t read(std::uint16_t index, std::uint8_t sub, std::uint32_t& value, std::uint8_t& size);
    std::uint32_t write(std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size);
    std::uint32_t lookup(std::uint16_t index, std::uint8_t sub, Object*& object);

    std::uint32_t nodeId;
    CanOpenFamily family;
    std::map<std::uint32_t, Object> objects;
    std::set<std::uint16_t> indices;
    // QTA: 1.20 gives the serial number's high half, then its low half.
    bool serialLowNext = false;
    // KVX upload: words still to hand out (signed: an odd count ends at -1).
    int uploadLeft = 0;
    int uploadNext = 0;
};

} // namespace drivesim
