#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Kavrel {

class FieldbusProtocol;
class HardwareInterface;

// The character format of a serial bus: one entry of the protocol's
// frame-format list ("E,8,1"), stored as parity, data bits and stop bits
// under "<prefix>_Parity", "<prefix>_Databits" and "<prefix>_Stopbits".
class SerialFrameFormat {
public:
    using Reader = std::function<bool(const std::string& key, std::string& value)>;
    using Writer = std::function<void(const std::string& key, const std::string& value)>;

    SerialFrameFormat(std::shared_ptr<FieldbusProtocol> protocol, std::string keyPrefix);

    std::int32_t getIndex() const { return index; }
    void setIndex(std::int32_t newIndex);
    // Chooses the entry by its text; false when the protocol does not offer it.
    bool setFormat(const std::string& entry);
    std::string getFormat() const;

    // Picks the entry that matches the stored keys; keeps the current one
    // (and says so) when nothing matches.
    void read(const Reader& readSetting);
    // Writes the three keys in the order parity, data bits, stop bits.
    void write(const Writer& writeSetting) const;
    // Puts parity, data bits and stop bits into texts 0..2 of the port's parameters.
    void handOver(HardwareInterface& port) const;

    // Parity letter, data bits and stop bits of an entry ("E,7,1").
    static bool split(const std::string& entry, std::string& parity, std::string& dataBits, std::string& stopBits);

private:
    std::shared_ptr<FieldbusProtocol> protocol;
    std::string keyPrefix;
    std::int32_t index = 0;
};

} // namespace Kavrel
