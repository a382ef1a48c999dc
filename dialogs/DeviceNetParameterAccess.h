#pragma once
#include <cstdint>

namespace Kavrel {

// The DeviceNet values an interface keeps besides the base settings
// ("DeviceNetCan_ClientMacId", "DeviceNetCan_DncStart_Timeout",
// "DeviceNetCan_AutobaudNumTry"). The DeviceNet dialog reads and stores them
// through this when its interface offers it.
class DeviceNetParameterAccess {
public:
    virtual ~DeviceNetParameterAccess() = default;
    virtual std::uint32_t getClientMacId() const = 0;
    virtual void setClientMacId(std::uint32_t id) = 0;
    virtual std::uint32_t getDncStartTimeout() const = 0;
    virtual void setDncStartTimeout(std::uint32_t timeout) = 0;
    virtual std::uint32_t getAutobaudNumTry() const = 0;
    virtual void setAutobaudNumTry(std::uint32_t tries) = 0;
};

} // namespace Kavrel
