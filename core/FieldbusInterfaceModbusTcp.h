#pragma once
#include <cstdint>
#include <string>
#include "core/FieldbusInterface.h"

namespace Kavrel {

// Modbus TCP through the Ethernet adapter: the address and port of the drive's
// server are handed to the adapter as texts 0 and 1. There is no default
// address: until one is set (settings, dialog or host), connecting fails with
// errorNoIpAddress instead of trying a drive the user never named.
class FieldbusInterfaceModbusTcp : public FieldbusInterface {
public:
    static constexpr const char* defaultIpAddress = "";
    static constexpr const char* defaultEthernetPort = "502";
    static constexpr std::int32_t errorNoIpAddress = static_cast<std::int32_t>(0x80040420u);

    FieldbusInterfaceModbusTcp(const std::string& protocolName, bool networkScan);
    ~FieldbusInterfaceModbusTcp() override;

    std::int32_t initialize(std::uint32_t deviceAddress) override;
    void readSettings() override;
    void writeSettings() override;

    const std::string& getIpAddress() const { return ipAddress; }
    // False (nothing changed) unless the text is a dotted IPv4 address.
    bool setIpAddress(const std::string& address);
    const std::string& getEthernetPort() const { return ethernetPort; }
    // False (nothing changed) unless the text is a port number 1..65535.
    bool setEthernetPort(const std::string& port);

    static bool isIpAddress(const std::string& text);
    static bool isPort(const std::string& text);

protected:
    void handOverParameters() override;

private:
    std::string ipAddress = defaultIpAddress;
    std::string ethernetPort = defaultEthernetPort;
};

} // namespace Kavrel
