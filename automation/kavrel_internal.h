#pragma once
// Between the parts of the C interface: device handles for the flash calls,
// and the release of flasher handles through kavrel_release.
#include <memory>

#include "automation/kavrel.h"

namespace Kavrel {
class CFieldbusDevice;
}

std::shared_ptr<Kavrel::CFieldbusDevice> kavrelDeviceOfHandle(kavrel_handle handle);
// True when handle was a flasher (now released).
bool kavrelReleaseFlasher(kavrel_handle handle);
