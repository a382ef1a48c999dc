#pragma once
#include <cstdint>
#include <string>
#include "core/FieldbusInterface.h"
#include "core/SerialFrameFormat.h"

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
    SerialFrameFormat* getSerialFrameFormat() override { return &frameFormat; }

    // Index into the protocol's frame-format list.
    std::int32_t getFrameFormatIndex() const { return frameFormat.getIndex(); }
    void setFrameFormatIndex(std::int32_t index) { frameFormat.setIndex(index); }
    // Chooses the entry by its text ("E,7,1"); false when it is not offered.
    bool setFrameFormat(const std::string& entry) { return frameFormat.setFormat(entry); }
    std::string getFrameFormat() const { return frameFormat.getFormat(); }

    // Parity letter, data bits and stop bits of a frame-format entry ("E,7,1").
    static bool splitFrameFormat(const std::string& entry, std::string& parity, std::string& dataBits,
                                 std::string& stopBits);

protected:
    void handOverParameters() override;

private:
    SerialFrameFormat frameFormat;
};

} // namespace Kavrel
