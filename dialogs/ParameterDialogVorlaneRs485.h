#pragma once
#include "dialogs/ParameterDialogBase.h"

namespace Kavrel {

// The Vorlane RS485 bus: port, baud rate, character format and, for a
// connection, the device address and node guarding.
class ParameterDialogVorlaneRs485 : public ParameterDialogBase {
public:
    static constexpr int connectionTemplate = 212;
    static constexpr int networkScanTemplate = connectionTemplate + 9;

    ParameterDialogVorlaneRs485(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    ~ParameterDialogVorlaneRs485() override;

protected:
    void loadValues() override;
    void storeValues() override;
};

} // namespace Kavrel
