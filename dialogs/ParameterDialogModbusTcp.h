#pragma once
#include "dialogs/ParameterDialogModbusBase.h"

namespace Kavrel {

// Modbus TCP: the drive server's IPv4 address and port, the Modbus address
// and node guarding.
class ParameterDialogModbusTcp : public ParameterDialogModbusBase {
public:
    static constexpr int connectionTemplate = 237;
    static constexpr int idIpAddress = 288;
    static constexpr int idPortEdit = 283;
    static constexpr int idPortSpin = 250;

    ParameterDialogModbusTcp(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    ~ParameterDialogModbusTcp() override;

    virtual void OnChangeEthernetPort();

protected:
    void loadValues() override;
    void storeValues() override;
    bool validateValues() override;
    void onControlChanged(int id) override;
};

} // namespace Kavrel
