#pragma once
#include <cstdint>
#include <string>

namespace drivesim {

// A pseudo-terminal made by the simulator for Modbus RTU: the host opens the
// slave end through a link; the simulator reads and writes the master end and
// keeps a slave descriptor of its own, through which it sees the rate the
// host set. A frame sent at another rate than the line's own is noise to a
// real drive, so the simulator stays silent on it.
class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Makes the pseudo-terminal and links its slave end at link.
    bool open(const std::string& link, int baud, int flashBaud, std::string& error);
    int master() const { return masterFd; }
    const std::string& linkPath() const { return link; }

    // The rate the host's end is set to now (0 when it cannot be read).
    int hostRate() const;
    int rate() const { return current; }
    // After a jump the loader talks at the flash rate until finish or reset.
    void toFlashRate(std::uint32_t drive);
    void toBaseRate();
    std::uint32_t switchedBy() const { return switchedDrive; }

private:
    int masterFd = -1, slaveFd = -1;
    std::string link;
    int base = 19200, flash = 38400, current = 19200;
    std::uint32_t switchedDrive = 0;
};

int baudOf(unsigned speed);

} // namespace drivesim
