#pragma once
#include <string>
#include "core/FieldbusInterface.h"

namespace Kavrel {

// CANopen through a CAN adapter: the PEAK adapters first, then the IXXAT
// ones. The bit rate is read from the stored settings but never written back
// (a drive's rate is found again with AUTO); nothing else is handed over.
class FieldbusInterfaceCan : public FieldbusInterface {
public:
    FieldbusInterfaceCan(const std::string& protocolName, bool networkScan);
    ~FieldbusInterfaceCan() override;

    // The rate in kbit/s with "k"; a rate that is not a number stays as it is.
    std::string getCommunicationParameters() override;

protected:
    void handOverParameters() override {}
};

} // namespace Kavrel
