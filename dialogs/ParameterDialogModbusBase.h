#pragma once
#include "dialogs/ParameterDialogBase.h"

namespace Kavrel {

// Adds the Modbus protocol combo: multidrop (the address edit names the
// drive) or point to point (the one drive answers the protocol's default
// address, which lies outside the bus's address range).
class ParameterDialogModbusBase : public ParameterDialogBase {
public:
    static constexpr int idProtocolCombo = 248;
    static constexpr int entryMultidrop = 0;
    static constexpr int entryPointToPoint = 1;

    ParameterDialogModbusBase(FieldbusInterface* owner, std::string protocolName, bool networkScan, int templateId);
    ~ParameterDialogModbusBase() override;

    virtual void OnChangeProtocol();

protected:
    void loadValues() override;
    void storeValues() override;
    void onControlChanged(int id) override;
    std::uint32_t pointToPointAddress() const;
};

} // namespace Kavrel
