#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Kavrel {

// One serial port of this machine as the adapters offer it.
struct SerialPortEntry {
    std::string path;    // what is opened, e.g. "/dev/ttyUSB0"
    std::uint32_t number; // unique per port: the stored "InterfaceID" relies on it
};

// Lists the serial ports: extra paths from KAVREL_SERIAL_PORTS first, then the
// ttys under /sys/class/tty that have a device behind them, else /dev/ttyS*,
// /dev/ttyUSB*, /dev/ttyACM*. Shared by every adapter that sits on a serial line.
class HardwareInterfaceSerialPort_Enumerator {
public:
    static std::vector<SerialPortEntry> enumerate();
    // The same list; the number of ports, or -1 when none could be listed.
    std::int32_t getAvailableInterfaces(std::vector<SerialPortEntry>& ports) const;
    // n for ttySn, 1000+n for ttyUSBn, 2000+n for ttyACMn, 3000+n otherwise;
    // counts upward past a number already in taken.
    static std::uint32_t numberFor(const std::string& path, const std::set<std::uint32_t>& taken);
};

} // namespace Kavrel
