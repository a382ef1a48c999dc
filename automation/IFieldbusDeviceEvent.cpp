#include "automation/IFieldbusDeviceEvent.h"

namespace Kavrel {

void IFieldbusDeviceEvent::onUploadFinished(std::int32_t, std::int32_t) {}
void IFieldbusDeviceEvent::onNextPacket(std::int32_t, std::int32_t) {}

} // namespace Kavrel
