#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include "hardware/HardwareInterface.h"

namespace Kavrel {

class HardwareInterfaceSerialPort_Enumerator;

// A serial line on termios. The character format comes from the interface's
// own parameters (text 0 parity letter, 1 data bits, 2 stop-bit code); each
// request carries its end-of-frame character as text 3. A transfer writes the
// request and reads the answer byte by byte up to that character, giving up
// after a quiet gap, under the port's bus mutex.
//
// Copies share the enumerator and the mutex of their path but never the open
// descriptor: a copy starts closed and closes only what it opened itself.
class HardwareInterfaceSerialPort : public HardwareInterface {
public:
    // Error codes of this adapter (the texts live in the error-text file).
    static constexpr std::uint32_t errorOpen = 0x1101;         // missing path, no permission
    static constexpr std::uint32_t errorBusy = 0x1102;         // held open by someone else
    static constexpr std::uint32_t errorNotSerial = 0x1103;    // not a terminal device
    static constexpr std::uint32_t errorSettings = 0x1104;     // a line setting was refused
    static constexpr std::uint32_t errorBaudrate = 0x1105;     // 0 or not a rate termios knows
    static constexpr std::uint32_t errorNotOpen = 0x1106;
    static constexpr std::uint32_t errorWrite = 0x1107;
    static constexpr std::uint32_t errorNoReply = 0x1108;
    static constexpr std::uint32_t errorNoEndCharacter = 0x1109;
    static constexpr std::uint32_t errorLineLost = 0x110A;     // hang-up or I/O error
    static constexpr std::uint32_t errorBadRequest = 0x110B;   // no bytes or no end character

    // Time-outs of one transfer: a quiet gap of readTimeout ends the answer
    // (the interval limit only matters for reads of more than one byte, and
    // the answer is read one byte at a time).
    static constexpr std::chrono::milliseconds readIntervalTimeout{20};
    static constexpr std::chrono::milliseconds readTimeout{200};
    static constexpr std::chrono::milliseconds writeTimeout{200};
    // Settle time after the line is set up.
    static constexpr std::chrono::milliseconds openSettleTime{100};
    // An answer that never ends is cut off here rather than read forever.
    static constexpr std::size_t maxResponseBytes = 4096;

    HardwareInterfaceSerialPort();
    // A port for one path (number as the enumerator would give it, or any).
    explicit HardwareInterfaceSerialPort(const std::string& path, std::uint32_t number = 0);
    HardwareInterfaceSerialPort(const HardwareInterfaceSerialPort& other);
    HardwareInterfaceSerialPort& operator=(const HardwareInterfaceSerialPort&) = delete;
    ~HardwareInterfaceSerialPort() override;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) override;
    std::int32_t openInterface() override;
    std::int32_t closeInterface() override;
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override;

    bool isOpen() const;
    // Known after a successful open: the line is a pseudo-terminal.
    bool isPseudoTerminal() const;

private:
    void setPath(const std::string& path);
    std::int32_t fail(std::uint32_t code, const std::string& text, std::uint16_t level = 2);
    // Applies bit rate and character format to the open descriptor.
    std::int32_t applySettings(const std::string& parity, const std::string& dataBits, const std::string& stopBits);

    std::shared_ptr<HardwareInterfaceSerialPort_Enumerator> enumerator;
    int handle = -1;
    bool pseudoTerminal = false;
};

} // namespace Kavrel
