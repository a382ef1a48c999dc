#include "automation/IFieldbusInterfaceEvent.h"

namespace Kavrel {

void IFieldbusInterfaceEvent::onNodeGuardTimeout(std::int32_t) {}
void IFieldbusInterfaceEvent::onNetworkScanStepped(std::int32_t, std::int32_t) {}
void IFieldbusInterfaceEvent::onNetworkScanFinished() {}

} // namespace Kavrel
