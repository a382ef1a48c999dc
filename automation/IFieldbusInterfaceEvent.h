#pragma once
#include <cstdint>

namespace Kavrel {

// Events of an interface, fired on the host's thread. A sink overrides what it wants.
class IFieldbusInterfaceEvent {
public:
    virtual ~IFieldbusInterfaceEvent() = default;
    virtual void onNodeGuardTimeout(std::int32_t fieldbusDeviceUniqueId);
    virtual void onNetworkScanStepped(std::int32_t deviceNumber, std::int32_t success);
    virtual void onNetworkScanFinished();
};

} // namespace Kavrel
