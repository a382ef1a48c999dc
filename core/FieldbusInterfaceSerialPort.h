#pragma once
#include <cstdint>
#include <string>
#include "core/FieldbusInterface.h"

namespace Kavrel {

// The Vorlane RS485 bus on a serial port: the selectable hardware interfaces
// are the serial ports; the character format is one entry of the protocol's
// frame-format list ("E,7,1").
class FieldbusInterfaceSerialPort : public FieldbusInterface {
public:
    FieldbusInterfaceSerialPort(const std::string& protocolName, bool networkScan);
    ~FieldbusInterfaceSerialPort() override;

    void readSettings() override;
    void writeSettings() override;

    // Index into the protocol's frame-format list.
    std::int32_t getFrameFormatIndex() const { return frameFormatIndex; }
    void setFrameFormatIndex(std::int32_t index);
    std::string getFrameFormat() const;

    // Parity letter, data bits and stop bits of a frame-format entry ("E,7,1").
    static bool splitFrameFormat(const std::string& entry, std::string& parity, std::string& dataBits,
                                 std::string& stopBits);

protected:
    void handOverParameters() override;

private:
    std::int32_t frameFormatIndex = 0;
};

} // namespace Kavrel
