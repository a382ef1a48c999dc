#pragma once
#include <string>

#include "automation/HResult.h"

namespace Kavrel {

class CFieldbusInterface;

// Connection settings of an interface by name, for hosts that set them from
// their own input (a command line, a C caller) instead of the parameter dialog.
// Keys: IpAddress, EthernetPort, ReplyTimeout (ms, ModbusTCP); Port, Baudrate;
// Format (serial kinds); ScanRange, DeviceAddress, DontShow, NodeGuardEnabled,
// NodeGuardInterval. A refused key or value fails with E_INVALIDARG and a text
// naming it, left as the calling thread's error information.
class InterfaceSettings {
public:
    static HRESULT set(CFieldbusInterface& twin, const std::string& key, const std::string& value);
    // Also reads communicationParameters, scanRange, versionstring and the protocol's
    // offer: Baudrates (comma-separated), ScanBounds ("1-247") and, on a serial
    // line, Formats (blank-separated: "N,8,1 E,8,1").
    static HRESULT get(CFieldbusInterface& twin, const std::string& key, std::string& value);
};

} // namespace Kavrel
