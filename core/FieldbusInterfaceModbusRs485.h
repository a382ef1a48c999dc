#pragma once
#include <cstdint>
#include <string>
#include "core/FieldbusInterface.h"
#include "core/SerialFrameFormat.h"

namespace Kavrel {

// Modbus RTU on RS485 through the Modbus library adapter: the selectable
// hardware interfaces are the serial ports the library can open; the
// character format is one entry of the protocol's frame-format list.
class FieldbusInterfaceModbusRs485 : public FieldbusInterface {
public:
    FieldbusInterfaceModbusRs485(const std::string& protocolName, bool networkScan);
    ~FieldbusInterfaceModbusRs485() override;

    void readSettings() override;
    void writeSettings() override;
    SerialFrameFormat* getSerialFrameFormat() override { return &frameFormat; }

    // Index into the protocol's frame-format list.
    std::int32_t getFrameFormatIndex() const { return frameFormat.getIndex(); }
    void setFrameFormatIndex(std::int32_t index) { frameFormat.setIndex(index); }
    // Chooses the entry by its text ("E,8,1"); false when it is not offered.
    bool setFrameFormat(const std::string& entry) { return frameFormat.setFormat(entry); }
    std::string getFrameFormat() const { return frameFormat.getFormat(); }

protected:
    void handOverParameters() override;

private:
    SerialFrameFormat frameFormat;
};

} // namespace Kavrel
