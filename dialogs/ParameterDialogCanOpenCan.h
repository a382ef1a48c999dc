#pragma once
#include "dialogs/ParameterDialogBase.h"

namespace Kavrel {

// CANopen: CAN adapter and bit rate and, for a connection, the node id of
// the drive and node guarding.
class ParameterDialogCanOpenCan : public ParameterDialogBase {
public:
    static constexpr int connectionTemplate = 230;
    static constexpr int networkScanTemplate = 232;

    ParameterDialogCanOpenCan(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    ~ParameterDialogCanOpenCan() override;

    void OnInitDialog() override;

protected:
    void loadValues() override;
    void storeValues() override;
};

} // namespace Kavrel
