#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

// Modbus RTU on a serial line through the Modbus RS485 vendor library, which
// frames the hex-text request (unit + PDU), adds and checks the CRC and
// answers with hex text. The selectable paths are the serial ports; copies
// share the library and the bus mutex (the library serves one port at a time).
//
// Generic parameters of the interface: 0 parity letter (N, E, O), 1 data bits
// (7 or 8; 8 when absent), 2 stop bits (1 or 2).
class HardwareInterfaceModbusRs485Dll : public HardwareInterface {
public:
    static constexpr const char* libraryName = "modbusdll.dll";

    static constexpr std::uint32_t errorNotLoaded = 0x1301;
    static constexpr std::uint32_t errorOpen = 0x1302;
    static constexpr std::uint32_t errorNoAnswer = 0x1303;
    static constexpr std::uint32_t errorCrc = 0x1304;
    static constexpr std::uint32_t errorShortReply = 0x1305;

    // Time-outs set after opening (ms): wait for an answer, gap inside one.
    static constexpr int replyTimeoutMs = 750;
    static constexpr int characterTimeoutMs = 500;

    // Loads the library from the module folder (or the search path); throws
    // DllEntryPointMissing when it or one of its entry points is missing.
    HardwareInterfaceModbusRs485Dll();
    // For tests: the library from another folder.
    explicit HardwareInterfaceModbusRs485Dll(const std::string& libraryDirectory);
    HardwareInterfaceModbusRs485Dll(const HardwareInterfaceModbusRs485Dll& other);
    HardwareInterfaceModbusRs485Dll& operator=(const HardwareInterfaceModbusRs485Dll&) = delete;
    ~HardwareInterfaceModbusRs485Dll() override;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) override;
    std::int32_t openInterface() override;
    std::int32_t closeInterface() override;
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override;

    // For tests and users that name a port directly.
    void setPort(const std::string& path);
    bool isOpen() const { return open; }
    const std::shared_ptr<DllWrapper>& getLibrary() const { return library; }

    // The library's format code for parity, data bits and stop bits; -1 when
    // the letter or a count is not accepted.
    static int formatCode(const std::string& parity, const std::string& dataBits, const std::string& stopBits);

private:
    struct EntryPoints {
        int (*mbOpen)(const char*, int, int) = nullptr;
        int (*mbClose)() = nullptr;
        int (*mbDirect)(const char*, char*, int) = nullptr;
        int (*mbWriteObj)(int, int, int, const unsigned short*) = nullptr;
        int (*mbReadObj)(int, int, int, unsigned short*) = nullptr;
        int (*setTimeout)(int, int, int) = nullptr;
        int (*getTimeout)(int*, int*, int*) = nullptr;
        int (*mbGetVersionLib)(char*, int) = nullptr;
    };

    void resolve();
    void setLibraryError(int result, const std::string& during);

    std::shared_ptr<DllWrapper> library;
    std::shared_ptr<const EntryPoints> entry;
    bool open = false;
};

} // namespace Kavrel
