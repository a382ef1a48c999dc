#pragma once
#include <cstdint>

namespace Kavrel {

// Events of a device, fired on the host's thread. A sink overrides what it wants.
class IFieldbusDeviceEvent {
public:
    virtual ~IFieldbusDeviceEvent() = default;
    virtual void onUploadFinished(std::int32_t sessionId, std::int32_t errorValue);
    virtual void onNextPacket(std::int32_t sessionId, std::int32_t packetNumber);
};

} // namespace Kavrel
