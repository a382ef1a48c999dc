#pragma once
#include "dialogs/ParameterDialogModbusBase.h"

namespace Kavrel {

// Modbus RTU on RS485: port, baud rate, character format and, for a
// connection, the Modbus address and node guarding.
class ParameterDialogModbusRs485 : public ParameterDialogModbusBase {
public:
    static constexpr int connectionTemplate = 202;
    static constexpr int networkScanTemplate = connectionTemplate + 17;

    ParameterDialogModbusRs485(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    ~ParameterDialogModbusRs485() override;

protected:
    void loadValues() override;
    void storeValues() override;
};

} // namespace Kavrel
