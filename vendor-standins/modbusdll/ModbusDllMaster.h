#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct _modbus;

namespace modbusdll {

// Modbus RTU master on one serial line. libmodbus opens and sets up the port,
// frames requests with their CRC and flushes the line; answers are read here,
// sized by function code and byte counts, because libmodbus sizes only the
// standard answers and would cut diagnostics, identification and vendor
// answers short.
class ModbusDllMaster {
public:
    static ModbusDllMaster& instance();

    int open(const std::string& port, int baudrate, int format);
    int close();
    int direct(const std::string& requestHex, std::string& answerHex);
    int readRegisters(int unit, int address, int count, std::uint16_t* values);
    int writeRegisters(int unit, int address, int count, const std::uint16_t* values);
    void setTimeouts(int turnaround, int reply, int character);
    void getTimeouts(int& turnaround, int& reply, int& character) const;

    // Total length of an answer (CRC included) from its first bytes: 0 while
    // more bytes are needed to tell, crcDelimited when only a matching CRC
    // can tell where it ends.
    static constexpr std::size_t crcDelimited = static_cast<std::size_t>(-1);
    static std::size_t answerLength(const std::vector<std::uint8_t>& b, std::uint8_t requestFunction,
                                    std::uint8_t requestSubcode);
    static std::uint16_t crc16(const std::uint8_t* data, std::size_t n);
    static bool isPseudoTerminal(const std::string& port);

private:
    ModbusDllMaster() = default;
    ~ModbusDllMaster();
    void closeLocked();
    int exchange(const std::vector<std::uint8_t>& pdu, std::vector<std::uint8_t>& answer);
    int readAnswer(std::uint8_t function, std::uint8_t subcode, std::vector<std::uint8_t>& answer);

    mutable std::mutex lock;
    _modbus* ctx = nullptr;
    int turnaroundMs = 100;
    int replyMs = 1000;
    int characterMs = 100;
};

} // namespace modbusdll
