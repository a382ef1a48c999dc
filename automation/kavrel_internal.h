#pragma once
// Between the parts of the C interface: device handles for the flash calls,
// and the release of flasher handles through kavrel_release.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "automation/kavrel.h"

namespace Kavrel {
class CFieldbusDevice;
}

std::shared_ptr<Kavrel::CFieldbusDevice> kavrelDeviceOfHandle(kavrel_handle handle);
// True when handle was a flasher (now released).
bool kavrelReleaseFlasher(kavrel_handle handle);
// Copies a text result for the host: with buffer NULL and size 0 it returns
// the size needed (bytes with the terminating NUL); with a buffer too small
// the text is cut, terminated, and the needed size is returned as well.
std::int32_t kavrelCopyText(const std::string& text, char* buffer, std::size_t size);
