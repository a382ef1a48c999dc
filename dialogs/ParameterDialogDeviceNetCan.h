#pragma once
#include "dialogs/ParameterDialogBase.h"

namespace Kavrel {

// DeviceNet on CAN: adapter, bit rate, the scanner's own MAC id, its start
// time-out and baud-rate detection attempts and, for a connection, the
// drive's MAC id and node guarding.
class ParameterDialogDeviceNetCan : public ParameterDialogBase {
public:
    static constexpr int connectionTemplate = 211;
    static constexpr int networkScanTemplate = connectionTemplate + 12;
    static constexpr int idClientMacEdit = 252;
    static constexpr int idClientMacSpin = 253;
    static constexpr int idDncStartEdit = 259;
    static constexpr int idDncStartSpin = 260;
    static constexpr int idAutobaudEdit = 262;
    static constexpr int idAutobaudSpin = 263;

    ParameterDialogDeviceNetCan(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    ~ParameterDialogDeviceNetCan() override;

    virtual void OnChangeDncStartTimeout();

    // The values last confirmed (kept here when the interface has no place for them).
    std::uint32_t getClientMacId() const { return clientMacId; }
    std::uint32_t getDncStartTimeout() const { return dncStartTimeout; }
    std::uint32_t getAutobaudNumTry() const { return autobaudNumTry; }

protected:
    void loadValues() override;
    void storeValues() override;
    void onControlChanged(int id) override;

private:
    std::uint32_t clientMacId = 0;
    std::uint32_t dncStartTimeout = 10;
    std::uint32_t autobaudNumTry = 2;
};

} // namespace Kavrel
